#include "salvage/repair_keys.h"

#include <algorithm>
#include <map>
#include <set>
#include <unordered_map>

#include "engine/index.h"
#include "engine/row.h"
#include "index_key_derive.h"
#include "index_key_infer.h"
#include "index_key_rows.h"

namespace engine {

namespace {

using index_text::CodeInference;
using index_text::CodeTable;
using index_text::Observation;
using index_text::ObservedValue;
using index_text::TextCode;

// Bounds on what is kept for learning: rows needing a learned code per
// table, and observations per format.
constexpr size_t kMaxRowsPerTable = 20000;
constexpr size_t kMaxObservations = 20000;

uint32_t Pack(RowPointer p) {
  return (p.page << 8) | p.row;
}

bool IsText(const KeyColumn& c) {
  return c.type == key_type::kText || c.type == key_type::kMemo;
}

CodeTable Compiled(KeyFormat format) {
  return format == KeyFormat::kJet3 ? index_text::Jet3GeneralCodes()
                                    : index_text::Jet4GeneralLegacyCodes();
}

// The characters of a General-order text value the built-in table has no
// usable code for.
void Missing(const KeyColumn& column, const KeyValue& value, std::set<uint16_t>& out) {
  if (value.is_null || !SortOrderCovered(column)) return;
  if (column.format == KeyFormat::kJet4 && value.bytes.size() % 2 != 0) return;
  const CodeTable table = Compiled(column.format);
  for (uint16_t ch : index_text::PrepareText(index_text::TextChars(column.format, value.bytes))) {
    const TextCode* code = index_text::FindCode(table, ch);
    if (code == nullptr) out.insert(ch);
  }
}

// Leaf pages of one index that decode and name the table as owner, found
// from the root down and along the leaf chain; damaged pages are passed by.
void IntactLeaves(const Database& db, uint32_t owner, uint32_t root,
                  const std::function<void(const IndexPage&)>& visit) {
  const uint32_t pages = db.page_count();
  std::vector<uint32_t> todo{root};
  std::set<uint32_t> seen;
  while (!todo.empty()) {
    const uint32_t n = todo.back();
    todo.pop_back();
    if (n == 0 || n >= pages || !seen.insert(n).second) continue;
    auto bytes = db.pager().Page(n);
    if (!bytes.ok()) continue;
    auto page = DecodeIndexPage(bytes.value(), db.layout(), n);
    if (!page.ok() || page.value().owner != owner) continue;
    const IndexPage& ip = page.value();
    if (ip.is_leaf()) {
      visit(ip);
      todo.push_back(ip.next_page);
      todo.push_back(ip.prev_page);
    } else {
      todo.push_back(ip.child_tail);
      for (const IndexEntry& e : ip.entries) todo.push_back(e.child_page);
    }
  }
}

struct FormatWork {
  std::set<uint16_t> missing;
  std::vector<Observation> observations;
};

void Gather(const Database& db, std::map<KeyFormat, FormatWork>& work) {
  for (const CatalogObject* object : db.tables()) {
    auto table = db.ReadTableDef(object->table_page());
    if (!table.ok()) continue;
    const TableDef& def = table.value();
    struct TextIndex {
      const PhysicalIndex* index;
      std::vector<KeyColumn> columns;
    };
    std::vector<TextIndex> text_indexes;
    for (const PhysicalIndex& pi : def.physical_indexes) {
      auto columns = IndexKeyColumns(db.version(), def, pi);
      if (!columns.ok()) continue;
      if (std::any_of(columns.value().begin(), columns.value().end(), IsText)) {
        text_indexes.push_back({&pi, std::move(columns.value())});
      }
    }
    if (text_indexes.empty()) continue;

    // Rows whose indexed text holds a character without a built-in code.
    const KeyFormat format = KeyFormatOf(db.version());
    RowDecoder decoder(def, db.layout());
    RowKeyValues values;
    std::unordered_map<uint32_t, std::vector<uint8_t>> rows;
    Status scanned = db.ScanRows(def, [&](const RowRef& ref) {
      if (!decoder.Decode(ref.bytes).ok()) return true;
      std::set<uint16_t> missing;
      for (const TextIndex& ti : text_indexes) {
        if (!GatherKeyValues(db, def, *ti.index, decoder, values).ok()) continue;
        for (size_t c = 0; c < ti.columns.size() && c < values.values.size(); ++c) {
          if (IsText(ti.columns[c])) Missing(ti.columns[c], values.values[c], missing);
        }
      }
      if (missing.empty()) return true;
      work[format].missing.insert(missing.begin(), missing.end());
      if (rows.size() < kMaxRowsPerTable) {
        rows.emplace(Pack(ref.location), std::vector<uint8_t>(ref.bytes.begin(), ref.bytes.end()));
      }
      return true;
    });
    (void)scanned;  // rows read before a failure still count
    if (rows.empty()) continue;

    // Their intact entries.
    std::vector<Observation>& out = work[format].observations;
    for (const TextIndex& ti : text_indexes) {
      if (ti.index->root_page == 0) continue;
      IntactLeaves(db, def.first_page, ti.index->root_page, [&](const IndexPage& page) {
        for (const IndexEntry& e : page.entries) {
          if (out.size() >= kMaxObservations) return;
          auto row = rows.find(Pack(e.row));
          if (row == rows.end() || !decoder.Decode(row->second).ok()) continue;
          if (!GatherKeyValues(db, def, *ti.index, decoder, values).ok()) continue;
          Observation obs;
          obs.columns = ti.columns;
          for (const KeyValue& v : values.values) {
            obs.values.push_back(ObservedValue{v.is_null, v.boolean,
                                               std::vector<uint8_t>(v.bytes.begin(), v.bytes.end())});
          }
          obs.key = e.key;
          obs.where = "table " + object->name + ", index page " + std::to_string(page.number) +
                      ", row at page " + std::to_string(e.row.page) + " row " +
                      std::to_string(e.row.row);
          out.push_back(std::move(obs));
        }
      });
    }
  }
}

std::vector<TextCode> Learn(KeyFormat format, const std::vector<const Observation*>& observations) {
  CodeInference inference(format);
  inference.Seed(Compiled(format));
  for (const Observation* obs : observations) inference.Add(*obs);
  inference.Run();
  return inference.Learned();
}

std::vector<Observation> Copies(const std::vector<const Observation*>& from) {
  std::vector<Observation> out;
  out.reserve(from.size());
  for (const Observation* o : from) out.push_back(*o);
  return out;
}

}  // namespace

LearnedKeyCodes LearnKeyCodes(const Database& db) {
  LearnedKeyCodes result;
  std::map<KeyFormat, FormatWork> work;
  Gather(db, work);
  auto extra = std::make_shared<ExtraTextCodes>();
  for (auto& [format, w] : work) {
    if (w.missing.empty()) continue;
    KeyCodeLearning& s = result.stats;
    s.missing += static_cast<uint32_t>(w.missing.size());
    s.observations += w.observations.size();
    const CodeTable compiled = Compiled(format);
    const std::vector<uint16_t> wanted(w.missing.begin(), w.missing.end());

    // The split check: learn and derive on every other entry, hold the
    // derived codes against the rest.
    std::vector<const Observation*> all, even, odd;
    for (size_t i = 0; i < w.observations.size(); ++i) {
      all.push_back(&w.observations[i]);
      (i % 2 == 0 ? even : odd).push_back(&w.observations[i]);
    }
    std::set<uint16_t> held_out_wrong;
    {
      const std::vector<TextCode> table = index_text::MergeCodes(compiled, Learn(format, even));
      const auto study = index_text::StudyAccents(format, table);
      const auto derived = index_text::DeriveAccented(format, table, study, wanted);
      const auto check = index_text::CheckDerived(format, table, derived, Copies(odd));
      s.held_out_confirmed += static_cast<uint32_t>(check.confirmed.size());
      s.held_out_contradicted += static_cast<uint32_t>(check.contradicted.size());
      for (const auto& [ch, where] : check.contradicted) held_out_wrong.insert(ch);
    }

    // The codes used: learned from every entry, then derived where still
    // missing; a derived code any entry contradicts is left out.
    const std::vector<TextCode> learned = Learn(format, all);
    const std::vector<TextCode> table = index_text::MergeCodes(compiled, learned);
    const auto study = index_text::StudyAccents(format, table);
    const auto derived = index_text::DeriveAccented(format, table, study, wanted);
    const auto check = index_text::CheckDerived(format, table, derived, w.observations);
    std::vector<TextCode> kept;
    for (const TextCode& c : derived) {
      if (check.contradicted.count(c.ch) || held_out_wrong.count(c.ch)) {
        ++s.derived_dropped;
        continue;
      }
      kept.push_back(c);
      if (check.confirmed.count(c.ch)) ++s.derived_confirmed;
    }
    s.learned += static_cast<uint32_t>(learned.size());
    s.derived += static_cast<uint32_t>(kept.size());
    std::vector<TextCode> final_table = index_text::MergeCodes(table, kept);
    for (uint16_t ch : wanted) {
      if (index_text::FindCode(final_table, ch) == nullptr) ++s.unresolved;
    }
    if (learned.empty() && kept.empty()) continue;
    ExtraTextCodes::Order order;
    order.format = format;
    order.table = std::move(final_table);
    extra->orders.push_back(std::move(order));
  }
  if (!extra->orders.empty()) result.codes = std::move(extra);
  return result;
}

}  // namespace engine
