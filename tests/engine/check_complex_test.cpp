// The checker's rules for ACE complex columns, each on a copy of a corpus
// file damaged in one place, and the ACE corpus, which breaks none of them.
// Also the compaction of a file whose MSysACEs names deleted objects.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include "compact_support.h"
#include "corpus_files.h"
#include "engine/check.h"
#include "engine/compact.h"
#include "format/row.h"
#include "reader/database.h"

namespace engine {
namespace {

namespace fs = std::filesystem;
using compact_test::ReadFile;
using compact_test::ScratchDir;
using compact_test::WriteFile;

const char* const kComplexCodes[] = {"complex-column-invalid", "complex-item-orphan",
                                     "complex-id-shared", "complex-autonumber-below-max"};

const fs::path kComplexFile = fs::path(QUORLEN_CORPUS_DIR) / "ace" / "complexDataTestV2010.accdb";

size_t Count(const CheckReport& r, const std::string& code) {
  auto it = r.per_code.find(code);
  return it == r.per_code.end() ? 0 : it->second;
}

void Put32(std::vector<uint8_t>& file, size_t at, uint32_t v) {
  ASSERT_LE(at + 4, file.size());
  for (int i = 0; i < 4; ++i) file[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// The file offset of `column` in row `skip` of `table` of the intact file.
size_t ValueAt(const std::vector<uint8_t>& file, const Database& db, const std::string& table,
               const std::string& column, size_t skip = 0) {
  const CatalogObject* t = db.FindTable(table);
  if (t == nullptr) {
    ADD_FAILURE() << "no table " << table;
    return 0;
  }
  auto def = db.ReadTableDef(t->table_page());
  EXPECT_TRUE(def.ok());
  const ColumnDef* c = def->FindColumn(column);
  EXPECT_NE(c, nullptr) << column;
  if (c == nullptr) return 0;
  // Where the decoder finds the value, whether it is stored fixed or not.
  const size_t pos = static_cast<size_t>(c - def->columns.data());
  std::optional<size_t> at;
  RowDecoder decoder(def.value(), db.layout());
  Status st = db.ScanRows(def.value(), [&](const RowRef& row) {
    if (row.data.page != row.location.page) return true;  // an overflow row
    if (skip-- != 0) return true;
    auto page = db.pager().Page(row.data.page);
    if (!page.ok() || !decoder.Decode(row.bytes).ok()) return false;
    const FieldRef& f = decoder.fields()[pos];
    if (f.present && f.bytes.size() == 4) {
      at = static_cast<size_t>(row.data.page) * db.page_size() +
           static_cast<size_t>(f.bytes.data() - page.value().data());
    }
    return false;
  });
  EXPECT_TRUE(st.ok() && at.has_value() && *at + 4 <= file.size()) << table << "." << column;
  return at.value_or(0);
}

// The name of the flat table of `column` of Table1.
std::string FlatTable(const Database& db, const std::string& column) {
  for (const CatalogObject* t : db.tables()) {
    if (t->name.rfind("f_", 0) == 0 && t->name.size() > column.size() &&
        t->name.compare(t->name.size() - column.size(), column.size(), column) == 0) {
      return t->name;
    }
  }
  ADD_FAILURE() << "no flat table for " << column;
  return "";
}

// Checks a copy of the complex-column test file damaged by `damage` and
// returns the report.
CheckReport CheckDamaged(
    const std::function<void(std::vector<uint8_t>&, const Database&)>& damage) {
  std::vector<uint8_t> file = ReadFile(kComplexFile.string());
  auto db = Database::Open(kComplexFile.string());
  EXPECT_TRUE(db.ok()) << db.error().ToString();
  if (!db.ok()) return {};
  damage(file, *db.value());
  ScratchDir dir;
  const std::string path = dir / "damaged.accdb";
  WriteFile(path, file);
  auto report = CheckDatabase(path, {});
  EXPECT_TRUE(report.ok()) << report.error().ToString();
  return report.ok() ? report.value() : CheckReport{};
}

TEST(CheckComplex, EachRuleOnADamagedCopy) {
  if (!fs::exists(kComplexFile)) GTEST_SKIP() << "no corpus";
  {
    SCOPED_TRACE("an item naming a parent no row holds");
    CheckReport r = CheckDamaged([](std::vector<uint8_t>& file, const Database& db) {
      const std::string flat = FlatTable(db, "multi-value-data");
      Put32(file, ValueAt(file, db, flat, "_multi-value-data"), 999);
    });
    EXPECT_EQ(Count(r, "complex-item-orphan"), 1u) << FormatCheckReport(r);
    EXPECT_GT(r.damage_count(), 0u);
  }
  {
    SCOPED_TRACE("two rows with one id");
    CheckReport r = CheckDamaged([](std::vector<uint8_t>& file, const Database& db) {
      const size_t first = ValueAt(file, db, "Table1", "multi-value-data", 0);
      const size_t second = ValueAt(file, db, "Table1", "multi-value-data", 1);
      std::copy_n(file.begin() + static_cast<std::ptrdiff_t>(first), 4,
                  file.begin() + static_cast<std::ptrdiff_t>(second));
    });
    EXPECT_EQ(Count(r, "complex-id-shared"), 1u) << FormatCheckReport(r);
  }
  {
    SCOPED_TRACE("the last complex id below one in use");
    CheckReport r = CheckDamaged([](std::vector<uint8_t>& file, const Database& db) {
      const size_t page = db.FindTable("Table1")->table_page();
      Put32(file, page * db.page_size() + 0x1C, 1);
    });
    EXPECT_EQ(Count(r, "complex-autonumber-below-max"), 1u) << FormatCheckReport(r);
  }
  for (const char* field : {"ConceptualTableID", "FlatTableID", "ComplexTypeObjectID"}) {
    SCOPED_TRACE(std::string("MSysComplexColumns.") + field + " naming no table");
    CheckReport r = CheckDamaged([field](std::vector<uint8_t>& file, const Database& db) {
      Put32(file, ValueAt(file, db, "MSysComplexColumns", field), 0x00ABCDEF);
    });
    EXPECT_EQ(Count(r, "complex-column-invalid"), 1u) << FormatCheckReport(r);
  }
  {
    SCOPED_TRACE("MSysComplexColumns naming a column the table does not have");
    CheckReport r = CheckDamaged([](std::vector<uint8_t>& file, const Database& db) {
      // The second row's table becomes the first row's: its column is not there.
      const size_t first = ValueAt(file, db, "MSysComplexColumns", "ConceptualTableID", 0);
      for (size_t skip = 1; skip < 4; ++skip) {
        const size_t other = ValueAt(file, db, "MSysComplexColumns", "ConceptualTableID", skip);
        if (!std::equal(file.begin() + static_cast<std::ptrdiff_t>(first),
                        file.begin() + static_cast<std::ptrdiff_t>(first + 4),
                        file.begin() + static_cast<std::ptrdiff_t>(other))) {
          std::copy_n(file.begin() + static_cast<std::ptrdiff_t>(other), 4,
                      file.begin() + static_cast<std::ptrdiff_t>(first));
          return;
        }
      }
      ADD_FAILURE() << "every complex column belongs to one table";
    });
    EXPECT_EQ(Count(r, "complex-column-invalid"), 1u) << FormatCheckReport(r);
  }
}

TEST(CheckComplex, TheAceCorpusBreaksNoRule) {
  const std::vector<corpus::File> files = corpus::AceFiles();
  if (files.empty()) GTEST_SKIP() << "no corpus";
  size_t with_complex = 0;
  for (const corpus::File& f : files) {
    SCOPED_TRACE(f.name);
    auto report = CheckDatabase(f.path.string(), {.password = f.password});
    if (!report.ok()) continue;  // files the checker refuses are tested elsewhere
    for (const char* code : kComplexCodes) {
      EXPECT_EQ(Count(report.value(), code), 0u) << code << "\n"
                                                 << FormatCheckReport(report.value());
    }
    auto db = Database::Open(f.path.string(), {.password = f.password});
    with_complex += db.ok() && db.value()->FindTable("MSysComplexColumns") != nullptr;
  }
  EXPECT_GT(with_complex, 10u);
}

// MSysACEs rows of an object deleted since are a leftover the copy drops,
// as Access's own compaction does; the rest of MSysACEs is kept.
TEST(CheckComplex, CompactionDropsPermissionsOfDeletedObjects) {
  const fs::path src =
      fs::path(QUORLEN_CORPUS_DIR) / "real/ace/JittiponPannak+RSU__RSU-CSC481_src_Database.accdb";
  if (!fs::exists(src)) GTEST_SKIP() << "no corpus";
  auto before = CheckDatabase(src.string(), {});
  ASSERT_TRUE(before.ok());
  ASSERT_GT(Count(before.value(), "catalog-reference-invalid"), 0u);
  ScratchDir dir;
  const std::string copy = dir / "copy.accdb";
  ASSERT_TRUE(CompactDatabase(src.string(), copy).ok());
  auto after = CheckDatabase(copy, {});
  ASSERT_TRUE(after.ok());
  EXPECT_EQ(after->total_problems(), 0u) << FormatCheckReport(after.value());
  auto aces = [](const std::string& path) {
    const nlohmann::json dump = compact_test::DumpFile(path);
    for (const auto& t : dump["tables"]) {
      if (t["name"] == "MSysACEs") return t["rows"].size();
    }
    return size_t{0};
  };
  EXPECT_EQ(aces(copy) + Count(before.value(), "catalog-reference-invalid"), aces(src.string()));
}

}  // namespace
}  // namespace engine
