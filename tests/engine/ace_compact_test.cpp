// Compaction of ACE files: what the copy keeps that Jet files do not have
// (the engine name and version byte of page 0, the links of complex columns
// to their flat and template tables, calculated values held as long values).
// The corpus-wide comparison of dumps is in compact_corpus_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "compact_support.h"
#include "engine/check.h"
#include "engine/compact.h"
#include "format/long_value.h"
#include "format/row.h"

namespace engine {
namespace {

namespace fs = std::filesystem;
using compact_test::DumpFile;
using compact_test::ReadFile;
using compact_test::ScratchDir;
using compact_test::WriteFile;

fs::path AceFile(const std::string& name) {
  return fs::path(QUORLEN_CORPUS_DIR) / "ace" / name;
}

#define SKIP_WITHOUT(path) \
  if (!fs::exists(path)) GTEST_SKIP() << "corpus file not found: " << (path)

// The rows of a dumped table as objects keyed by column name.
std::vector<nlohmann::json> Rows(const nlohmann::json& dump, const std::string& table) {
  std::vector<nlohmann::json> out;
  for (const auto& t : dump["tables"]) {
    if (t["name"] != table) continue;
    for (const auto& row : t["rows"]) {
      nlohmann::json named;
      for (size_t i = 0; i < t["columns"].size(); ++i) named[t["columns"][i]["name"]] = row[i];
      out.push_back(named);
    }
  }
  return out;
}

TEST(AceCompact, CopyKeepsEngineNameAndVersionOfEachRelease) {
  // Version bytes 2 (2007), 3 (2010), 5 (2016) and 6 (2019).
  for (const char* name :
       {"testV2007.accdb", "testV2010.accdb", "bigintV2016.accdb", "extDateTestV2019.accdb"}) {
    SCOPED_TRACE(name);
    const fs::path source = AceFile(name);
    SKIP_WITHOUT(source);
    ScratchDir dir;
    const std::string copy = dir / "copy.accdb";
    auto stats = CompactDatabase(source.string(), copy);
    ASSERT_TRUE(stats.ok()) << stats.error().ToString();
    const std::vector<uint8_t> before = ReadFile(source.string());
    const std::vector<uint8_t> after = ReadFile(copy);
    ASSERT_GE(after.size(), 4096u);
    EXPECT_EQ(std::memcmp(after.data() + 4, "Standard ACE DB", 15), 0);
    EXPECT_EQ(after[0x14], before[0x14]);
    auto reopened = Database::Open(copy);
    ASSERT_TRUE(reopened.ok()) << reopened.error().ToString();
    EXPECT_EQ(static_cast<int>(reopened.value()->header().format), before[0x14]);
    EXPECT_LT(after.size(), before.size());
  }
}

// Keys of BigInt and complex columns are signed integers as Long's are: the
// checker verifies every Access-written one from the values, and a
// compaction makes them all itself, reusing none from the source.
TEST(AceCompact, BigIntAndComplexKeysAreMadeFromValues) {
  for (const char* name : {"bigintV2016.accdb", "complexDataTestV2010.accdb"}) {
    SCOPED_TRACE(name);
    const fs::path source = AceFile(name);
    SKIP_WITHOUT(source);
    auto checked = CheckDatabase(source.string(), {});
    ASSERT_TRUE(checked.ok()) << checked.error().ToString();
    EXPECT_EQ(checked->damage_count(), 0u);
    EXPECT_EQ(checked->counts.keys_not_verifiable, 0u);
    ScratchDir dir;
    const std::string copy = dir / "copy.accdb";
    auto stats = CompactDatabase(source.string(), copy);
    ASSERT_TRUE(stats.ok()) << stats.error().ToString();
    EXPECT_EQ(stats->keys_reused, 0u);
  }
}

// Every complex column of the copy still finds its flat table, its template
// and its own table through MSysComplexColumns, under the copy's ids.
TEST(AceCompact, ComplexColumnsFollowTheirTablesToNewIds) {
  for (const char* name : {"complexDataTestV2007.accdb", "complexDataTestV2010.accdb"}) {
    SCOPED_TRACE(name);
    const fs::path source = AceFile(name);
    SKIP_WITHOUT(source);
    ScratchDir dir;
    const std::string copy = dir / "copy.accdb";
    ASSERT_TRUE(CompactDatabase(source.string(), copy).ok());
    const nlohmann::json before = DumpFile(source.string());
    const nlohmann::json after = DumpFile(copy);

    auto names_by_id = [](const nlohmann::json& dump) {
      std::map<int64_t, std::string> out;
      for (const auto& o : Rows(dump, "MSysObjects")) out[o["Id"].get<int64_t>()] = o["Name"];
      return out;
    };
    const auto old_names = names_by_id(before);
    const auto new_names = names_by_id(after);
    std::map<std::string, std::set<std::string>> complex_columns;  // table -> columns
    for (const auto& t : after["tables"]) {
      for (const auto& c : t["columns"]) {
        if (c["type"] == "complex") complex_columns[t["name"]].insert(c["name"]);
      }
    }
    const auto old_rows = Rows(before, "MSysComplexColumns");
    const auto new_rows = Rows(after, "MSysComplexColumns");
    ASSERT_EQ(old_rows.size(), new_rows.size());
    ASSERT_FALSE(new_rows.empty());
    size_t moved = 0;
    for (const auto& row : new_rows) {
      const std::string column = row["ColumnName"];
      SCOPED_TRACE(column);
      auto old_row = std::find_if(old_rows.begin(), old_rows.end(), [&](const nlohmann::json& r) {
        return r["ComplexID"] == row["ComplexID"];
      });
      ASSERT_NE(old_row, old_rows.end());
      for (const char* link : {"FlatTableID", "ConceptualTableID", "ComplexTypeObjectID"}) {
        const int64_t id = row[link].get<int64_t>();
        ASSERT_TRUE(new_names.count(id)) << link << " " << id << " names no object";
        EXPECT_EQ(new_names.at(id), old_names.at((*old_row)[link].get<int64_t>())) << link;
        if (id != (*old_row)[link].get<int64_t>()) ++moved;
      }
      const std::string owner = new_names.at(row["ConceptualTableID"].get<int64_t>());
      EXPECT_TRUE(complex_columns[owner].count(column)) << owner;
      EXPECT_EQ(new_names.at(row["FlatTableID"].get<int64_t>()).rfind("f_", 0), 0u);
      EXPECT_EQ(new_names.at(row["ComplexTypeObjectID"].get<int64_t>()).rfind("MSysComplexType", 0),
                0u);
    }
    // The corpus files are not compact: their tables do move.
    EXPECT_GT(moved, 0u);
  }
}

// A calculated text column without a length keeps its results as long
// values: the copy carries them over, and the checker follows them.
TEST(AceCompact, CalculatedLongValuesMoveWithTheirRows) {
  const fs::path source = AceFile("calcFieldTestV2010.accdb");
  SKIP_WITHOUT(source);
  ScratchDir dir;
  const std::string copy = dir / "copy.accdb";
  ASSERT_TRUE(CompactDatabase(source.string(), copy).ok());
  auto table1 = [](const nlohmann::json& dump) {
    for (const auto& t : dump["tables"]) {
      if (t["name"] == "Table1") return t;
    }
    return nlohmann::json();
  };
  const nlohmann::json copied = table1(DumpFile(copy));
  ASSERT_FALSE(copied.is_null());
  EXPECT_EQ(copied, table1(DumpFile(source.string())));

  // Point the first such value outside the file: the checker must say so.
  auto db = Database::Open(copy);
  ASSERT_TRUE(db.ok());
  const CatalogObject* table = db.value()->FindTable("Table1");
  ASSERT_NE(table, nullptr);
  auto def = db.value()->ReadTableDef(table->table_page());
  ASSERT_TRUE(def.ok());
  const ColumnDef* column = def.value().FindColumn("AllNames");
  ASSERT_NE(column, nullptr);
  ASSERT_TRUE(column->calculated_long_value());
  const size_t pos = static_cast<size_t>(column - def.value().columns.data());
  RowDecoder decoder(def.value(), db.value()->layout());
  uint32_t page = 0;
  std::vector<uint8_t> field;
  ASSERT_TRUE(db.value()
                  ->ScanRows(def.value(),
                             [&](const RowRef& r) {
                               if (!decoder.Decode(r.bytes).ok()) return true;
                               const FieldRef& f = decoder.fields()[pos];
                               if (!f.present) return true;
                               auto h = DecodeLongValueHeader(f.bytes);
                               if (!h.ok() || h.value().kind == LongValueKind::kInline) return true;
                               page = r.data.page;
                               field.assign(f.bytes.begin(), f.bytes.begin() + 12);
                               return false;
                             })
                  .ok());
  ASSERT_NE(page, 0u) << "no calculated value outside its row";
  db.value().reset();
  std::vector<uint8_t> bytes = ReadFile(copy);
  auto at = std::search(bytes.begin() + page * 4096, bytes.begin() + (page + 1) * 4096,
                        field.begin(), field.end());
  ASSERT_NE(at, bytes.begin() + (page + 1) * 4096);
  at[5] = at[6] = at[7] = 0x7F;  // page 0x7F7F7F of the pointer
  const std::string damaged = dir / "damaged.accdb";
  WriteFile(damaged, bytes);
  auto report = CheckDatabase(damaged);
  ASSERT_TRUE(report.ok()) << report.error().ToString();
  bool found = false;
  for (const CheckProblem& p : report.value().problems) {
    found = found ||
            (p.code == "lv-pointer-invalid" && p.message.find("AllNames") != std::string::npos);
  }
  EXPECT_TRUE(found);
}

// Encrypted ACE files stay refused, and nothing is written.
TEST(AceCompact, EncryptedFileIsRefusedAndNothingWritten) {
  const fs::path source = AceFile("db2007-enc.accdb");
  SKIP_WITHOUT(source);
  ScratchDir dir;
  const std::string copy = dir / "copy.accdb";
  auto stats = CompactDatabase(source.string(), copy);
  ASSERT_FALSE(stats.ok());
  EXPECT_EQ(stats.error().number(), 3031);
  EXPECT_FALSE(fs::exists(copy));
}

}  // namespace
}  // namespace engine
