// quorlen-bench-db TEMPLATE OUT [--tables N] [--rows N] [--seed N] [--shape memo|rows]
//                  [--encoded] [--foreign-text]
//
// Writes a large Jet 4 database through the engine's writer, for timing
// compaction: page 0 is TEMPLATE's (a Jet 4 file, also used as the key
// encoder's database), then a catalog table and N tables with `rows` rows
// each. About 30 % of the rows are written and then flagged deleted (their
// slots keep their bytes, as Access leaves them; they are in no index and
// not counted), so a compaction has real work. Two shapes:
//   memo (default): ID long (AutoNumber, primary key), Name text(50)
//     (index), Code text(20) (unique index), Amount double, Created date,
//     Notes memo; one row in 40 has a memo of 6-20 KB (a chain over several
//     pages), one in 4 a short one. Most of the file is memo data.
//   rows: more, smaller rows with more text indexes: the same columns plus
//     City text(30) (index) and Remarks text(255) (120-240 characters, not
//     indexed); one row in 400 has a 6-20 KB memo, one in 20 a short one.
//     Four index entries per live row.
// --encoded writes pages 1.. RC4-encoded under a fixed database key, as an
// encoded database is stored.
// --foreign-text declares the text columns with a sort order (0x0419) the
// key encoder has no codes for, their index keys made as General's: a
// compaction must take every text key from the source's entries.
// Output is deterministic for a given seed.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "compact/table_def_writer.h"
#include "format/header.h"
#include "format/row.h"
#include "reader/database.h"
#include "writer/data_page_builder.h"
#include "writer/external_sorter.h"
#include "writer/file_sink.h"
#include "writer/long_value_writer.h"
#include "writer/table_index_writer.h"
#include "writer/usage_map_builder.h"

namespace {

using namespace engine;
using Bytes = std::vector<uint8_t>;

void Put16(Bytes& b, size_t at, uint32_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void Append16(Bytes& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
void Append32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
Bytes Ucs2(const std::string& ascii) {
  Bytes b;
  for (char c : ascii) Append16(b, static_cast<uint8_t>(c));
  return b;
}

struct Column {
  uint8_t type;
  uint16_t number;
  uint16_t var_index;
  uint8_t flags;
  uint16_t fixed_offset;
  uint16_t length;
  std::string name;
};
struct Index {
  std::vector<uint16_t> columns;
  uint8_t flags;  // physical index flags
  uint8_t kind;   // logical: 1 primary key, 0 other
  std::string name;
};

// A fresh Jet 4 table definition; pointers are filled in later by the
// definition rewrite.
Bytes TableDefinition(uint8_t table_type, uint16_t max_cols, uint16_t var_cols,
                      const std::vector<Column>& columns, const std::vector<Index>& indexes,
                      const std::vector<uint16_t>& long_value_columns,
                      uint16_t text_sort_order = 0x0409) {
  const Layout& L = LayoutFor(JetVersion::kJet4);
  Bytes d(L.tdef_block_end, 0);
  d[0] = 0x02;
  d[1] = 0x01;
  Put32(d, 0x0C, 1625);
  d[0x18] = 1;
  d[L.tdef_table_type] = table_type;
  Put16(d, L.tdef_max_cols, max_cols);
  Put16(d, L.tdef_num_var_cols, var_cols);
  Put16(d, L.tdef_num_cols, static_cast<uint32_t>(columns.size()));
  Put32(d, L.tdef_num_idx, static_cast<uint32_t>(indexes.size()));
  Put32(d, L.tdef_num_real_idx, static_cast<uint32_t>(indexes.size()));
  d.resize(d.size() + indexes.size() * L.tdef_index_count_size, 0);
  for (const Column& c : columns) {
    Bytes col(L.column_def_size, 0);
    col[0] = c.type;
    Put32(col, 1, 1625);
    Put16(col, L.col_number, c.number);
    Put16(col, L.col_var_index, c.var_index);
    Put16(col, 9, c.number);
    const bool text = c.type == 0x0A || c.type == 0x0C;
    Put16(col, 11, text ? text_sort_order : 0x0409);
    col[L.col_flags] = c.flags;
    Put16(col, L.col_fixed_offset, c.fixed_offset);
    Put16(col, L.col_length, c.length);
    d.insert(d.end(), col.begin(), col.end());
  }
  auto name = [&](const std::string& s) {
    Bytes n = Ucs2(s);
    Append16(d, static_cast<uint32_t>(n.size()));
    d.insert(d.end(), n.begin(), n.end());
  };
  for (const Column& c : columns) name(c.name);
  for (const Index& ix : indexes) {
    Bytes p(L.physical_index_size, 0);
    Put32(p, 0, 1923);
    for (size_t s = 0; s < 10; ++s) {
      size_t at = L.pidx_columns + 3 * s;
      if (s < ix.columns.size()) {
        Put16(p, at, ix.columns[s]);
        p[at + 2] = 1;
      } else {
        Put16(p, at, 0xFFFF);
      }
    }
    p[L.pidx_flags] = ix.flags;
    d.insert(d.end(), p.begin(), p.end());
  }
  for (size_t i = 0; i < indexes.size(); ++i) {
    Bytes l(L.logical_index_size, 0);
    Put32(l, 0, 1625);
    Put32(l, L.lidx_number, static_cast<uint32_t>(i));
    Put32(l, L.lidx_physical, static_cast<uint32_t>(i));
    Put32(l, L.lidx_fk_index, 0xFFFFFFFF);
    l[L.lidx_cascade_update] = 4;
    l[L.lidx_cascade_delete] = 4;
    l[L.lidx_kind] = indexes[i].kind;
    d.insert(d.end(), l.begin(), l.end());
  }
  for (const Index& ix : indexes) name(ix.name);
  for (uint16_t c : long_value_columns) {
    Append16(d, c);
    Append32(d, 0);
    Append32(d, 0);
  }
  Append16(d, 0xFFFF);
  Put32(d, 8, static_cast<uint32_t>(d.size()));
  return d;
}

// Flags the slots of rows meant as deleted when their page goes out.
class DeletingSink final : public PageSink {
 public:
  explicit DeletingSink(PageSink& inner) : inner_(inner) {}
  const Layout& layout() const override { return inner_.layout(); }
  uint32_t AllocatePage() override { return inner_.AllocatePage(); }
  Status WritePage(uint32_t number, ByteSpan bytes) override {
    auto it = deleted_.find(number);
    if (it == deleted_.end()) return inner_.WritePage(number, bytes);
    page_.assign(bytes.begin(), bytes.end());
    const uint32_t table = layout().data_header_size;
    for (uint8_t row : it->second) {
      uint16_t entry =
          static_cast<uint16_t>(page_[table + 2 * row] | (page_[table + 2 * row + 1] << 8));
      entry = static_cast<uint16_t>(entry | 0xC000);
      Put16(page_, table + 2 * row, entry);
    }
    deleted_.erase(it);
    return inner_.WritePage(number, page_);
  }
  void MarkDeleted(RowPointer row) { deleted_[row.page].push_back(row.row); }

 private:
  PageSink& inner_;
  std::map<uint32_t, std::vector<uint8_t>> deleted_;
  Bytes page_;
};

struct Options {
  std::string template_path, out;
  uint32_t tables = 40;
  uint32_t rows = 28000;
  uint32_t seed = 1;
  bool rows_shape = false;    // --shape rows
  bool encoded = false;       // --encoded
  bool foreign_text = false;  // --foreign-text
};

// A text sort order without codes in the key encoder's tables.
constexpr uint16_t kForeignSortOrder = 0x0419;

// Any non-zero key will do; a fixed one keeps the output deterministic.
constexpr uint32_t kBenchDatabaseKey = 0x5EC0DE42;

int Fail(const Error& e) {
  std::fprintf(stderr, "%s\n", e.ToString().c_str());
  return 1;
}

int Run(const Options& o) {
  const Layout& L = LayoutFor(JetVersion::kJet4);
  auto source = Database::Open(o.template_path);
  if (!source.ok()) return Fail(source.error());
  if (source.value()->version() != JetVersion::kJet4) {
    return Fail(Error(ErrorCode::kInvalidArgument, "the template must be a Jet 4 database"));
  }
  const Database& db = *source.value();
  const uint32_t database_key = o.encoded ? kBenchDatabaseKey : 0;
  auto file = FilePageSink::Create(o.out, L, database_key);
  if (!file.ok()) return Fail(file.error());
  DeletingSink sink(*file.value());

  sink.AllocatePage();                                // 0
  sink.AllocatePage();                                // 1
  const uint32_t catalog_page = sink.AllocatePage();  // 2
  std::vector<uint32_t> table_pages;
  for (uint32_t t = 0; t < o.tables; ++t) table_pages.push_back(sink.AllocatePage());

  std::vector<Column> columns = {
      {0x04, 0, 0, 0x17, 0, 4, "ID"},       {0x0A, 1, 0, 0x12, 0, 100, "Name"},
      {0x0A, 2, 1, 0x12, 0, 40, "Code"},    {0x07, 3, 0, 0x13, 4, 8, "Amount"},
      {0x08, 4, 0, 0x13, 12, 8, "Created"}, {0x0C, 5, 2, 0x12, 0, 0, "Notes"}};
  std::vector<Index> indexes = {
      {{0}, 0x89, 1, "PrimaryKey"}, {{1}, 0x80, 0, "Name"}, {{2}, 0x81, 0, "Code"}};
  // Notes is the last column, its bit the last of the null mask.
  if (o.rows_shape) {
    columns.back() = {0x0A, 5, 2, 0x12, 0, 60, "City"};
    columns.push_back({0x0A, 6, 3, 0x12, 0, 510, "Remarks"});
    columns.push_back({0x0C, 7, 4, 0x12, 0, 0, "Notes"});
    indexes.push_back({{5}, 0x80, 0, "City"});
  }
  const uint16_t notes = columns.back().number;
  const auto column_count = static_cast<uint16_t>(columns.size());
  const auto var_count = static_cast<uint16_t>(o.rows_shape ? 5 : 3);
  DataPageBuilder maps(sink, 0);
  std::mt19937 rng(o.seed);
  // Words whose letters the key encoder's General tables know.
  static const char* kWords[] = {"alder", "birch", "cedar", "elm",  "fir",   "holly",
                                 "larch", "maple", "oak",   "pine", "rowan", "spruce"};
  static const char* kCities[] = {"Aberdeen", "Bergen",  "Cork",    "Dijon",     "Essen",
                                  "Faro",     "Genoa",   "Haarlem", "Innsbruck", "Jena",
                                  "Kassel",   "Lille",   "Malmo",   "Nantes",    "Oulu",
                                  "Porto",    "Quimper", "Riga",    "Split",     "Turku"};
  std::vector<std::string> table_names;
  uint64_t live_total = 0, deleted_total = 0;

  for (uint32_t t = 0; t < o.tables; ++t) {
    char name[16];
    std::snprintf(name, sizeof name, "T%04u", t + 1);
    table_names.push_back(name);
    const uint32_t page = table_pages[t];
    Bytes raw = TableDefinition('N', column_count, var_count, columns, indexes, {notes},
                                o.foreign_text ? kForeignSortOrder : 0x0409);
    TextCodec text(JetVersion::kJet4, 1252);
    auto def = DecodeTableDef(raw, L, text, page);
    if (!def.ok()) return Fail(def.error());
    // The keys are made under General; the definition written says otherwise.
    TableDef key_def = def.value();
    for (ColumnDef& c : key_def.columns) {
      if (c.type == 0x0A || c.type == 0x0C) c.sort_order = 0x0409;
    }

    DataPageBuilder rows(sink, page);
    LongValueWriter long_values(sink);
    TableIndexWriter index(sink, db, name, key_def, page,
                           SorterOptions{64u << 20, TempDirBeside(o.out)});
    uint32_t live = 0;
    for (uint32_t r = 0; r < o.rows; ++r) {
      const uint32_t id = r + 1;
      RowParts parts;
      parts.column_count = column_count;
      parts.fixed.assign(20, 0);
      std::memcpy(parts.fixed.data(), &id, 4);
      double amount = static_cast<double>(rng() % 1000000) / 100.0;
      double created = 36526.0 + static_cast<double>(rng() % 9000) +
                       static_cast<double>(rng() % 86400) / 86400.0;
      std::memcpy(parts.fixed.data() + 4, &amount, 8);
      std::memcpy(parts.fixed.data() + 12, &created, 8);
      std::string n = std::string(kWords[rng() % 12]) + " " + kWords[rng() % 12] + " " +
                      std::to_string(rng() % 100000);
      char code[24];
      std::snprintf(code, sizeof code, "C%02u-%08u", t, id);
      parts.vars.push_back(Ucs2(n));
      parts.vars.push_back(Ucs2(code));
      if (o.rows_shape) {
        parts.vars.push_back(Ucs2(kCities[rng() % 20]));
        std::string remarks;
        const size_t target = 120 + rng() % 121;
        while (remarks.size() < target) remarks += std::string(kWords[rng() % 12]) + " ";
        remarks.resize(target);
        parts.vars.push_back(Ucs2(remarks));
      }
      // Every column present but Notes, whose bit is set when it has a value.
      uint32_t mask = (1u << notes) - 1;
      const auto kind = static_cast<uint32_t>(rng() % (o.rows_shape ? 400 : 40));
      const uint32_t with_memo = o.rows_shape ? 20 : 11;
      Bytes field;
      if (kind < with_memo) {
        size_t length = kind == 0 ? 6000 + rng() % 14000 : 20 + rng() % 400;
        Bytes memo;
        memo.reserve(length);
        while (memo.size() < length) {
          Bytes w = Ucs2(std::string(kWords[rng() % 12]) + " ");
          memo.insert(memo.end(), w.begin(), w.end());
        }
        auto f = long_values.Write(notes, memo, memo.size() + 200 < 2000);
        if (!f.ok()) return Fail(f.error());
        field = std::move(f.value());
        mask |= 1u << notes;
      }
      parts.vars.push_back(field);
      parts.null_mask = {static_cast<uint8_t>(mask)};
      auto row = EncodeRow(L, parts);
      if (!row.ok()) return Fail(row.error());
      auto where = rows.Add(row.value());
      if (!where.ok()) return Fail(where.error());
      if (rng() % 10 < 3) {
        sink.MarkDeleted(where.value());
        ++deleted_total;
        continue;
      }
      if (Status st = index.AddRow(row.value(), where.value(), where.value()); !st.ok()) {
        return Fail(st.error());
      }
      ++live;
    }
    if (Status st = rows.Finish(); !st.ok()) return Fail(st.error());
    if (Status st = long_values.Finish(); !st.ok()) return Fail(st.error());
    auto built = index.Finish();
    if (!built.ok()) return Fail(built.error());

    auto place = [&](std::span<const uint32_t> pages) -> Result<RowPointer> {
      auto map = BuildUsageMap(sink, pages);
      if (!map.ok()) return map.error();
      return maps.Add(map.value());
    };
    TableDefUpdate u;
    u.num_rows = live;
    u.autonumber = o.rows;
    std::vector<uint32_t> owned = rows.page_numbers();
    auto m = place(owned);
    if (!m.ok()) return Fail(m.error());
    u.owned_map = m.value();
    std::vector<uint32_t> room = rows.PagesWithRoom(200);
    m = place(room);
    if (!m.ok()) return Fail(m.error());
    u.free_map = m.value();
    for (const BuiltIndex& b : built.value()) {
      m = place(b.pages);
      if (!m.ok()) return Fail(m.error());
      u.indexes.push_back({m.value(), b.root_page, 0, static_cast<uint32_t>(b.distinct_keys)});
    }
    std::vector<LongValueColumnPages> lv = long_values.Columns();
    static const std::vector<uint32_t> kNone;
    m = place(lv.empty() ? kNone : lv[0].pages);
    if (!m.ok()) return Fail(m.error());
    TableDefUpdate::LongValue lvu;
    lvu.owned_map = m.value();
    u.long_values.push_back(lvu);
    auto out = RewriteTableDef(def.value(), L, u);
    if (!out.ok()) return Fail(out.error());
    if (out.value().size() > L.page_size) {
      return Fail(Error(ErrorCode::kInvalidArgument, "table definition longer than a page"));
    }
    auto pages = SplitTableDef(out.value(), {page}, L);
    if (Status st = sink.WritePage(page, pages[0]); !st.ok()) return Fail(st.error());
    live_total += live;
    std::fprintf(stderr, "\r%s: %u live rows", name, live);
  }

  // The catalog: itself, the Tables container and every table.
  {
    const std::vector<Column> cat = {
        {0x04, 0, 0, 0x13, 0, 4, "Id"},     {0x04, 1, 0, 0x13, 4, 4, "ParentId"},
        {0x0A, 2, 0, 0x12, 0, 510, "Name"}, {0x03, 3, 0, 0x13, 8, 2, "Type"},
        {0x04, 4, 0, 0x13, 10, 4, "Flags"}, {0x0B, 5, 1, 0x12, 0, 0, "LvProp"}};
    Bytes raw = TableDefinition('S', 6, 2, cat, {}, {5});
    TextCodec text(JetVersion::kJet4, 1252);
    auto def = DecodeTableDef(raw, L, text, catalog_page);
    if (!def.ok()) return Fail(def.error());
    DataPageBuilder rows(sink, catalog_page);
    auto add = [&](uint32_t id, uint32_t parent, const std::string& n, uint16_t type,
                   uint32_t flags) -> Status {
      RowParts p;
      p.column_count = 6;
      p.fixed.assign(14, 0);
      std::memcpy(p.fixed.data(), &id, 4);
      std::memcpy(p.fixed.data() + 4, &parent, 4);
      std::memcpy(p.fixed.data() + 8, &type, 2);
      std::memcpy(p.fixed.data() + 10, &flags, 4);
      p.vars.push_back(Ucs2(n));
      p.vars.push_back({});  // LvProp: no properties
      p.null_mask = {0x1F};
      auto row = EncodeRow(L, p);
      if (!row.ok()) return row.error();
      auto where = rows.Add(row.value());
      if (!where.ok()) return where.error();
      return Status::Ok();
    };
    uint32_t count = 0;
    Status st = add(0x0F000001u, 0x0F000000u, "Tables", 3, 0x80000000u);
    ++count;
    if (st.ok()) st = add(catalog_page, 0x0F000001u, "MSysObjects", 1, 0x80000000u), ++count;
    for (uint32_t t = 0; st.ok() && t < o.tables; ++t) {
      st = add(table_pages[t], 0x0F000001u, table_names[t], 1, 0);
      ++count;
    }
    if (st.ok()) st = rows.Finish();
    if (!st.ok()) return Fail(st.error());
    TableDefUpdate u;
    u.num_rows = count;
    auto owned = BuildUsageMap(sink, rows.page_numbers());
    if (!owned.ok()) return Fail(owned.error());
    auto where = maps.Add(owned.value());
    if (!where.ok()) return Fail(where.error());
    u.owned_map = where.value();
    auto free_map = BuildUsageMap(sink, std::vector<uint32_t>{});
    if (!free_map.ok()) return Fail(free_map.error());
    where = maps.Add(free_map.value());
    if (!where.ok()) return Fail(where.error());
    u.free_map = where.value();
    auto lv_map = BuildUsageMap(sink, std::vector<uint32_t>{});
    if (!lv_map.ok()) return Fail(lv_map.error());
    where = maps.Add(lv_map.value());
    if (!where.ok()) return Fail(where.error());
    u.long_values.push_back({where.value(), {}});
    auto out = RewriteTableDef(def.value(), L, u);
    if (!out.ok()) return Fail(out.error());
    auto pages = SplitTableDef(out.value(), {catalog_page}, L);
    if (Status s = sink.WritePage(catalog_page, pages[0]); !s.ok()) return Fail(s.error());
  }
  if (Status st = maps.Finish(); !st.ok()) return Fail(st.error());

  // Page 1: the global map (nothing free) and the empty second map.
  Bytes second = EmptyUsageMap(L);
  const uint32_t max_inline =
      L.page_size - L.data_header_size - 4 - static_cast<uint32_t>(second.size());
  auto global = BuildGlobalUsageMap(sink, file.value()->allocated(), max_inline);
  if (!global.ok()) return Fail(global.error());
  ByteSpan page1_rows[2] = {global.value(), second};
  auto page1 = EncodeDataPage(L, 1, page1_rows);
  if (!page1.ok()) return Fail(page1.error());
  if (Status st = sink.WritePage(1, page1.value()); !st.ok()) return Fail(st.error());
  // Page 0 is the template's, with the database key put in under the mask.
  Bytes page0 = db.header().unmasked;
  if (page0.size() != L.page_size) {
    return Fail(Error(ErrorCode::kInvalidArgument, "the template's first page is cut short"));
  }
  Put32(page0, 0x3E, database_key);
  ApplyHeaderMask(page0.data(), page0.size(), JetVersion::kJet4);
  if (Status st = sink.WritePage(0, page0); !st.ok()) return Fail(st.error());
  if (Status st = file.value()->Finish(); !st.ok()) return Fail(st.error());
  std::fprintf(stderr, "\n");
  std::printf("%s: %u pages, %u tables, %llu live rows, %llu deleted rows\n", o.out.c_str(),
              file.value()->allocated(), o.tables, static_cast<unsigned long long>(live_total),
              static_cast<unsigned long long>(deleted_total));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto number = [&](uint32_t& out) {
      if (i + 1 >= argc) return false;
      out = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
      return true;
    };
    if (a == "--shape") {
      const std::string shape = i + 1 < argc ? argv[++i] : "";
      if (shape != "memo" && shape != "rows") {
        std::fprintf(stderr, "--shape takes memo or rows\n");
        return 2;
      }
      o.rows_shape = shape == "rows";
      continue;
    }
    if (a == "--encoded") {
      o.encoded = true;
      continue;
    }
    if (a == "--foreign-text") {
      o.foreign_text = true;
      continue;
    }
    if (a == "--tables" ? !number(o.tables)
        : a == "--rows" ? !number(o.rows)
        : a == "--seed" ? !number(o.seed)
                        : (positional.push_back(a), false)) {
      std::fprintf(stderr, "%s needs a number\n", a.c_str());
      return 2;
    }
  }
  if (positional.size() != 2 || o.tables == 0 || o.tables > 1000) {
    std::fprintf(stderr,
                 "usage: quorlen-bench-db TEMPLATE.mdb OUT.mdb [--tables N (1-1000)] [--rows N] "
                 "[--seed N] [--shape memo|rows] [--encoded] [--foreign-text]\n");
    return 2;
  }
  o.template_path = positional[0];
  o.out = positional[1];
  return Run(o);
}
