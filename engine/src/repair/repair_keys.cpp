#include "repair/repair_keys.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <tuple>
#include <unordered_map>

#include "format/index_page.h"
#include "format/row.h"
#include "keys/learn/index_key_derive.h"
#include "keys/learn/index_key_infer.h"
#include "keys/rows/row_keys.h"

namespace engine {

namespace {

using index_text::CodeInference;
using index_text::CodeTable;
using index_text::Observation;
using index_text::ObservedValue;
using index_text::TextCode;

// Bounds on what is kept for learning: rows needing a learned code per
// table, and observations per format.
constexpr size_t kMaxRowsPerTable = 8000;
constexpr size_t kMaxRowBytesPerTable = size_t{8} << 20;
constexpr size_t kMaxObservations = 8000;
// What the learner is given: keys with at most this many characters without
// a code, at most this many keys per such character, this many keys in all.
constexpr size_t kMaxOpenPerKey = 3;
constexpr size_t kKeysPerCharacter = 6;
constexpr size_t kMaxLearningKeys = 600;
// Different text values whose keys must show a learned code before it is used.
constexpr size_t kMinDistinctValues = 2;

uint32_t Pack(RowPointer p) {
  return (p.page << 8) | p.row;
}

bool IsText(const KeyColumn& c) {
  return c.type == key_type::kText || c.type == key_type::kMemo;
}

// Encoder tables holding `table` for every order of `format`: the keys it
// encodes are of one sort order, whichever version that is.
index_text::TextTables OneTable(KeyFormat format, CodeTable table) {
  index_text::TextTables tables;
  if (format == KeyFormat::kJet3) {
    tables.jet3 = table;
  } else {
    tables.jet4 = tables.jet4_2010 = table;
  }
  return tables;
}

// The built-in table of a General order: Jet 3's, Jet 4's legacy one, or
// that of General of 2010 (sort-order version 1).
CodeTable Known(const index_text::TextTables& known, KeyFormat format, uint8_t version) {
  if (format == KeyFormat::kJet3) return known.jet3;
  return version == kGeneral2010Version ? known.jet4_2010 : known.jet4;
}

// Jet 3: the characters of `chars` whose accent weight is unknown and
// matters, standing before an accented character.
std::vector<uint16_t> WeightsThatMatter(CodeTable table, std::span<const uint16_t> chars) {
  std::vector<uint16_t> out;
  size_t last_accent = 0;
  bool accent = false;
  for (size_t i = 0; i < chars.size(); ++i) {
    const TextCode* code = index_text::FindCode(table, chars[i]);
    if (code != nullptr && code->kind == index_text::CodeKind::kInternational) {
      last_accent = i;
      accent = true;
    }
  }
  if (!accent) return out;
  for (size_t i = 0; i < last_accent; ++i) {
    const TextCode* code = index_text::FindCode(table, chars[i]);
    if (code != nullptr && code->kind == index_text::CodeKind::kSimple &&
        code->weight == index_text::kWeightUnknown) {
      out.push_back(chars[i]);
    }
  }
  return out;
}

// The characters of a General-order text value the built-in table has no
// usable code for (Jet 3: or whose accent weight is unknown where it matters).
void Missing(const index_text::TextTables& known, const KeyColumn& column, const KeyValue& value,
             std::set<uint16_t>& out) {
  if (value.is_null || !SortOrderCovered(column)) return;
  if (column.format == KeyFormat::kJet4 && value.bytes.size() % 2 != 0) return;
  const CodeTable table = Known(known, column.format, column.sort_order_version);
  const std::vector<uint16_t> chars =
      index_text::PrepareText(index_text::TextChars(column.format, value.bytes));
  for (uint16_t ch : chars) {
    if (index_text::FindCode(table, ch) == nullptr) out.insert(ch);
  }
  for (uint16_t ch : WeightsThatMatter(table, chars)) out.insert(ch);
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

// A text sort order as the columns describe it.
struct OrderKey {
  KeyFormat format = KeyFormat::kJet4;
  uint16_t sort_order = kGeneralSortOrder;
  uint8_t version = 0;
  uint16_t code_page = 1252;

  static OrderKey Of(const KeyColumn& c) {
    OrderKey k{c.format, c.sort_order, 0, 0};
    if (c.format == KeyFormat::kJet3) {
      k.code_page = c.code_page;
    } else {
      k.version = c.sort_order_version;
    }
    return k;
  }
  bool general() const {
    return sort_order == kGeneralSortOrder &&
           (format == KeyFormat::kJet3 ? code_page == 1252
                                       : version == 0 || version == kGeneral2010Version);
  }
  auto tie() const { return std::tie(format, sort_order, version, code_page); }
  bool operator<(const OrderKey& o) const { return tie() < o.tie(); }
};

struct OrderWork {
  std::set<uint16_t> missing;  // characters that need a code not built in
  std::vector<Observation> observations;
};

// The one text sort order of an index's columns; nullopt when it has none
// or mixes several.
std::optional<OrderKey> TextOrder(const std::vector<KeyColumn>& columns) {
  std::optional<OrderKey> order;
  for (const KeyColumn& c : columns) {
    if (!IsText(c)) continue;
    OrderKey k = OrderKey::Of(c);
    if (order && (*order < k || k < *order)) return std::nullopt;
    order = k;
  }
  return order;
}

void Gather(const Database& db, const index_text::TextTables& known,
            std::map<OrderKey, OrderWork>& work) {
  for (const CatalogObject* object : db.tables()) {
    auto table = db.ReadTableDef(object->table_page());
    if (!table.ok()) continue;
    const TableDef& def = table.value();
    struct TextIndex {
      const PhysicalIndex* index;
      std::vector<KeyColumn> columns;
      OrderKey order;
    };
    std::vector<TextIndex> text_indexes;
    for (const PhysicalIndex& pi : def.physical_indexes) {
      auto columns = IndexKeyColumns(db.version(), def, pi);
      if (!columns.ok()) continue;
      auto order = TextOrder(columns.value());
      if (order) text_indexes.push_back({&pi, std::move(columns.value()), *order});
    }
    if (text_indexes.empty()) continue;

    // Rows whose indexed text needs a code the built-in tables do not have:
    // a character they lack, or any character of another sort order.
    RowDecoder decoder(def, db.layout());
    RowKeyValues values;
    std::unordered_map<uint32_t, std::vector<uint8_t>> rows;
    size_t row_bytes = 0;
    Status scanned = db.ScanRows(def, [&](const RowRef& ref) {
      if (!decoder.Decode(ref.bytes).ok()) return true;
      bool needed = false;
      for (const TextIndex& ti : text_indexes) {
        if (!GatherKeyValues(db.pager(), db.layout(), def, *ti.index, decoder, values).ok())
          continue;
        std::set<uint16_t> chars;
        for (size_t c = 0; c < ti.columns.size() && c < values.values.size(); ++c) {
          const KeyColumn& col = ti.columns[c];
          const KeyValue& v = values.values[c];
          if (!IsText(col) || v.is_null) continue;
          if (ti.order.general()) {
            Missing(known, col, v, chars);
          } else if (col.format == KeyFormat::kJet3 || v.bytes.size() % 2 == 0) {
            for (uint16_t ch :
                 index_text::PrepareText(index_text::TextChars(col.format, v.bytes))) {
              chars.insert(ch);
            }
          }
        }
        if (chars.empty()) continue;
        needed = true;
        work[ti.order].missing.insert(chars.begin(), chars.end());
      }
      if (needed && rows.size() < kMaxRowsPerTable &&
          row_bytes + ref.bytes.size() <= kMaxRowBytesPerTable) {
        rows.emplace(Pack(ref.location), std::vector<uint8_t>(ref.bytes.begin(), ref.bytes.end()));
        row_bytes += ref.bytes.size();
      }
      return true;
    });
    (void)scanned;  // rows read before a failure still count
    if (rows.empty()) continue;

    // Their intact entries.
    for (const TextIndex& ti : text_indexes) {
      if (ti.index->root_page == 0) continue;
      std::vector<Observation>& out = work[ti.order].observations;
      IntactLeaves(db, def.first_page, ti.index->root_page, [&](const IndexPage& page) {
        for (const IndexEntry& e : page.entries) {
          if (out.size() >= kMaxObservations) return;
          auto row = rows.find(Pack(e.row));
          if (row == rows.end() || !decoder.Decode(row->second).ok()) continue;
          if (!GatherKeyValues(db.pager(), db.layout(), def, *ti.index, decoder, values).ok())
            continue;
          Observation obs;
          obs.columns = ti.columns;
          for (KeyColumn& c : obs.columns) {
            // Other orders are learned as if they were the format's General
            // order: same algorithm, their own codes.
            if (IsText(c)) {
              c.sort_order = kGeneralSortOrder;
              c.sort_order_version = 0;
              c.code_page = 1252;
            }
          }
          for (const KeyValue& v : values.values) {
            obs.values.push_back(ObservedValue{
                v.is_null, v.boolean, std::vector<uint8_t>(v.bytes.begin(), v.bytes.end())});
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

std::vector<uint16_t> KeyChars(KeyFormat format, const Observation& obs) {
  std::set<uint16_t> chars;
  for (size_t i = 0; i < obs.columns.size() && i < obs.values.size(); ++i) {
    if (!IsText(obs.columns[i]) || obs.values[i].is_null) continue;
    for (uint16_t ch : index_text::PrepareText(index_text::TextChars(format, obs.values[i].bytes)))
      chars.insert(ch);
  }
  return {chars.begin(), chars.end()};
}

// For a sort order without built-in codes: the General codes that this
// order's own keys confirm. A character is taken when a key holding it comes
// out as stored with the General codes; a key that does not, although every
// character in it was taken, withdraws them all (the order treats one of
// them, or their combination, differently), and the rest is looked at again.
std::vector<TextCode> ConfirmedGeneralCodes(KeyFormat format, CodeTable general,
                                            const std::vector<Observation>& observations) {
  std::set<uint16_t> withdrawn;
  while (true) {
    std::vector<TextCode> usable;
    for (const TextCode& c : general) {
      if (!withdrawn.count(c.ch)) usable.push_back(c);
    }
    const index_text::TextTables tables = OneTable(format, usable);
    std::set<uint16_t> taken;
    std::vector<std::vector<uint16_t>> missed;
    for (const Observation& obs : observations) {
      std::vector<KeyValue> values;
      for (const ObservedValue& v : obs.values) values.push_back({v.is_null, v.boolean, v.bytes});
      EncodedKey key = index_text::EncodeIndexKeyWith(tables, obs.columns, values);
      if (!key.ok()) continue;
      std::vector<uint16_t> chars = KeyChars(format, obs);
      if (key.bytes == obs.key) {
        taken.insert(chars.begin(), chars.end());
      } else {
        missed.push_back(std::move(chars));
      }
    }
    const size_t before = withdrawn.size();
    for (const auto& chars : missed) {
      if (std::all_of(chars.begin(), chars.end(), [&](uint16_t ch) { return taken.count(ch); })) {
        withdrawn.insert(chars.begin(), chars.end());
      }
    }
    if (withdrawn.size() == before) {
      std::vector<TextCode> out;
      for (const TextCode& c : usable) {
        if (taken.count(c.ch)) out.push_back(c);
      }
      return out;
    }
  }
}

std::vector<Observation> Copies(const std::vector<const Observation*>& from) {
  std::vector<Observation> out;
  out.reserve(from.size());
  for (const Observation* o : from) out.push_back(*o);
  return out;
}

// The observations worth learning from: keys with few characters `known`
// lacks (a key with one is where a code is read off; the learner takes
// keys apart only a few characters at a time), a handful per character.
std::vector<const Observation*> ForLearning(KeyFormat format, CodeTable known,
                                            const std::vector<const Observation*>& observations) {
  std::vector<std::pair<size_t, const Observation*>> ranked;
  std::vector<std::vector<uint16_t>> open(observations.size());
  for (size_t i = 0; i < observations.size(); ++i) {
    bool weight_unknown = false;
    for (uint16_t ch : KeyChars(format, *observations[i])) {
      const TextCode* code = index_text::FindCode(known, ch);
      if (code == nullptr) open[i].push_back(ch);
      weight_unknown |= code != nullptr && code->weight == index_text::kWeightUnknown;
    }
    // Jet 3: a key with a letter whose accent weight is unknown cannot be
    // encoded with any accented character, so it would rule out every
    // accented reading of a character and leave a wrong one standing.
    if (weight_unknown) continue;
    if (!open[i].empty() && open[i].size() <= kMaxOpenPerKey) ranked.push_back({i, nullptr});
  }
  std::stable_sort(ranked.begin(), ranked.end(), [&](const auto& a, const auto& b) {
    return open[a.first].size() < open[b.first].size();
  });
  std::map<uint16_t, size_t> taken;
  std::vector<const Observation*> out;
  for (const auto& [i, unused] : ranked) {
    if (out.size() >= kMaxLearningKeys) break;
    if (std::none_of(open[i].begin(), open[i].end(),
                     [&](uint16_t ch) { return taken[ch] < kKeysPerCharacter; })) {
      continue;
    }
    for (uint16_t ch : open[i]) ++taken[ch];
    out.push_back(observations[i]);
  }
  return out;
}

// Codes learned on top of `seed`, each reproducing every observed key that
// holds it and that the codes can encode.
std::vector<TextCode> Learn(KeyFormat format, CodeTable seed,
                            const std::vector<const Observation*>& observations) {
  CodeInference inference(format);
  inference.Seed(seed);
  for (const Observation* obs : ForLearning(format, seed, observations)) inference.Add(*obs);
  inference.Run();
  std::vector<TextCode> learned = inference.Learned();
  // The learner saw a few keys per character; every key has its say.
  while (!learned.empty()) {
    const auto check = index_text::CheckDerived(format, seed, learned, Copies(observations));
    if (check.contradicted.empty()) break;
    std::vector<TextCode> kept;
    for (const TextCode& c : learned) {
      if (!check.contradicted.count(c.ch)) kept.push_back(c);
    }
    learned = std::move(kept);
  }
  // A code only one text value shows may fit that value by chance: a code
  // stands when keys of at least two different values reproduce it.
  if (learned.empty()) return learned;
  const std::vector<TextCode> merged = index_text::MergeCodes(seed, learned);
  const index_text::TextTables tables = OneTable(format, merged);
  std::map<uint16_t, std::set<std::vector<uint8_t>>> support;
  for (const Observation* obs : observations) {
    std::vector<KeyValue> values;
    std::vector<uint8_t> text;
    for (size_t i = 0; i < obs->values.size(); ++i) {
      const ObservedValue& v = obs->values[i];
      values.push_back({v.is_null, v.boolean, v.bytes});
      if (i < obs->columns.size() && IsText(obs->columns[i])) {
        text.insert(text.end(), v.bytes.begin(), v.bytes.end());
        text.push_back(0xFF);  // between values
      }
    }
    EncodedKey key = index_text::EncodeIndexKeyWith(tables, obs->columns, values);
    if (!key.ok() || key.bytes != obs->key) continue;
    for (uint16_t ch : KeyChars(format, *obs)) {
      if (index_text::FindCode(learned, ch) != nullptr) support[ch].insert(text);
    }
  }
  std::vector<TextCode> kept;
  for (const TextCode& c : learned) {
    if (support[c.ch].size() >= kMinDistinctValues) kept.push_back(c);
  }
  return kept;
}

// Jet 3 letters whose accent weight is unknown, taken as one placeholder
// each (what a letter stands for): a letter keeps weight 1 where keys in which
// its weight matters come out as stored with it, and no such key comes out
// otherwise. Returns the codes with their weight set.
std::vector<TextCode> ConfirmedWeights(CodeTable table, const std::set<uint16_t>& wanted,
                                       const std::vector<Observation>& observations) {
  // Letters that carry a diacritic in the table: an accented letter coded
  // on its base letter.
  std::set<uint16_t> bases;
  for (const TextCode& c : table) {
    if (c.kind != index_text::CodeKind::kInternational) continue;
    if (auto letter = index_text::SplitAccent(KeyFormat::kJet3, c.ch)) {
      bases.insert(static_cast<uint16_t>(letter->base | 0x20));
    }
  }
  std::set<uint8_t> significant;
  for (uint16_t base : bases) {
    const TextCode* code = index_text::FindCode(table, base);
    if (code != nullptr && code->kind == index_text::CodeKind::kSimple && code->inline_len == 1) {
      significant.insert(code->inline_bytes[0]);
    }
  }
  std::vector<TextCode> guess;
  for (uint16_t ch : wanted) {
    const TextCode* code = index_text::FindCode(table, ch);
    if (code == nullptr || code->kind != index_text::CodeKind::kSimple ||
        code->weight != index_text::kWeightUnknown) {
      continue;
    }
    // One placeholder per inline code that is the code of such a letter:
    // "ß" stands for two of "s".
    TextCode c = *code;
    c.weight = 0;
    for (uint8_t b : c.inline_span()) {
      if (significant.count(b)) ++c.weight;
    }
    guess.push_back(c);
  }
  if (guess.empty()) return guess;
  std::vector<TextCode> merged(table.begin(), table.end());
  for (TextCode& c : merged) {
    if (const TextCode* g = index_text::FindCode(guess, c.ch)) c = *g;
  }
  index_text::TextTables tables;
  tables.jet3 = merged;
  std::map<uint16_t, size_t> confirmed;
  std::set<uint16_t> contradicted;
  for (const Observation& obs : observations) {
    std::set<uint16_t> matter;
    std::vector<KeyValue> values;
    for (size_t i = 0; i < obs.values.size(); ++i) {
      const ObservedValue& v = obs.values[i];
      values.push_back({v.is_null, v.boolean, v.bytes});
      if (i >= obs.columns.size() || !IsText(obs.columns[i]) || v.is_null) continue;
      const auto chars = index_text::PrepareText(index_text::TextChars(KeyFormat::kJet3, v.bytes));
      for (uint16_t ch : WeightsThatMatter(table, chars)) {
        if (index_text::FindCode(guess, ch) != nullptr) matter.insert(ch);
      }
    }
    if (matter.empty()) continue;
    EncodedKey key = index_text::EncodeIndexKeyWith(tables, obs.columns, values);
    if (!key.ok()) continue;
    for (uint16_t ch : matter) {
      if (key.bytes == obs.key) {
        ++confirmed[ch];
      } else {
        contradicted.insert(ch);
      }
    }
  }
  std::vector<TextCode> out;
  for (const TextCode& c : guess) {
    if (confirmed.count(c.ch) && !contradicted.count(c.ch)) out.push_back(c);
  }
  return out;
}

// `table` with the entries of `weights` in place of its own.
std::vector<TextCode> WithWeights(CodeTable table, const std::vector<TextCode>& weights) {
  std::vector<TextCode> out(table.begin(), table.end());
  for (TextCode& c : out) {
    if (const TextCode* w = index_text::FindCode(weights, c.ch)) c = *w;
  }
  return out;
}

}  // namespace

LearnedKeyCodes LearnKeyCodes(const Database& db) {
  return LearnKeyCodes(db, {index_text::Jet3GeneralCodes(), index_text::Jet4GeneralLegacyCodes(),
                            index_text::Jet4General2010Codes()});
}

LearnedKeyCodes LearnKeyCodes(const Database& db, const index_text::TextTables& known) {
  LearnedKeyCodes result;
  std::map<OrderKey, OrderWork> work;
  Gather(db, known, work);
  auto extra = std::make_shared<ExtraTextCodes>();
  KeyCodeLearning& s = result.stats;
  for (auto& [order, w] : work) {
    if (w.missing.empty()) continue;
    const KeyFormat format = order.format;
    s.missing += static_cast<uint32_t>(w.missing.size());
    s.observations += w.observations.size();
    const std::vector<uint16_t> wanted(w.missing.begin(), w.missing.end());
    std::vector<const Observation*> all, even, odd;
    for (size_t i = 0; i < w.observations.size(); ++i) {
      all.push_back(&w.observations[i]);
      (i % 2 == 0 ? even : odd).push_back(&w.observations[i]);
    }

    // Held-out keys: codes worked out from the even entries encode the odd
    // ones; each comes out as stored or not (a key the codes cannot encode
    // is not counted).
    auto hold_out = [&](CodeTable half) {
      const index_text::TextTables tables = OneTable(format, half);
      for (const Observation* obs : odd) {
        std::vector<KeyValue> values;
        for (const ObservedValue& v : obs->values)
          values.push_back({v.is_null, v.boolean, v.bytes});
        EncodedKey key = index_text::EncodeIndexKeyWith(tables, obs->columns, values);
        if (!key.ok()) continue;
        ++(key.bytes == obs->key ? s.held_out_keys_reproduced : s.held_out_keys_mismatched);
      }
    };

    std::vector<TextCode> table;
    if (order.general()) {
      const CodeTable compiled = Known(known, format, order.version);
      // The split check: learn and derive on every other entry, hold the
      // derived codes against the rest.
      std::set<uint16_t> held_out_wrong;
      {
        const auto half = index_text::MergeCodes(compiled, Learn(format, compiled, even));
        const auto study = index_text::StudyAccents(format, half);
        const auto derived = index_text::DeriveAccented(format, half, study, wanted);
        const auto check = index_text::CheckDerived(format, half, derived, Copies(odd));
        s.held_out_confirmed += static_cast<uint32_t>(check.confirmed.size());
        s.held_out_contradicted += static_cast<uint32_t>(check.contradicted.size());
        for (const auto& [ch, where] : check.contradicted) held_out_wrong.insert(ch);
        hold_out(index_text::MergeCodes(half, derived));
      }
      // The codes used: learned from every entry, then derived where still
      // missing; a derived code any entry contradicts is left out.
      const std::vector<TextCode> learned = Learn(format, compiled, all);
      s.learned += static_cast<uint32_t>(learned.size());
      table = index_text::MergeCodes(compiled, learned);
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
      s.derived += static_cast<uint32_t>(kept.size());
      table = index_text::MergeCodes(table, kept);
      std::vector<TextCode> weights;
      if (format == KeyFormat::kJet3) {
        weights = ConfirmedWeights(table, w.missing, w.observations);
        s.weights_confirmed += static_cast<uint32_t>(weights.size());
        table = WithWeights(table, weights);
      }
      if (learned.empty() && kept.empty() && weights.empty()) {
        s.unresolved += static_cast<uint32_t>(wanted.size());
        continue;
      }
    } else {
      // Another sort order: the General codes its keys confirm, then what
      // can be learned on top of those. No accent derivation: such orders
      // are where letters with diacritics sort on their own.
      {
        std::vector<Observation> first_half = Copies(even);
        const auto half_confirmed =
            ConfirmedGeneralCodes(format, Known(known, format, order.version), first_half);
        hold_out(index_text::MergeCodes(half_confirmed, Learn(format, half_confirmed, even)));
      }
      const std::vector<TextCode> confirmed =
          ConfirmedGeneralCodes(format, Known(known, format, order.version), w.observations);
      const std::vector<TextCode> learned = Learn(format, confirmed, all);
      table = index_text::MergeCodes(confirmed, learned);
      // Characters that needed a code: those the General table lacks count
      // as learned when they got one; the General ones as confirmed.
      for (const TextCode& c : table) {
        if (!w.missing.count(c.ch)) continue;
        if (index_text::FindCode(Known(known, format, order.version), c.ch) == nullptr) {
          ++s.learned;
        } else {
          ++s.confirmed_general;
        }
      }
      if (table.empty()) {
        s.unresolved += static_cast<uint32_t>(wanted.size());
        continue;
      }
    }
    for (uint16_t ch : wanted) {
      const TextCode* code = index_text::FindCode(table, ch);
      if (code == nullptr || (code->kind == index_text::CodeKind::kSimple &&
                              code->weight == index_text::kWeightUnknown)) {
        ++s.unresolved;
      }
    }
    ExtraTextCodes::Order o;
    o.format = format;
    o.sort_order = order.sort_order;
    o.version = order.version;
    o.code_page = order.code_page;
    o.table = std::move(table);
    extra->orders.push_back(std::move(o));
  }
  if (!extra->orders.empty()) result.codes = std::move(extra);
  return result;
}

}  // namespace engine
