// Repair of a catalog whose rows lie about their ids: a table row whose id
// is no page of the file, and a row of another kind that took a table's id.
// Neither stops the repair; the table keeps its data, and its name where a
// row still gives it.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "compact_support.h"
#include "engine/check.h"
#include "engine/repair.h"
#include "reader/database.h"
#include "salvage_damage.h"

namespace engine {
namespace {

using compact_test::ReadFile;
using compact_test::ScratchDir;
using compact_test::WriteFile;
using salvage_test::Bytes;

const std::filesystem::path kReal = std::filesystem::path(QUORLEN_CORPUS_DIR) / "real";

// The file offset of the Id of the catalog row of `object`.
std::optional<size_t> CatalogIdOffset(const Database& db, const CatalogObject& object) {
  auto catalog = db.ReadTableDef(2);
  if (!catalog.ok()) return std::nullopt;
  const ColumnDef* id = catalog->FindColumn("Id");
  if (id == nullptr) return std::nullopt;
  const size_t fixed_start = db.version() == JetVersion::kJet4 ? 2 : 1;
  std::optional<size_t> at;
  (void)db.ScanRows(*catalog, [&](const RowRef& row) {
    if (row.location != object.row) return true;
    auto page = db.pager().Page(row.data.page);
    if (!page.ok()) return false;
    at = static_cast<size_t>(row.data.page) * db.layout().page_size +
         static_cast<size_t>(row.bytes.data() - page.value().data()) + fixed_start +
         id->fixed_offset;
    return false;
  });
  return at;
}

struct Case {
  std::string file;
  std::string table;      // a table whose catalog row is damaged
  std::string container;  // a row of another kind
};
void PrintTo(const Case& c, std::ostream* os) {
  *os << c.file;
}

class CatalogIds : public ::testing::TestWithParam<Case> {
 protected:
  // The intact file, and the open database it is; skipped without a corpus.
  void SetUp() override {
    path_ = (kReal / GetParam().file).string();
    intact_ = ReadFile(path_);
    if (intact_.empty()) GTEST_SKIP() << "no corpus at " << kReal;
    auto db = Database::Open(path_);
    ASSERT_TRUE(db.ok()) << db.error().ToString();
    db_ = std::move(db.value());
    table_ = db_->FindTable(GetParam().table);
    ASSERT_NE(table_, nullptr);
    for (const CatalogObject& o : db_->objects()) {
      if (o.name == GetParam().container && !o.is_table()) container_ = &o;
    }
    ASSERT_NE(container_, nullptr);
  }
  void Put(Bytes& file, const CatalogObject& object, uint32_t id) {
    auto at = CatalogIdOffset(*db_, object);
    ASSERT_TRUE(at);
    for (int i = 0; i < 4; ++i) file[*at + i] = static_cast<uint8_t>(id >> (8 * i));
  }
  // Repairs `copy`; the result passes check and lists its losses.
  Result<RepairResult> RepairCopy(const Bytes& copy) {
    const std::string src = scratch_ / "damaged.mdb";
    WriteFile(src, copy);
    auto r = RepairDatabase(src, repaired());
    if (!r.ok()) return r;
    auto report = CheckDatabase(repaired(), CheckOptions{});
    EXPECT_TRUE(report.ok());
    if (report.ok()) {
      for (const auto& p : report->problems) {
        EXPECT_NE(p.severity, Severity::kDamage) << p.code << ": " << p.message;
      }
    }
    if (r->lost_anything()) {
      auto rows = salvage_test::ErrorTableRows(repaired(), "", "MSysCompactError", nullptr);
      if (rows) {
        EXPECT_EQ(salvage_test::ErrorTableMismatch(*rows, r->losses), "");
      } else {
        ADD_FAILURE() << "no error table";
      }
    }
    return r;
  }
  std::string repaired() const { return scratch_ / "repaired.mdb"; }

  std::string path_;
  Bytes intact_;
  std::unique_ptr<Database> db_;
  const CatalogObject* table_ = nullptr;
  const CatalogObject* container_ = nullptr;
  ScratchDir scratch_;
};

TEST_P(CatalogIds, TableRowWithFlagBitsInItsIdLeavesAndTheDataStays) {
  Bytes copy = intact_;
  const uint32_t page = table_->table_page();
  Put(copy, *table_, 0x80000000u | page);
  auto r = RepairCopy(copy);
  ASSERT_TRUE(r.ok()) << r.error().ToString();
  bool told = false;
  for (const LossRecord& l : r->losses) {
    // The id may also be another object's: the row is then the duplicate.
    told |=
        (l.kind == LossKind::kCatalogRow && l.reason.find(GetParam().table) != std::string::npos &&
         l.reason.find("no page of the file") != std::string::npos) ||
        (l.kind == LossKind::kDuplicateRow && l.table == 2);
  }
  EXPECT_TRUE(told);
  auto out = Database::Open(repaired());
  ASSERT_TRUE(out.ok());
  EXPECT_EQ((*out)->FindTable(GetParam().table), nullptr);
  EXPECT_NE((*out)->FindTable("Recovered table " + std::to_string(page)), nullptr);
}

TEST_P(CatalogIds, RowOfAnotherKindHoldingATablesIdLosesItToTheTable) {
  Bytes copy = intact_;
  Put(copy, *container_, static_cast<uint32_t>(table_->id));
  auto r = RepairCopy(copy);
  ASSERT_TRUE(r.ok()) << r.error().ToString();
  bool told = false;
  for (const LossRecord& l : r->losses) {
    EXPECT_NE(l.kind, LossKind::kTableName) << l.reason;
    told |= l.kind == LossKind::kDuplicateRow && l.table == 2;
  }
  EXPECT_TRUE(told);
  auto out = Database::Open(repaired());
  ASSERT_TRUE(out.ok());
  const CatalogObject* kept = (*out)->FindTable(GetParam().table);
  ASSERT_NE(kept, nullptr);
}

// The catalog is the table at page 2 whatever its own row calls it: a name
// changed by a flipped bit still has its ids renumbered with the tables.
TEST_P(CatalogIds, CatalogRowNamedOtherwiseStillRenumbersTheIds) {
  const CatalogObject* catalog = nullptr;
  for (const CatalogObject& o : db_->objects()) {
    if (o.id == 2) catalog = &o;
  }
  ASSERT_NE(catalog, nullptr);
  auto def = db_->ReadTableDef(2);
  ASSERT_TRUE(def.ok());
  Bytes copy = intact_;
  // The name as stored: one byte a letter, or two (text not compressed).
  std::string wide;
  for (char c : std::string("MSysObjects")) wide += std::string{c, '\0'};
  bool renamed = false;
  ASSERT_TRUE(db_->ScanRows(*def,
                            [&](const RowRef& row) {
                              if (row.location != catalog->row) return true;
                              auto page = db_->pager().Page(row.data.page);
                              if (!page.ok()) return false;
                              for (const std::string& name : {std::string("MSysObjects"), wide}) {
                                const auto at = std::search(row.bytes.begin(), row.bytes.end(),
                                                            name.begin(), name.end());
                                if (at == row.bytes.end()) continue;
                                const size_t offset =
                                    static_cast<size_t>(row.data.page) * db_->layout().page_size +
                                    static_cast<size_t>(&*at - page.value().data());
                                copy[offset + 7 * (name.size() / 11)] = 'x';  // "MSysObjxcts"
                                renamed = true;
                                break;
                              }
                              return false;
                            })
                  .ok());
  ASSERT_TRUE(renamed);
  auto r = RepairCopy(copy);
  ASSERT_TRUE(r.ok()) << r.error().ToString();
  auto out = Database::Open(repaired());
  ASSERT_TRUE(out.ok());
  EXPECT_NE((*out)->FindTable("MSysObjxcts"), nullptr);
  ASSERT_NE((*out)->FindTable(GetParam().table), nullptr);
  EXPECT_TRUE((*out)->ReadTableDef((*out)->FindTable(GetParam().table)->table_page()).ok());
}

INSTANTIATE_TEST_SUITE_P(
    Corpus, CatalogIds,
    ::testing::Values(Case{"jet3/spannm+ucanaccess__src_test_resources_testdbs_charsetGBK.mdb",
                           "MSysModules", "Scripts"},
                      Case{"jet4/xiaoyustudio181+CSharp__Northwind.mdb", "MSysACEs",
                           "Relationships"}),
    [](const ::testing::TestParamInfo<Case>& p) { return p.index == 0 ? "Jet3" : "Jet4"; });

}  // namespace
}  // namespace engine

namespace engine {
namespace {

// Bits set in a table's page map bring in a stale page of the table, one
// the file's own map marks free: its old rows do not come back.
TEST(SalvageMap, StalePageListedByASetBitIsNotTaken) {
  const Bytes intact =
      ReadFile((kReal / "jet4/redducks100+vechime-git-2017__4b8a8b59_Baza.mdb").string());
  if (intact.empty()) GTEST_SKIP() << "no corpus at " << kReal;
  auto facts = salvage_test::Facts(intact, "");
  ASSERT_TRUE(facts);
  Bytes copy = intact;
  auto damage =
      salvage_test::Apply(copy, *facts, salvage_test::DamageClass::kMapBitsSet, 0x5A17A9E + 458);
  ASSERT_FALSE(damage.what.empty());
  auto score = salvage_test::Evaluate(copy, *facts, damage, "");
  EXPECT_EQ(score.invented, 0u);
  EXPECT_EQ(score.recovered, score.untouched);
}

}  // namespace
}  // namespace engine

namespace engine {
namespace {

// A flipped bit turns a primary key into another row's: the row whose key
// the index holds at its place keeps it, the changed one is the duplicate.
TEST(SalvageKeys, RowWhoseKeyWasChangedIsTheDuplicateNotTheIntactOne) {
  const Bytes intact =
      ReadFile((kReal / "jet4/PhantomPhr3ak+WWRK__d02fc61e_WWRK_Adressen.mdb").string());
  if (intact.empty()) GTEST_SKIP() << "no corpus at " << kReal;
  auto facts = salvage_test::Facts(intact, "");
  ASSERT_TRUE(facts);
  Bytes copy = intact;
  auto damage =
      salvage_test::Apply(copy, *facts, salvage_test::DamageClass::kValueUnderIndex, 94469211);
  ASSERT_FALSE(damage.what.empty());
  auto score = salvage_test::Evaluate(copy, *facts, damage, "");
  EXPECT_EQ(score.invented, 0u);
  EXPECT_EQ(score.recovered, score.untouched);
  ScratchDir scratch;
  const std::string src = scratch / "damaged.mdb", dst = scratch / "repaired.mdb";
  WriteFile(src, copy);
  auto r = RepairDatabase(src, dst);
  ASSERT_TRUE(r.ok()) << r.error().ToString();
  size_t duplicates = 0;
  for (const LossRecord& l : r->losses) duplicates += l.kind == LossKind::kDuplicateRow;
  EXPECT_EQ(duplicates, 1u);
}

}  // namespace
}  // namespace engine
