// RepairDatabase end to end: an intact file repairs to the compaction's
// bytes; damaged files repair to a clean copy holding exactly the rows the
// tolerant reader kept, and the losses are listed.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <thread>

#include "compact_support.h"
#include "corpus_files.h"
#include "engine/check.h"
#include "engine/compact.h"
#include "engine/repair.h"
#include "repair_support.h"
#include "salvage_damage.h"
#include "small_db.h"

namespace engine {
namespace {

using compact_test::ReadFile;
using compact_test::ScratchDir;
using compact_test::WriteFile;
using jet_test::Bytes;
using jet_test::FileBuilder;

using repair_test::RowsOf;

// The damage codes `check` finds in a file.
std::set<std::string> DamageCodes(const std::string& path, const std::string& password = "") {
  CheckOptions options;
  options.password = password;
  auto report = CheckDatabase(path, options);
  EXPECT_TRUE(report.ok()) << report.error().ToString();
  std::set<std::string> codes;
  if (!report.ok()) return codes;
  for (const auto& p : report->problems) {
    if (p.severity == Severity::kDamage) codes.insert(p.code);
  }
  return codes;
}

// The repaired copy has no damage its intact source does not also have.
void ExpectClean(const std::string& copy, const std::set<std::string>& source_damage) {
  for (const std::string& problem : DamageCodes(copy)) {
    EXPECT_TRUE(source_damage.count(problem)) << problem;
  }
}

// The copy lists exactly the repair's losses in its error table, or has
// none when nothing was lost.
void ExpectErrorTable(const std::string& copy, const RepairResult& r,
                      const std::string& password = "") {
  std::string why;
  auto rows = salvage_test::ErrorTableRows(copy, password, "MSysCompactError", &why);
  if (!r.lost_anything()) {
    EXPECT_FALSE(rows) << "a copy without losses has an error table";
    EXPECT_EQ(r.error_table, "");
    return;
  }
  if (r.error_table.empty()) {
    // Only a catalog sort order without key codes leaves the table out.
    EXPECT_NE(r.error_table_note.find("has no key for its row"), std::string::npos)
        << r.error_table_note;
    EXPECT_FALSE(rows);
    return;
  }
  EXPECT_EQ(r.error_table, "MSysCompactError");
  ASSERT_TRUE(rows) << why;
  EXPECT_EQ(salvage_test::ErrorTableMismatch(*rows, r.losses), "");
}

class Repair : public ::testing::TestWithParam<JetVersion> {
 protected:
  JetVersion v() const { return GetParam(); }
  const Layout& L() const { return LayoutFor(v()); }
  std::string Write(const std::string& name, const Bytes& bytes) {
    std::string path = dir_ / name;
    WriteFile(path, bytes);
    return path;
  }
  Bytes Small(std::function<void(FileBuilder&)> tamper = {}) {
    jet_test::SmallDbOptions o;
    o.tamper = std::move(tamper);
    return jet_test::BuildSmallDb(v(), o);
  }
  uint8_t* RowAt(FileBuilder& f, uint32_t page, uint32_t row) const {
    uint8_t* p = f.page(page);
    uint32_t entry =
        p[L().data_header_size + 2 * row] | (p[L().data_header_size + 2 * row + 1] << 8);
    return p + (entry & kRowOffsetMask);
  }
  // Damage `check` finds in the intact small database itself.
  std::set<std::string> Baseline() {
    std::string path = Write("baseline.mdb", Small());
    return DamageCodes(path);
  }
  ScratchDir dir_;
};

INSTANTIATE_TEST_SUITE_P(BothVersions, Repair,
                         ::testing::Values(JetVersion::kJet3, JetVersion::kJet4),
                         [](const ::testing::TestParamInfo<JetVersion>& p) {
                           return p.param == JetVersion::kJet3 ? "Jet3" : "Jet4";
                         });

TEST_P(Repair, IntactFileRepairsToTheCompactionsBytes) {
  std::string source = Write("intact.mdb", Small());
  auto compacted = CompactDatabase(source, dir_ / "compacted.mdb");
  ASSERT_TRUE(compacted.ok()) << compacted.error().ToString();
  auto repaired = RepairDatabase(source, dir_ / "repaired.mdb");
  ASSERT_TRUE(repaired.ok()) << repaired.error().ToString();
  EXPECT_FALSE(repaired->lost_anything());
  EXPECT_TRUE(repaired->losses.empty());
  EXPECT_EQ(ReadFile(dir_ / "repaired.mdb"), ReadFile(dir_ / "compacted.mdb"));
  ExpectErrorTable(dir_ / "repaired.mdb", *repaired);
}

TEST_P(Repair, DamagedRowIsLeftOutAndListed) {
  std::string intact = Write("intact.mdb", Small());
  std::string source = Write("damaged.mdb", Small([&](FileBuilder& f) {
                               uint8_t* row = RowAt(f, 6, 4);
                               row[0] = 0;
                               if (v() == JetVersion::kJet4) row[1] = 0;
                             }));
  auto before = ReadFile(source);
  auto repaired = RepairDatabase(source, dir_ / "repaired.mdb");
  ASSERT_TRUE(repaired.ok()) << repaired.error().ToString();
  EXPECT_EQ(ReadFile(source), before);  // the source is only read
  EXPECT_TRUE(repaired->lost_anything());
  EXPECT_EQ(repaired->counts.rows_lost, 1u);
  auto rows = RowsOf(dir_ / "repaired.mdb");
  auto all = RowsOf(intact);
  ASSERT_EQ(rows["T"].size(), 2u);
  for (const auto& r : rows["T"]) EXPECT_EQ(all["T"].count(r), 1u);
  ExpectClean(dir_ / "repaired.mdb", Baseline());
  // The lost row is listed with its bytes, so it is not gone for good.
  ExpectErrorTable(dir_ / "repaired.mdb", *repaired);
  auto listed = salvage_test::ErrorTableRows(dir_ / "repaired.mdb", "", "MSysCompactError");
  ASSERT_TRUE(listed);
  ASSERT_EQ(listed->size(), 1u);
  EXPECT_EQ((*listed)[0].code, 3049);
  EXPECT_EQ((*listed)[0].table, "T");
  EXPECT_FALSE((*listed)[0].recid.empty());
  // It reads as a table Access made, with a catalog row of its own.
  auto db = Database::Open(dir_ / "repaired.mdb");
  ASSERT_TRUE(db.ok());
  const CatalogObject* table = (*db)->FindTable("MSysCompactError");
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(table->parent_id, static_cast<int32_t>(jet_test::kTablesContainer));
  EXPECT_EQ(table->flags, kFlagAccessSystem);
}

TEST_P(Repair, BrokenLongValueComesBackNull) {
  std::string source = Write(
      "damaged.mdb", Small([&](FileBuilder& f) { jet_test::Put32(RowAt(f, 7, 1), (7 << 8) | 9); }));
  auto repaired = RepairDatabase(source, dir_ / "repaired.mdb");
  ASSERT_TRUE(repaired.ok()) << repaired.error().ToString();
  EXPECT_EQ(repaired->counts.values_lost, 1u);
  // T's rows, the catalog's with the error table's row, and its one loss.
  EXPECT_EQ(repaired->stats.rows, 3u + 4u + 1u);
  auto db = Database::Open(dir_ / "repaired.mdb");
  ASSERT_TRUE(db.ok());
  auto def = (*db)->ReadTableDef((*db)->FindTable("T")->table_page());
  ASSERT_TRUE(def.ok());
  int nulls = 0;
  ASSERT_TRUE(ScanRowValues(**db, *def, [&](const RowValues& row) {
                const ColumnDef* notes = def->FindColumn("Notes");
                size_t k = static_cast<size_t>(notes - def->columns.data());
                if (!row.fields[k].present) ++nulls;
                return true;
              }).ok());
  EXPECT_EQ(nulls, 2);  // row 4 never had one; row 3's chain is broken
  ExpectClean(dir_ / "repaired.mdb", Baseline());
  ExpectErrorTable(dir_ / "repaired.mdb", *repaired);
}

TEST_P(Repair, TableWithoutItsCatalogRowComesBackUnderItsMadeUpName) {
  std::string intact = Write("intact.mdb", Small());
  std::string source = Write("damaged.mdb", Small([&](FileBuilder& f) {
                               uint8_t* row = RowAt(f, 4, 1);
                               row[0] = 0xEE;
                               if (v() == JetVersion::kJet4) row[1] = 0xEE;
                             }));
  auto repaired = RepairDatabase(source, dir_ / "repaired.mdb");
  ASSERT_TRUE(repaired.ok()) << repaired.error().ToString();
  auto rows = RowsOf(dir_ / "repaired.mdb");
  EXPECT_EQ(rows["Recovered table 5"], RowsOf(intact)["T"]);
  ExpectClean(dir_ / "repaired.mdb", Baseline());
  // The catalog row it gets is dated from the catalog, not the clock: the
  // same file repairs to the same bytes.
  auto again = RepairDatabase(source, dir_ / "again.mdb");
  ASSERT_TRUE(again.ok()) << again.error().ToString();
  EXPECT_EQ(ReadFile(dir_ / "repaired.mdb"), ReadFile(dir_ / "again.mdb"));
}

TEST_P(Repair, TableWhoseDefinitionIsLostIsListedAndTheRestCopied) {
  std::string source = Write(
      "damaged.mdb", Small([&](FileBuilder& f) { std::fill_n(f.page(5), L().page_size, 0); }));
  auto repaired = RepairDatabase(source, dir_ / "repaired.mdb");
  ASSERT_TRUE(repaired.ok()) << repaired.error().ToString();
  EXPECT_EQ(repaired->counts.tables_lost, 1u);
  auto db = Database::Open(dir_ / "repaired.mdb");
  ASSERT_TRUE(db.ok());
  EXPECT_EQ((*db)->FindTable("T"), nullptr);
  ExpectClean(dir_ / "repaired.mdb", Baseline());
  ExpectErrorTable(dir_ / "repaired.mdb", *repaired);
}

// A copy repaired before and damaged again: its error table keeps the rows
// of the first repair and gains those of the second.
TEST_P(Repair, FormerErrorTableKeepsItsRowsAndGainsTheNewOnes) {
  std::string source = Write("damaged.mdb", Small([&](FileBuilder& f) {
                               uint8_t* row = RowAt(f, 6, 4);
                               row[0] = 0;
                               if (v() == JetVersion::kJet4) row[1] = 0;
                             }));
  const std::string first = dir_ / "first.mdb";
  auto once = RepairDatabase(source, first);
  ASSERT_TRUE(once.ok()) << once.error().ToString();
  auto before = salvage_test::ErrorTableRows(first, "", "MSysCompactError");
  ASSERT_TRUE(before);
  ASSERT_EQ(before->size(), 1u);

  // Damage the first row of T in the repaired copy the same way.
  Bytes copy = ReadFile(first);
  {
    auto db = Database::Open(first);
    ASSERT_TRUE(db.ok());
    auto def = (*db)->ReadTableDef((*db)->FindTable("T")->table_page());
    ASSERT_TRUE(def.ok());
    std::optional<RowPointer> at;
    ASSERT_TRUE((*db)
                    ->ScanRows(*def,
                               [&](const RowRef& ref) {
                                 at = ref.data;
                                 return false;
                               })
                    .ok());
    ASSERT_TRUE(at);
    uint8_t* page = copy.data() + static_cast<size_t>(at->page) * L().page_size;
    uint32_t entry = page[L().data_header_size + 2 * at->row] |
                     (page[L().data_header_size + 2 * at->row + 1] << 8);
    uint8_t* row = page + (entry & kRowOffsetMask);
    row[0] = 0;
    if (v() == JetVersion::kJet4) row[1] = 0;
  }
  std::string again = Write("again.mdb", copy);
  auto twice = RepairDatabase(again, dir_ / "second.mdb");
  ASSERT_TRUE(twice.ok()) << twice.error().ToString();
  EXPECT_EQ(twice->counts.rows_lost, 1u);
  EXPECT_EQ(twice->error_table, "MSysCompactError");
  auto after = salvage_test::ErrorTableRows(dir_ / "second.mdb", "", "MSysCompactError");
  ASSERT_TRUE(after);
  ASSERT_EQ(after->size(), 2u);
  EXPECT_EQ((*after)[0].description, (*before)[0].description);
  EXPECT_EQ((*after)[0].recid, (*before)[0].recid);
  EXPECT_EQ(salvage_test::ErrorTableMismatch(*after, twice->losses), "");
  auto db = Database::Open(dir_ / "second.mdb");
  ASSERT_TRUE(db.ok());
  EXPECT_EQ((*db)->FindTable("MSysCompactError1"), nullptr);
  ExpectClean(dir_ / "second.mdb", Baseline());
}

// A table of the user's that happens to have the name is left as it is;
// the losses go to the first free name.
TEST_P(Repair, UsersTableOfTheSameNameIsLeftAlone) {
  auto named = [&](FileBuilder& f) {
    auto row = [&](uint32_t id, uint32_t parent, const std::string& name, uint16_t type,
                   uint32_t flags) {
      jet_test::RowSpec r;
      r.columns = 5;
      Bytes t16;
      jet_test::Append16(t16, type);
      r.fixed = jet_test::Fixed(
          {jet_test::Le32Bytes(id), jet_test::Le32Bytes(parent), t16, jet_test::Le32Bytes(flags)},
          14);
      r.vars = {jet_test::Text(v(), name)};
      r.present = {0, 1, 2, 3, 4};
      return jet_test::BuildRow(v(), r);
    };
    f.DataPage(4, 2,
               {row(2, jet_test::kTablesContainer, "MSysObjects", 1, 0x80000000u),
                row(5, jet_test::kTablesContainer, "MSysCompactError", 1, 0),
                row(jet_test::kTablesContainer, 0x0F000000, "Tables", 3, 0x80000000u)});
  };
  std::string intact = Write("intact.mdb", Small(named));
  std::string source = Write("damaged.mdb", Small([&](FileBuilder& f) {
                               named(f);
                               uint8_t* row = RowAt(f, 6, 4);
                               row[0] = 0;
                               if (v() == JetVersion::kJet4) row[1] = 0;
                             }));
  auto repaired = RepairDatabase(source, dir_ / "repaired.mdb");
  ASSERT_TRUE(repaired.ok()) << repaired.error().ToString();
  EXPECT_EQ(repaired->error_table, "MSysCompactError1");
  auto rows = RowsOf(dir_ / "repaired.mdb");
  auto all = RowsOf(intact);
  ASSERT_EQ(rows["MSysCompactError"].size(), 2u);
  for (const auto& r : rows["MSysCompactError"]) EXPECT_EQ(all["MSysCompactError"].count(r), 1u);
  auto listed = salvage_test::ErrorTableRows(dir_ / "repaired.mdb", "", "MSysCompactError1");
  ASSERT_TRUE(listed);
  EXPECT_EQ(salvage_test::ErrorTableMismatch(*listed, repaired->losses), "");
  ASSERT_EQ(listed->size(), 1u);
  EXPECT_EQ((*listed)[0].table, "MSysCompactError");
}

TEST_P(Repair, FileCutShortCountsTheRowsItLost) {
  Bytes intact = Small();
  std::string source = Write("cut.mdb", Bytes(intact.begin(), intact.begin() + 6 * L().page_size));
  auto repaired = RepairDatabase(source, dir_ / "repaired.mdb");
  ASSERT_TRUE(repaired.ok()) << repaired.error().ToString();
  EXPECT_TRUE(repaired->lost_anything());
  EXPECT_EQ(repaired->counts.rows_lost_estimated, 3u);
  EXPECT_GE(repaired->counts.rows_lost, 3u);
  auto db = Database::Open(dir_ / "repaired.mdb");
  ASSERT_TRUE(db.ok()) << db.error().ToString();
  ASSERT_NE((*db)->FindTable("T"), nullptr);
  EXPECT_TRUE(RowsOf(dir_ / "repaired.mdb")["T"].empty());
}

// Past the memory budget, the bytes of losses wait in a spill file and come
// back whole for the report.
TEST_P(Repair, LossBytesPastTheBudgetAreSpilledAndReadBack) {
  std::string source = Write("damaged.mdb", Small([&](FileBuilder& f) {
                               std::fill_n(f.page(5), L().page_size, 0);  // T's definition
                             }));
  auto in_memory = RepairDatabase(source, dir_ / "a.mdb");
  ASSERT_TRUE(in_memory.ok()) << in_memory.error().ToString();
  RepairOptions options;
  options.loss_bytes_in_memory = 0;
  auto spilled = RepairDatabase(source, dir_ / "b.mdb", options);
  ASSERT_TRUE(spilled.ok()) << spilled.error().ToString();
  // The error table lists the moved bytes too: both copies are the same.
  EXPECT_EQ(ReadFile(dir_ / "a.mdb"), ReadFile(dir_ / "b.mdb"));

  ASSERT_EQ(in_memory->losses.size(), spilled->losses.size());
  size_t with_bytes = 0;
  for (size_t i = 0; i < spilled->losses.size(); ++i) {
    const LossRecord& kept = in_memory->losses[i];
    const LossRecord& moved = spilled->losses[i];
    EXPECT_FALSE(kept.spilled);
    EXPECT_EQ(moved.reason, kept.reason);
    if (kept.raw.empty()) continue;
    ++with_bytes;
    EXPECT_TRUE(moved.spilled);
    EXPECT_TRUE(moved.raw.empty());
    std::vector<uint8_t> raw;
    std::vector<std::pair<std::string, std::vector<uint8_t>>> long_values;
    ASSERT_TRUE(spilled->LoadBytes(moved, raw, long_values).ok());
    EXPECT_EQ(raw, kept.raw);
    EXPECT_EQ(long_values, kept.long_values);
  }
  EXPECT_GE(with_bytes, 2u);  // the definition's page and T's data page

  // A record pointing past what the file holds is an error, not a read.
  LossRecord bad = spilled->losses.back();
  bad.spilled = true;
  bad.spill_offset = 1u << 30;
  std::vector<uint8_t> raw;
  std::vector<std::pair<std::string, std::vector<uint8_t>>> long_values;
  auto st = spilled->LoadBytes(bad, raw, long_values);
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().number(), 3043);
}

// A lost page 2 whose pages hold no catalog rows that fit leaves nothing to
// name the tables by: refused, the source untouched, nothing written.
TEST_P(Repair, LostCatalogDefinitionWithoutFittingRowsIsRefused) {
  std::string source = Write("damaged.mdb", Small([&](FileBuilder& f) {
                               std::fill_n(f.page(2), L().page_size, 0);
                               // The catalog's rows: every slot a run of 0xEE.
                               uint8_t* p = f.page(4);
                               std::fill(p + L().data_header_size + 8, p + L().page_size, 0xEE);
                             }));
  const Bytes before = ReadFile(source);
  auto repaired = RepairDatabase(source, dir_ / "repaired.mdb");
  ASSERT_FALSE(repaired.ok());
  EXPECT_EQ(repaired.error().number(), 3049);
  EXPECT_NE(repaired.error().description().find("page 2"), std::string::npos)
      << repaired.error().ToString();
  EXPECT_EQ(ReadFile(source), before);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "repaired.mdb"));
}

TEST_P(Repair, ExistingDestinationIsLeftAlone) {
  std::string source = Write("intact.mdb", Small());
  std::string dest = Write("taken.mdb", Bytes{1, 2, 3});
  auto repaired = RepairDatabase(source, dest);
  ASSERT_FALSE(repaired.ok());
  EXPECT_EQ(repaired.error().number(), 3204);
  EXPECT_EQ(ReadFile(dest), (Bytes{1, 2, 3}));
}

// Damaged copies of real files: every repair that succeeds gives a clean
// file holding only rows of the source.
TEST(RepairCorpus, DamagedCopiesRepairToCleanFiles) {
  const std::filesystem::path dir = std::filesystem::path(QUORLEN_CORPUS_DIR) / "real";
  const std::vector<std::string> names = {
      "jet3/bjoerne2+pecl-mdbtools__test.mdb",
      "jet4/xiaoyustudio181+CSharp__Northwind.mdb",
      // RC4-encoded: the error table's pages are encoded like the rest.
      "jet3/jahlborn+jackcessencrypt__src_test_data_db97-enc.mdb",
  };
  ScratchDir scratch;
  int repaired_files = 0;
  for (const std::string& name : names) {
    Bytes intact = ReadFile((dir / name).string());
    if (intact.empty()) GTEST_SKIP() << "no corpus at " << dir;
    auto facts = salvage_test::Facts(intact, "");
    ASSERT_TRUE(facts);
    std::map<std::string, std::multiset<std::string>> source_rows;
    std::set<std::string> baseline;
    {
      // Without damage, the repair is the compaction, byte for byte.
      std::string p = scratch / "intact.mdb";
      std::filesystem::remove(scratch / "repaired.mdb");
      WriteFile(p, intact);
      source_rows = RowsOf(p);
      baseline = DamageCodes(p);
      auto compacted = CompactDatabase(p, scratch / "compacted.mdb");
      ASSERT_TRUE(compacted.ok()) << compacted.error().ToString();
      auto repaired = RepairDatabase(p, scratch / "repaired.mdb");
      ASSERT_TRUE(repaired.ok()) << repaired.error().ToString();
      EXPECT_TRUE(repaired->losses.empty()) << name;
      EXPECT_EQ(ReadFile(scratch / "repaired.mdb"), ReadFile(scratch / "compacted.mdb")) << name;
      for (const char* f : {"intact.mdb", "compacted.mdb", "repaired.mdb"}) {
        std::filesystem::remove(scratch / f);
      }
    }
    uint64_t seed = 7;
    for (auto kind : salvage_test::kEveryClass) {
      Bytes copy = intact;
      auto damage = salvage_test::Apply(copy, *facts, kind, ++seed);
      if (damage.what.empty()) continue;
      SCOPED_TRACE(name + ": " + salvage_test::ClassName(kind) + ": " + damage.what);
      std::string src = scratch / "damaged.mdb";
      std::string dst = scratch / "repaired.mdb";
      std::filesystem::remove(src);
      std::filesystem::remove(dst);
      WriteFile(src, copy);
      auto r = RepairDatabase(src, dst);
      if (!r.ok()) {
        // Only a lost catalog definition may stop a repair of these files.
        EXPECT_EQ(r.error().number(), 3049) << r.error().ToString();
        continue;
      }
      ++repaired_files;
      ExpectClean(dst, baseline);
      ExpectErrorTable(dst, *r);
      // Damage inside a row or a long value can pass every check (a flipped
      // bit inside a number); elsewhere every row must be a source row.
      if (kind == salvage_test::DamageClass::kRowBitFlips ||
          kind == salvage_test::DamageClass::kTornPage ||
          kind == salvage_test::DamageClass::kGarbagePage ||
          kind == salvage_test::DamageClass::kLongValueChain ||
          kind == salvage_test::DamageClass::kConstraintRow) {
        continue;
      }
      // Tables with a long value left NULL hold rows the source does not.
      std::set<std::string> nulled;
      for (const LossRecord& l : r->losses) {
        if (l.kind == LossKind::kValue) nulled.insert(l.table_name);
      }
      for (const auto& [table, rows] : RowsOf(dst)) {
        if (table.rfind("Recovered table", 0) == 0 || nulled.count(table)) continue;
        for (const auto& row : rows) {
          EXPECT_GT(source_rows[table].count(row), 0u) << table;
        }
      }
    }
  }
  EXPECT_GT(repaired_files, 15);
}

}  // namespace
}  // namespace engine

namespace engine {
namespace {

// Page 2 lost on real files of both versions: the catalog's definition is
// rebuilt, its rows name every table again, and every row comes back.
TEST(RepairCorpus, LostCatalogDefinitionIsRebuiltAndEveryTableKeepsItsName) {
  const std::filesystem::path dir(QUORLEN_CORPUS_DIR);
  const std::vector<std::string> names = {
      "jet3/testV1997.mdb",
      "jet3/compIndexTestV1997.mdb",
      "jet4/testV2003.mdb",
      "jet4/indexTestV2000.mdb",
      "real/jet3/bjoerne2+pecl-mdbtools__test.mdb",
      "real/jet4/GHTaira+Biblioteca__Biblioteca.mdb",
  };
  ScratchDir scratch;
  for (const std::string& name : names) {
    const Bytes intact = ReadFile((dir / name).string());
    if (intact.empty()) GTEST_SKIP() << "no corpus at " << dir;
    const uint32_t page_size = intact[0x14] == 0 ? 2048 : 4096;
    const std::string original = scratch / "intact.mdb";
    WriteFile(original, intact);
    const auto expected = RowsOf(original);
    for (const char* damage : {"zeroed", "garbage"}) {
      SCOPED_TRACE(name + ", page 2 " + damage);
      Bytes file = intact;
      uint32_t seed = 20261207;
      for (uint32_t i = 0; i < page_size; ++i) {
        seed = seed * 1103515245u + 12345u;
        file[2 * page_size + i] = damage[0] == 'z' ? 0 : static_cast<uint8_t>(seed >> 16);
      }
      const std::string source = scratch / (std::string(damage) + ".mdb");
      const std::string copy = scratch / (std::string(damage) + "-repaired.mdb");
      WriteFile(source, file);
      auto repaired = RepairDatabase(source, copy);
      ASSERT_TRUE(repaired.ok()) << repaired.error().ToString();
      EXPECT_FALSE(repaired->lost_anything());
      EXPECT_TRUE(
          std::any_of(repaired->losses.begin(), repaired->losses.end(),
                      [](const LossRecord& r) { return r.kind == LossKind::kCatalogDefinition; }));
      EXPECT_EQ(RowsOf(copy), expected);
      std::filesystem::remove(source);
      std::filesystem::remove(copy);
    }
  }
}

TEST(RepairCorpus, CatalogDefinitionMissingAColumnIsRebuilt) {
  // The catalog's definition reads, but a column it cannot do without is
  // renamed away: it is rebuilt as every file of the version has it, and
  // every table comes over.
  const std::filesystem::path dir(QUORLEN_CORPUS_DIR);
  ScratchDir scratch;
  for (const char* file : {"real/jet3/bjoerne2+pecl-mdbtools__test.mdb", "jet4/testV2003.mdb"}) {
    const Bytes intact = ReadFile((dir / file).string());
    if (intact.empty()) GTEST_SKIP() << "no corpus at " << dir;
    const uint32_t page_size = intact[0x14] == 0 ? 2048 : 4096;
    const std::string original = scratch / "intact.mdb";
    WriteFile(original, intact);
    for (const char* column : {"Type", "ParentId"}) {
      SCOPED_TRACE(std::string(file) + ", " + column);
      std::string name = column;
      if (page_size == 4096) {
        std::string wide;
        for (char ch : name) wide += std::string{ch, '\0'};
        name = wide;
      }
      Bytes damaged = intact;
      uint8_t* page2 = damaged.data() + 2 * page_size;
      auto* at = std::search(page2, page2 + page_size, name.begin(), name.end(),
                             [](uint8_t a, char b) { return a == static_cast<uint8_t>(b); });
      ASSERT_NE(at, page2 + page_size);
      at[0] = 'Q';
      const std::string source = scratch / "damaged.mdb", copy = scratch / "repaired.mdb";
      std::filesystem::remove(source);
      std::filesystem::remove(copy);
      WriteFile(source, damaged);
      auto repaired = RepairDatabase(source, copy);
      ASSERT_TRUE(repaired.ok()) << repaired.error().ToString();
      EXPECT_TRUE(
          std::any_of(repaired->losses.begin(), repaired->losses.end(),
                      [](const LossRecord& r) { return r.kind == LossKind::kCatalogDefinition; }));
      EXPECT_EQ(RowsOf(copy), RowsOf(original));
    }
  }
}

TEST_P(Repair, AceSignatureIsKeptAndNeverRebuiltAsJet) {
  // An ACE page 0 over pages that read as Jet 4's: repaired as the ACE file
  // it says it is. Over Jet 3's pages it cannot be read as one, and is
  // refused rather than rebuilt as another format.
  Bytes file = Small();
  std::memcpy(file.data() + 4, "Standard ACE DB", 15);
  file[0x14] = 3;
  const std::string source = Write("ace.accdb", file);
  const std::string copy = dir_ / "ace-repaired.accdb";
  auto repaired = RepairDatabase(source, copy);
  EXPECT_EQ(ReadFile(source), file);
  if (v() == JetVersion::kJet4) {
    ASSERT_TRUE(repaired.ok()) << repaired.error().ToString();
    const Bytes out = ReadFile(copy);
    EXPECT_EQ(std::string(out.begin() + 4, out.begin() + 19), "Standard ACE DB");
    EXPECT_EQ(out[0x14], 3);
    std::filesystem::remove(copy);
  } else {
    EXPECT_FALSE(repaired.ok());
    EXPECT_FALSE(std::filesystem::exists(copy));
  }
  // ACE's signature with a version byte no format has: not recognisably
  // anything, and no Jet page 0 is made for it.
  file[0x14] = 0x42;
  const std::string unknown = Write("unknown.accdb", file);
  repaired = RepairDatabase(unknown, copy);
  ASSERT_FALSE(repaired.ok());
  EXPECT_EQ(repaired.error().number(), 3343);
  EXPECT_FALSE(std::filesystem::exists(copy));
  // The signature gone from a file named .accdb: refused the same way.
  std::memset(file.data() + 4, 0, 15);
  file[0x14] = v() == JetVersion::kJet3 ? 0 : 1;
  repaired = RepairDatabase(Write("torn.accdb", file), copy);
  ASSERT_FALSE(repaired.ok());
  EXPECT_EQ(repaired.error().number(), 3343);
  EXPECT_FALSE(std::filesystem::exists(copy));
  // Named .mdb, the same page 0 is rebuilt as Jet's.
  const std::string torn = Write("torn.mdb", file);
  auto mended = RepairDatabase(torn, dir_ / "torn-repaired.mdb");
  ASSERT_TRUE(mended.ok()) << mended.error().ToString();
  EXPECT_TRUE(mended->header_rebuilt);
}

TEST_P(Repair, LostPage0AndLostRowsRepairToTheSameBytesEveryTime) {
  // A fresh page 0, an error table and its catalog row all need a date: each
  // takes one the file holds, never the clock.
  std::string source = Write("damaged.mdb", Small([&](FileBuilder& f) {
                               std::fill_n(f.page(0), L().page_size, 0);
                               RowAt(f, 6, 4)[0] = 0;
                             }));
  auto first = RepairDatabase(source, dir_ / "first.mdb");
  ASSERT_TRUE(first.ok()) << first.error().ToString();
  EXPECT_TRUE(first->header_rebuilt);
  EXPECT_EQ(first->error_table, "MSysCompactError");
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  auto second = RepairDatabase(source, dir_ / "second.mdb");
  ASSERT_TRUE(second.ok()) << second.error().ToString();
  EXPECT_EQ(ReadFile(dir_ / "first.mdb"), ReadFile(dir_ / "second.mdb"));
}

// Rows that break a key's rule (a NULL primary-key column, a repeated
// unique key) are listed in the error table; the rest of their table comes
// over and no repair is refused for them.
TEST(RepairCorpus, RowsBreakingAKeyAreListedAndTheRestKept) {
  const std::filesystem::path dir = std::filesystem::path(QUORLEN_CORPUS_DIR) / "real";
  const Bytes intact = ReadFile((dir / "jet4/xiaoyustudio181+CSharp__Northwind.mdb").string());
  if (intact.empty()) GTEST_SKIP() << "no corpus at " << dir;
  auto facts = salvage_test::Facts(intact, "");
  ASSERT_TRUE(facts);
  ScratchDir scratch;
  std::set<LossKind> seen;
  for (uint64_t seed = 1; seed <= 8; ++seed) {
    Bytes copy = intact;
    auto damage =
        salvage_test::Apply(copy, *facts, salvage_test::DamageClass::kConstraintRow, seed);
    ASSERT_FALSE(damage.what.empty());
    SCOPED_TRACE(damage.what);
    auto score = salvage_test::Evaluate(copy, *facts, damage, "");
    EXPECT_EQ(score.invented, 0u);
    EXPECT_EQ(score.recovered, score.untouched);
    const std::string src = scratch / "damaged.mdb", dst = scratch / "repaired.mdb";
    std::filesystem::remove(src);
    std::filesystem::remove(dst);
    WriteFile(src, copy);
    auto r = RepairDatabase(src, dst);
    ASSERT_TRUE(r.ok()) << r.error().ToString();
    ASSERT_TRUE(r->lost_anything());
    for (const LossRecord& l : r->losses) {
      seen.insert(l.kind);
      EXPECT_FALSE(l.table_name.empty());
    }
    ExpectErrorTable(dst, *r);
  }
  EXPECT_TRUE(seen.count(LossKind::kNullKey));
  EXPECT_TRUE(seen.count(LossKind::kDuplicateRow));
}

}  // namespace
}  // namespace engine

namespace engine {
namespace {

// A copy repaired from an ACE source keeps the format: the engine name and
// version byte, and for an encrypted file its key and encryption header.
void ExpectAcePage0(const Bytes& source, const Bytes& copy) {
  ASSERT_GE(copy.size(), 4096u);
  EXPECT_EQ(Bytes(copy.begin() + 4, copy.begin() + 0x15),
            Bytes(source.begin() + 4, source.begin() + 0x15));
  const size_t length = source[0x299] | (source[0x29A] << 8);
  const size_t end = std::min<size_t>(0x29B + length, 4096);
  EXPECT_EQ(Bytes(copy.begin() + 0x299, copy.begin() + end),
            Bytes(source.begin() + 0x299, source.begin() + end));
}

// Every ACE file of the corpus, the encrypted ones with their passwords:
// the repair of an intact file is its compaction byte for byte, loses
// nothing and keeps page 0's format; a file the compaction refuses for its
// damage repairs to a copy without damage.
TEST(RepairAceCorpus, IntactFilesRepairToTheCompactionsBytes) {
  auto files = corpus::AceFiles();
  if (files.empty()) GTEST_SKIP() << "no corpus";
  ScratchDir scratch;
  size_t same = 0;
  for (const auto& f : files) {
    SCOPED_TRACE(f.name);
    const std::string compacted = scratch / "compacted.accdb";
    const std::string repaired = scratch / "repaired.accdb";
    std::filesystem::remove(compacted);
    std::filesystem::remove(repaired);
    auto r = RepairDatabase(f.path.string(), repaired, RepairOptions{.password = f.password});
    ASSERT_TRUE(r.ok()) << r.error().ToString();
    const Bytes source = ReadFile(f.path.string()), copy = ReadFile(repaired);
    ExpectAcePage0(source, copy);
    auto c = CompactDatabase(f.path.string(), compacted, CompactOptions{.password = f.password});
    if (!c.ok()) {
      EXPECT_EQ(c.error().number(), 3049) << c.error().ToString();
      EXPECT_TRUE(DamageCodes(repaired, f.password).empty());
      ExpectErrorTable(repaired, *r, f.password);
      continue;
    }
    EXPECT_TRUE(r->losses.empty())
        << LossKindName(r->losses[0].kind) << ": " << r->losses[0].reason;
    EXPECT_EQ(copy, ReadFile(compacted));
    same += copy == ReadFile(compacted);
  }
  EXPECT_GT(same, 80u);
}

// Damaged copies of ACE files, plain and encrypted: each repairs (or stops
// at a lost catalog definition, 3049) to a copy of the same format with no
// damage, its losses in the error table, and no row the source lacks where
// the damage cannot have changed a value in place.
TEST(RepairAceCorpus, DamagedCopiesRepairToCleanFilesOfTheSameFormat) {
  auto files = corpus::Named({"ace/complexDataTestV2010.accdb", "ace/testV2007.accdb",
                              "ace/calcFieldTestV2010.accdb", "ace/db2007-enc.accdb",
                              "ace/db2013-enc.accdb"});
  if (files.size() < 5) GTEST_SKIP() << "no corpus";
  ScratchDir scratch;
  int repaired_files = 0, encrypted_repairs = 0;
  for (const auto& f : files) {
    const Bytes intact = ReadFile(f.path.string());
    auto facts = salvage_test::Facts(intact, f.password);
    ASSERT_TRUE(facts) << f.name;
    const std::string src = scratch / "damaged.accdb";
    std::filesystem::remove(src);
    WriteFile(src, intact);
    const auto source_rows = RowsOf(src, f.password);
    const std::set<std::string> baseline = DamageCodes(src, f.password);
    // Tables whose rows name places in the file (a calculated column keeps
    // its results as long values, the row holding where they are) differ
    // from the source's in a compacted copy too: their rows are not compared.
    std::set<std::string> placed;
    {
      const std::string compacted = scratch / "compacted.accdb";
      std::filesystem::remove(compacted);
      ASSERT_TRUE(CompactDatabase(src, compacted, CompactOptions{.password = f.password}).ok());
      for (const auto& [table, rows] : RowsOf(compacted, f.password)) {
        if (rows != source_rows.at(table)) placed.insert(table);
      }
    }
    uint64_t seed = 11;
    for (auto kind : salvage_test::kEveryClass) {
      Bytes copy = intact;
      auto damage = salvage_test::Apply(copy, *facts, kind, ++seed);
      if (damage.what.empty()) continue;
      SCOPED_TRACE(f.name + ": " + salvage_test::ClassName(kind) + ": " + damage.what);
      const std::string dst = scratch / "repaired.accdb";
      std::filesystem::remove(src);
      std::filesystem::remove(dst);
      WriteFile(src, copy);
      auto r = RepairDatabase(src, dst, RepairOptions{.password = f.password});
      if (!r.ok()) {
        // A lost page 0 is not rebuilt for an ACE file (3343).
        const int expected = kind == salvage_test::DamageClass::kHeaderPage ? 3343 : 3049;
        EXPECT_EQ(r.error().number(), expected) << r.error().ToString();
        EXPECT_FALSE(std::filesystem::exists(dst));
        continue;
      }
      ++repaired_files;
      if (!f.password.empty()) ++encrypted_repairs;
      ExpectAcePage0(intact, ReadFile(dst));
      for (const std::string& problem : DamageCodes(dst, f.password)) {
        EXPECT_TRUE(baseline.count(problem)) << problem;
      }
      ExpectErrorTable(dst, *r, f.password);
      if (kind == salvage_test::DamageClass::kRowBitFlips ||
          kind == salvage_test::DamageClass::kTornPage ||
          kind == salvage_test::DamageClass::kGarbagePage ||
          kind == salvage_test::DamageClass::kLongValueChain ||
          kind == salvage_test::DamageClass::kConstraintRow || !f.password.empty()) {
        // (A flipped byte of an encrypted page changes the bytes it decodes
        // to anywhere in its block.)
        continue;
      }
      std::set<std::string> nulled;
      for (const LossRecord& l : r->losses) {
        if (l.kind == LossKind::kValue) nulled.insert(l.table_name);
      }
      for (const auto& [table, rows] : RowsOf(dst, f.password)) {
        if (table.rfind("Recovered table", 0) == 0 || nulled.count(table) || placed.count(table)) {
          continue;
        }
        for (const auto& row : rows) EXPECT_GT(source_rows.at(table).count(row), 0u) << table;
      }
    }
  }
  EXPECT_GT(repaired_files, 30);
  EXPECT_GT(encrypted_repairs, 10);
}

// With every index page of the source garbled there is no entry to take
// keys from: text under General of 2010 is keyed from its values with that
// order's table and keeps its order; no row is lost.
TEST(RepairAceCorpus, TextKeysWithoutSourceEntriesAreMadeFromValues) {
  auto files = corpus::Named({"ace/testV2010.accdb"});
  if (files.empty()) GTEST_SKIP() << "no corpus";
  for (const auto& f : files) {
    SCOPED_TRACE(f.name);
    ScratchDir scratch;
    Bytes file = ReadFile(f.path.string());
    uint32_t garbled = 0;
    for (size_t at = 4096; at + 4096 <= file.size(); at += 4096) {
      if ((file[at] != 3 && file[at] != 4) || file[at + 1] != 1) continue;
      for (size_t i = 16; i < 4096; ++i) file[at + i] = static_cast<uint8_t>(i * 131 + at / 4096);
      ++garbled;
    }
    ASSERT_GT(garbled, 10u);
    const std::string src = scratch / "indexes.accdb", dst = scratch / "repaired.accdb";
    WriteFile(src, file);
    auto r = RepairDatabase(src, dst);
    ASSERT_TRUE(r.ok()) << r.error().ToString();
    std::set<std::string> rekeyed;
    for (const LossRecord& l : r->losses) {
      if (l.kind == LossKind::kSortOrder) rekeyed.insert(l.table_name + "." + l.column);
    }
    const bool emoticons = f.name.find("Emoticons") != std::string::npos;
    EXPECT_EQ(rekeyed.empty(), !emoticons);
    EXPECT_EQ(r->counts.rows_lost, 0u);
    EXPECT_TRUE(DamageCodes(dst).empty());
    ExpectErrorTable(dst, *r);
    const auto source_rows = RowsOf(f.path.string());
    for (const auto& [table, rows] : RowsOf(dst)) {
      if (table != "MSysCompactError" && !table.starts_with("MSys")) {
        EXPECT_EQ(rows, source_rows.at(table)) << table;
      }
    }
    EXPECT_EQ(ReadFile(dst)[0x14], 3);
  }
}

// A copy whose only loss is a row its index contradicts (found after the
// sort-order fallbacks) lists exactly that in its error table; the error
// table's own catalog row is keyed under the file's General of 2010.
TEST(RepairAceCorpus, AlteredRowAloneListsTheErrorTablesOwnKeyChange) {
  auto files = corpus::Named({"ace/complexDataTestV2010.accdb"});
  if (files.empty()) GTEST_SKIP() << "no corpus";
  ScratchDir scratch;
  Bytes file = ReadFile(files[0].path.string());
  auto facts = salvage_test::Facts(file, "");
  ASSERT_TRUE(facts);
  ASSERT_FALSE(
      salvage_test::Apply(file, *facts, salvage_test::DamageClass::kRowBitFlips, 0x5A17A9E + 3)
          .what.empty());
  const std::string src = scratch / "flipped.accdb", dst = scratch / "repaired.accdb";
  WriteFile(src, file);
  auto r = RepairDatabase(src, dst);
  ASSERT_TRUE(r.ok()) << r.error().ToString();
  std::set<LossKind> kinds;
  for (const LossRecord& l : r->losses) kinds.insert(l.kind);
  EXPECT_EQ(kinds, (std::set<LossKind>{LossKind::kAlteredValue}));
  ExpectErrorTable(dst, *r);
}

// An encrypted ACE file: without its password, or with a damaged
// encryption header, nothing is written; a damaged engine name alone is
// restored from the rest of page 0 and listed.
TEST(RepairAceCorpus, EncryptedFileNeedsItsPasswordAndItsHeader) {
  auto files = corpus::Named({"ace/db2007-enc.accdb"});
  if (files.empty()) GTEST_SKIP() << "no corpus";
  ScratchDir scratch;
  const Bytes intact = ReadFile(files[0].path.string());
  const std::string src = scratch / "source.accdb", dst = scratch / "repaired.accdb";
  auto repair = [&](const Bytes& bytes, const std::string& password) {
    std::filesystem::remove(src);
    std::filesystem::remove(dst);
    WriteFile(src, bytes);
    return RepairDatabase(src, dst, RepairOptions{.password = password});
  };
  for (const std::string& wrong : {std::string(), std::string("test123")}) {
    auto r = repair(intact, wrong);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().number(), 3031) << r.error().ToString();
    EXPECT_FALSE(std::filesystem::exists(dst));
  }
  Bytes header = intact;
  header[0x299] = 0xFF;
  header[0x29A] = 0x7F;  // the encryption header would run past page 0
  auto r = repair(header, files[0].password);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().number(), 3049) << r.error().ToString();
  EXPECT_FALSE(std::filesystem::exists(dst));

  Bytes name = intact;
  std::memcpy(name.data() + 4, "Standard ACX D#", 15);
  name[0] = 0x42;
  r = repair(name, files[0].password);
  ASSERT_TRUE(r.ok()) << r.error().ToString();
  ExpectAcePage0(intact, ReadFile(dst));
  ASSERT_FALSE(r->losses.empty());
  EXPECT_EQ(r->losses[0].kind, LossKind::kHeader);
  EXPECT_NE(r->losses[0].reason.find("engine name"), std::string::npos) << r->losses[0].reason;
  EXPECT_FALSE(r->lost_anything());
  EXPECT_TRUE(DamageCodes(dst, files[0].password).empty());
  EXPECT_EQ(RowsOf(dst, files[0].password), RowsOf(files[0].path.string(), files[0].password));
}

}  // namespace
}  // namespace engine
