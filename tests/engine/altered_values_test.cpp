// Rows whose values their index entries contradict: found by recomputing
// each entry's key, told apart (several indexes against a row: the row
// changed; one: either side may be damaged), and what each side of the tool
// does with them.
#include <gtest/gtest.h>

#include <map>
#include <tuple>

#include "check/altered_values.h"
#include "check/index_entries.h"
#include "compact_support.h"
#include "corpus_files.h"
#include "engine/check.h"
#include "engine/compact.h"
#include "engine/repair.h"
#include "keys/index_key.h"
#include "salvage_damage.h"

namespace engine {
namespace {

using compact_test::ReadFile;
using compact_test::ScratchDir;
using compact_test::WriteFile;

// The file offset of `column`'s fixed bytes in the first row of `table`.
std::optional<size_t> FixedValueOffset(const std::vector<uint8_t>& file, const std::string& table,
                                       const std::string& column) {
  auto db = Database::Open(FileSource::FromSpan(file));
  if (!db.ok()) return std::nullopt;
  for (const CatalogObject* t : db.value()->tables()) {
    if (t->name != table) continue;
    auto def = db.value()->ReadTableDef(t->table_page());
    const ColumnDef* c = def.ok() ? def.value().FindColumn(column) : nullptr;
    if (c == nullptr) return std::nullopt;
    return salvage_test::FixedValueOffset(file, def.value(), *c, *db.value());
  }
  return std::nullopt;
}

TEST(KeyValueText, ReadsTheValueBackFromFixedKeys) {
  struct Case {
    uint8_t type;
    std::vector<uint8_t> stored;
    const char* text;
  };
  const double day = 45000.5;
  std::vector<uint8_t> date(8);
  std::memcpy(date.data(), &day, 8);
  const Case cases[] = {
      {key_type::kLong, {0x2A, 0, 0, 0}, "42"},
      {key_type::kLong, {0xFE, 0xFF, 0xFF, 0xFF}, "-2"},
      {key_type::kInteger, {0x00, 0x80}, "-32768"},
      {key_type::kByte, {0xC8}, "200"},
      {key_type::kCurrency, {0x10, 0x27, 0, 0, 0, 0, 0, 0}, "1.0000"},
      {key_type::kDateTime, date, "2023-03-15 12:00:00"},
      {key_type::kGuid, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}, ""},
  };
  for (bool ascending : {true, false}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::to_string(c.type) + (ascending ? " asc" : " desc"));
      KeyColumn column;
      column.type = c.type;
      column.ascending = ascending;
      const KeyColumn columns[] = {column};
      const KeyValue values[] = {KeyValue::Bytes(c.stored)};
      EncodedKey key = EncodeIndexKey(columns, values);
      ASSERT_TRUE(key.ok()) << key.reason;
      std::string text = KeyValueText(columns, key.bytes);
      if (c.type == key_type::kGuid) {
        std::string guid;
        FormatGuid(ByteSpan(c.stored.data(), c.stored.size()), guid);
        EXPECT_EQ(text, guid);
      } else {
        EXPECT_EQ(text, c.text);
      }
      // Cut short or run long, the key determines nothing.
      EXPECT_EQ(KeyValueText(columns, std::span(key.bytes).first(key.bytes.size() - 1)), "");
      key.bytes.push_back(0);
      EXPECT_EQ(KeyValueText(columns, key.bytes), "");
    }
  }
  // Two columns, Yes/No then NULL; text keys determine nothing.
  KeyColumn yes_no, number, text;
  yes_no.type = key_type::kBoolean;
  number.type = key_type::kLong;
  text.type = key_type::kText;
  const KeyColumn pair[] = {yes_no, number};
  const KeyValue pair_values[] = {KeyValue::Bool(true), KeyValue::Null()};
  EXPECT_EQ(KeyValueText(pair, EncodeIndexKey(pair, pair_values).bytes), "true; NULL");
  const KeyColumn one_text[] = {text};
  EXPECT_EQ(KeyValueText(one_text, std::vector<uint8_t>{0x7F, 0x60, 0x01, 0x00}), "");
}

struct AlteredCase {
  std::string file, table, column;
  bool several_indexes;  // the column is in two or more indexes
};

TEST(AlteredRows, CheckCompactAndRepairOnAChangedValue) {
  const AlteredCase cases[] = {
      {"real/jet3/phamtgiang+sellView__Northwind.mdb", "Order Details", "OrderID", true},
      {"real/jet3/phamtgiang+sellView__Northwind.mdb", "Orders", "EmployeeID", false},
  };
  for (const AlteredCase& c : cases) {
    SCOPED_TRACE(c.table + "." + c.column);
    auto files = corpus::Named({c.file});
    if (files.empty()) GTEST_SKIP() << "corpus not found at " << QUORLEN_CORPUS_DIR;
    std::vector<uint8_t> bytes = ReadFile(files[0].path.string());
    auto at = FixedValueOffset(bytes, c.table, c.column);
    ASSERT_TRUE(at.has_value());
    ScratchDir dir;
    WriteFile(dir / "intact.mdb", bytes);
    bytes[*at] ^= 0x04;
    WriteFile(dir / "in.mdb", bytes);

    auto intact = Database::Open(dir / "intact.mdb");
    ASSERT_TRUE(intact.ok());
    auto none = FindAlteredRows(*intact.value());
    ASSERT_TRUE(none.ok());
    EXPECT_TRUE(none.value().empty());

    auto db = Database::Open(dir / "in.mdb");
    ASSERT_TRUE(db.ok());
    auto found = FindAlteredRows(*db.value());
    ASSERT_TRUE(found.ok()) << found.error().ToString();
    ASSERT_EQ(found.value().size(), 1u);
    const AlteredRow& row = found.value()[0];
    EXPECT_EQ(row.table_name, c.table);
    EXPECT_EQ(row.row_changed(), c.several_indexes);
    ASSERT_FALSE(row.index_values.empty());
    EXPECT_NE(row.index_values[0], "");  // a number: the index tells what it was
    EXPECT_NE(row.columns[0].find(c.column), std::string::npos);
    // A table the caller vouches for (the checker, having verified every
    // key of it) is not walked again.
    auto vouched = FindAlteredRows(*db.value(), AlteredScope::kEveryIndex, {row.table});
    ASSERT_TRUE(vouched.ok());
    EXPECT_TRUE(vouched.value().empty());

    auto report = CheckDatabase(dir / "in.mdb");
    ASSERT_TRUE(report.ok());
    EXPECT_GE(report->per_code.count("index-key-mismatch"), 1u);
    EXPECT_EQ(report->per_code.count("row-value-altered"), c.several_indexes ? 1u : 0u);

    auto compacted = CompactDatabase(dir / "in.mdb", dir / "c.mdb");
    if (c.several_indexes) {
      ASSERT_FALSE(compacted.ok());
      EXPECT_EQ(compacted.error().number(), 3049);
      EXPECT_NE(compacted.error().description().find("repair"), std::string::npos);
      EXPECT_FALSE(std::filesystem::exists(dir / "c.mdb"));
    } else {
      ASSERT_TRUE(compacted.ok()) << compacted.error().ToString();
      EXPECT_EQ(compacted->rows_one_index_disagrees, 1u);
      EXPECT_NE(compacted->first_disagreeing_row.find(c.table), std::string::npos);
    }

    auto repaired = RepairDatabase(dir / "in.mdb", dir / "r.mdb");
    ASSERT_TRUE(repaired.ok()) << repaired.error().ToString();
    size_t listed = 0;
    for (const LossRecord& l : repaired->losses) {
      if (l.kind != LossKind::kAlteredValue) continue;
      ++listed;
      EXPECT_EQ(l.table_name, c.table);
      EXPECT_NE(l.reason.find(row.index_values[0]), std::string::npos) << l.reason;
    }
    EXPECT_EQ(listed, 1u);
    EXPECT_EQ(repaired->counts.rows_lost, 0u);
    EXPECT_FALSE(repaired->error_table.empty());
    // The row is kept as stored and the copy's indexes follow it.
    auto copy = CheckDatabase(dir / "r.mdb");
    ASSERT_TRUE(copy.ok());
    EXPECT_EQ(copy->per_code.count("index-key-mismatch"), 0u);
  }
}

// The walk makes each row's keys once per table; an entry-by-entry walk
// (every entry's row decoded on its own) must find the same rows, indexes
// and values, with several tables and columns changed at once.
TEST(AlteredRows, AgreeWithTheEntryByEntryWalk) {
  auto files = corpus::Named({"real/jet3/phamtgiang+sellView__Northwind.mdb",
                              "real/jet4/OscarMaestre+PruebaAccess__Neptuno.mdb"});
  if (files.empty()) GTEST_SKIP() << "corpus not found at " << QUORLEN_CORPUS_DIR;
  for (const corpus::File& file : files) {
    SCOPED_TRACE(file.path.string());
    std::vector<uint8_t> bytes = ReadFile(file.path.string());
    size_t changed = 0;
    {
      const std::vector<uint8_t> intact = bytes;
      auto db = Database::Open(FileSource::FromSpan(intact));
      ASSERT_TRUE(db.ok());
      for (const CatalogObject* t : db.value()->tables()) {
        auto def = db.value()->ReadTableDef(t->table_page());
        ASSERT_TRUE(def.ok());
        if (def.value().physical_indexes.empty() || t->name.rfind("MSys", 0) == 0) continue;
        // The first row's every fixed column, and the second row's first.
        bool second_row = false;
        for (const ColumnDef& c : def.value().columns) {
          auto at = salvage_test::FixedValueOffset(intact, def.value(), c, *db.value());
          if (!at) continue;
          bytes[*at] ^= 0x02;
          ++changed;
          if (second_row) continue;
          second_row = true;
          if (auto next = salvage_test::FixedValueOffset(intact, def.value(), c, *db.value(), 1)) {
            bytes[*next] ^= 0x02;
          }
        }
      }
    }
    ASSERT_GT(changed, 2u);
    ScratchDir dir;
    WriteFile(dir / "in.mdb", bytes);
    auto db = Database::Open(dir / "in.mdb");
    ASSERT_TRUE(db.ok());

    // (table, page, row) -> what each contradicting entry's index holds.
    std::map<std::tuple<std::string, uint32_t, uint8_t>, std::vector<std::string>> expected;
    Status walked = ForEachIndexEntry(*db.value(), [&](const IndexEntryContext& e) {
      if (!e.row_found) return;
      EncodedKey key = EncodeIndexKey(e.columns, e.values);
      if (!key.ok() || key.bytes == e.entry.key) return;
      expected[{e.table_object.name, e.entry.row.page, e.entry.row.row}].push_back(
          KeyValueText(e.columns, e.entry.key));
    });
    ASSERT_TRUE(walked.ok()) << walked.error().ToString();
    ASSERT_FALSE(expected.empty());

    auto found = FindAlteredRows(*db.value());
    ASSERT_TRUE(found.ok()) << found.error().ToString();
    std::map<std::tuple<std::string, uint32_t, uint8_t>, std::vector<std::string>> got;
    for (const AlteredRow& r : found.value()) {
      EXPECT_EQ(r.indexes.size(), r.index_values.size());
      EXPECT_EQ(r.indexes.size(), r.columns.size());
      auto& values = got[{r.table_name, r.row.page, r.row.row}];
      EXPECT_TRUE(values.empty()) << "row listed twice: " << r.Describe();
      values = r.index_values;
    }
    EXPECT_EQ(got, expected);

    // The fixed-key scope finds a part of the same: every row it lists, with
    // no index the full walk does not.
    auto fixed = FindAlteredRows(*db.value(), AlteredScope::kFixedKeys);
    ASSERT_TRUE(fixed.ok());
    for (const AlteredRow& r : fixed.value()) {
      auto all = got.find({r.table_name, r.row.page, r.row.row});
      ASSERT_NE(all, got.end()) << r.Describe();
      EXPECT_LE(r.indexes.size(), all->second.size());
    }
  }
}

}  // namespace
}  // namespace engine
