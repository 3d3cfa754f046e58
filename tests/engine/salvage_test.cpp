// The tolerant reader on small databases built in memory, damaged one
// structure at a time: what it hands over, what it reports, and that it
// never invents a row. Then damaged copies in every damage class.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "salvage/salvage.h"
#include "salvage_damage.h"
#include "small_db.h"

namespace engine {
namespace {

using jet_test::BuildSmallDb;
using jet_test::Bytes;
using jet_test::FileBuilder;
using jet_test::SmallDbOptions;

struct Salvaged {
  std::unique_ptr<Salvager> salvager;
  std::vector<LossRecord> losses;
  // table name -> (location -> signature)
  std::map<std::string, std::map<uint32_t, std::string>> rows;
  std::map<std::string, std::map<uint32_t, std::vector<std::string>>> parts;

  size_t Count(LossKind kind) const {
    return static_cast<size_t>(std::count_if(losses.begin(), losses.end(),
                                             [&](const LossRecord& r) { return r.kind == kind; }));
  }
  const LossRecord* Find(LossKind kind) const {
    for (const auto& r : losses) {
      if (r.kind == kind) return &r;
    }
    return nullptr;
  }
};

Salvaged RunSalvage(const Bytes& bytes, const std::string& password = "") {
  Salvaged out;
  SalvageOptions options;
  options.password = password;
  auto s = Salvager::Open(FileSource::FromSpan(bytes), options,
                          [&](const LossRecord& r) { out.losses.push_back(r); });
  EXPECT_TRUE(s.ok()) << s.error().ToString();
  if (!s.ok()) return out;
  out.salvager = std::move(s.value());
  for (const SalvagedTable& t : out.salvager->tables()) {
    Status st = out.salvager->ScanRows(t, [&](const RowValues& row) {
      out.rows[t.name][row.location.ToLe()] = salvage_test::Signature(t.def, row.fields);
      out.parts[t.name][row.location.ToLe()] = salvage_test::SignatureParts(t.def, row.fields);
      return true;
    });
    EXPECT_TRUE(st.ok()) << st.error().ToString();
  }
  return out;
}

// The rows the strict reader gives, in the same shape.
std::map<std::string, std::map<uint32_t, std::string>> StrictRows(
    const Bytes& bytes, const std::string& pw = "", std::set<std::string>* unreadable = nullptr) {
  std::map<std::string, std::map<uint32_t, std::string>> out;
  auto db = Database::Open(FileSource::FromSpan(bytes), OpenOptions{pw});
  EXPECT_TRUE(db.ok()) << db.error().ToString();
  if (!db.ok()) return out;
  for (const CatalogObject* t : (*db)->tables()) {
    auto def = (*db)->ReadTableDef(t->table_page());
    EXPECT_TRUE(def.ok());
    if (!def.ok()) continue;
    auto& rows = out[t->name];
    Status st = ScanRowValues(**db, *def, [&](const RowValues& row) {
      rows[row.location.ToLe()] = salvage_test::Signature(*def, row.fields);
      return true;
    });
    if (unreadable && !st.ok()) {
      unreadable->insert(t->name);  // damaged in the corpus itself
      continue;
    }
    EXPECT_TRUE(st.ok()) << st.error().ToString();
  }
  return out;
}

uint32_t Ptr(uint32_t page, uint32_t row) {
  return (page << 8) | row;
}

class Salvage : public ::testing::TestWithParam<JetVersion> {
 protected:
  JetVersion v() const { return GetParam(); }
  const Layout& L() const { return LayoutFor(v()); }
  Bytes Build(std::function<void(FileBuilder&)> tamper = {}, uint32_t key = 0,
              const std::string& password = "") {
    SmallDbOptions o;
    o.tamper = std::move(tamper);
    o.key = key;
    o.password = password;
    return BuildSmallDb(v(), o);
  }
  // Start of row `row` on page `page` of a builder.
  uint8_t* RowAt(FileBuilder& f, uint32_t page, uint32_t row) const {
    uint8_t* p = f.page(page);
    uint32_t entry =
        p[L().data_header_size + 2 * row] | (p[L().data_header_size + 2 * row + 1] << 8);
    return p + (entry & kRowOffsetMask);
  }
  void SetEntry(FileBuilder& f, uint32_t page, uint32_t row, uint16_t value) const {
    jet_test::Put16(f.page(page) + L().data_header_size + 2 * row, value);
  }
};

INSTANTIATE_TEST_SUITE_P(BothVersions, Salvage,
                         ::testing::Values(JetVersion::kJet3, JetVersion::kJet4),
                         [](const ::testing::TestParamInfo<JetVersion>& p) {
                           return p.param == JetVersion::kJet3 ? "Jet3" : "Jet4";
                         });

TEST_P(Salvage, IntactFileGivesExactlyTheStrictReadersRows) {
  for (uint32_t key : {0u, 0x1234ABCDu}) {
    Bytes file = Build({}, key, "pw");
    Salvaged s = RunSalvage(file, "pw");
    EXPECT_TRUE(s.losses.empty()) << s.losses[0].reason;
    EXPECT_EQ(s.rows, StrictRows(file, "pw"));
    ASSERT_EQ(s.rows["T"].size(), 3u);
    EXPECT_FALSE(s.salvager->header_rebuilt());
    EXPECT_EQ(s.salvager->counts().rows, 3u + 3u);
  }
}

TEST_P(Salvage, DataPagesAreFoundByTheirOwnerWhenTheMapIsLost) {
  Bytes intact = Build();
  Bytes file = Build([&](FileBuilder& f) {
    f.DataPage(3, 0,
               {FileBuilder::InlineMap(0, {4}), FileBuilder::InlineMap(0, {}),
                FileBuilder::InlineMap(0, {7})});
  });
  Salvaged s = RunSalvage(file);
  EXPECT_EQ(s.rows["T"], StrictRows(intact)["T"]);
  EXPECT_TRUE(s.losses.empty());
}

TEST_P(Salvage, StaleFreePageOfTheTableIsNotTaken) {
  // Page 8 is free in the global map; it still names T and holds a row that
  // looks live (a copy of row 4). Taking it would invent a row.
  Bytes file = Build([&](FileBuilder& f) {
    uint8_t* row4 = RowAt(f, 6, 4);
    uint32_t end = f.page(6)[L().data_header_size + 6] | (f.page(6)[L().data_header_size + 7] << 8);
    Bytes copy(row4, f.page(6) + (end & kRowOffsetMask));
    f.DataPage(8, 5, {copy});
  });
  Salvaged s = RunSalvage(file);
  EXPECT_EQ(s.rows["T"].size(), 3u);
  EXPECT_EQ(s.rows["T"].count(Ptr(8, 0)), 0u);
}

TEST_P(Salvage, LostPage0IsRebuiltFromThePages) {
  Bytes intact = Build({}, 0, "secret");
  Bytes file = intact;
  std::fill_n(file.begin(), L().page_size, 0);
  Salvaged s = RunSalvage(file, "secret");
  ASSERT_TRUE(s.salvager);
  EXPECT_TRUE(s.salvager->header_rebuilt());
  EXPECT_EQ(s.salvager->header().version, v());
  EXPECT_EQ(s.salvager->header().password, "secret");
  EXPECT_EQ(s.rows, StrictRows(intact, "secret"));
  const LossRecord* h = s.Find(LossKind::kHeader);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->raw.size(), L().page_size);  // the lost page 0 goes to the report

  // A version byte that contradicts the pages is damage as well.
  file = intact;
  file[0x14] ^= 1;
  Salvaged flipped = RunSalvage(file, "secret");
  EXPECT_TRUE(flipped.salvager->header_rebuilt());
  EXPECT_EQ(flipped.rows, StrictRows(intact, "secret"));
}

TEST_P(Salvage, EncodedFileWithoutPage0IsRefused) {
  Bytes file = Build({}, 0x1234ABCDu);
  std::fill_n(file.begin(), L().page_size, 0);
  auto s = Salvager::Open(FileSource::FromSpan(file), {}, {});
  ASSERT_FALSE(s.ok());  // nothing readable is left to say it is a database
  EXPECT_EQ(s.error().number(), 3343);
}

TEST_P(Salvage, PasswordIsCheckedWhilePage0IsIntact) {
  Bytes file = Build({}, 0, "secret");
  SalvageOptions wrong;
  wrong.password = "guess";
  auto s = Salvager::Open(FileSource::FromSpan(file), wrong, {});
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().number(), 3031);
  Bytes junk(5 * L().page_size, 0x5A);
  auto n = Salvager::Open(FileSource::FromSpan(junk), {}, {});
  ASSERT_FALSE(n.ok());
  EXPECT_EQ(n.error().number(), 3343);
}

TEST_P(Salvage, TableWhoseCatalogRowIsLostComesBackUnderAMadeUpName) {
  Bytes intact = Build();
  Bytes file = Build([&](FileBuilder& f) {
    uint8_t* row = RowAt(f, 4, 1);  // T's catalog row
    row[0] = 0xEE;                  // column count
    if (v() == JetVersion::kJet4) row[1] = 0xEE;
  });
  Salvaged s = RunSalvage(file);
  EXPECT_EQ(s.rows.count("T"), 0u);
  EXPECT_EQ(s.rows["Recovered table 5"], StrictRows(intact)["T"]);
  EXPECT_EQ(s.Count(LossKind::kCatalogRow), 1u);
  const LossRecord* named = s.Find(LossKind::kTableName);
  ASSERT_NE(named, nullptr);
  EXPECT_EQ(named->table, 5u);
  EXPECT_EQ(named->table_name, "Recovered table 5");
}

TEST_P(Salvage, BrokenChainKeepsTheRowWithTheValueNull) {
  Bytes intact = Build();
  Bytes file = Build([&](FileBuilder& f) {
    // The first piece of row 3's memo points at a row that does not exist.
    jet_test::Put32(RowAt(f, 7, 1), Ptr(7, 9));
  });
  Salvaged s = RunSalvage(file);
  auto strict = StrictRows(intact)["T"];
  ASSERT_EQ(s.rows["T"].size(), 3u);
  EXPECT_EQ(s.rows["T"][Ptr(6, 0)], strict[Ptr(6, 0)]);
  EXPECT_EQ(s.rows["T"][Ptr(6, 4)], strict[Ptr(6, 4)]);
  ASSERT_EQ(s.Count(LossKind::kValue), 1u);
  const LossRecord* lost = s.Find(LossKind::kValue);
  EXPECT_EQ(lost->column, "Notes");
  EXPECT_EQ(lost->position->ToLe(), Ptr(6, 2));
  // The recovered half of the value is in the report.
  Bytes memo = jet_test::Text(v(), "chained memo value");
  EXPECT_EQ(lost->raw, Bytes(memo.begin(), memo.begin() + static_cast<long>(memo.size() / 2)));
  // The row's other values are exactly the stored ones; Notes is NULL.
  const auto& parts = s.parts["T"][Ptr(6, 2)];
  EXPECT_EQ(parts[0], "N");  // Notes is the first column of T's definition
}

TEST_P(Salvage, RowThatDoesNotValidateIsReportedWithItsBytes) {
  Bytes intact = Build();
  Bytes stored;
  Bytes file = Build([&](FileBuilder& f) {
    uint8_t* row = RowAt(f, 6, 4);
    uint32_t end = f.page(6)[L().data_header_size + 6] | (f.page(6)[L().data_header_size + 7] << 8);
    row[0] = 0;  // no columns at all
    if (v() == JetVersion::kJet4) row[1] = 0;
    stored.assign(row, f.page(6) + (end & kRowOffsetMask));
  });
  Salvaged s = RunSalvage(file);
  auto strict = StrictRows(intact)["T"];
  EXPECT_EQ(s.rows["T"].size(), 2u);
  EXPECT_EQ(s.rows["T"][Ptr(6, 0)], strict[Ptr(6, 0)]);
  EXPECT_EQ(s.rows["T"][Ptr(6, 2)], strict[Ptr(6, 2)]);
  ASSERT_EQ(s.Count(LossKind::kRow), 1u);
  const LossRecord* lost = s.Find(LossKind::kRow);
  EXPECT_EQ(lost->position->ToLe(), Ptr(6, 4));
  EXPECT_EQ(lost->table_name, "T");
  EXPECT_EQ(lost->raw, stored);
}

TEST_P(Salvage, DanglingOverflowPointerLosesOnlyThatRow) {
  Bytes file = Build([&](FileBuilder& f) {
    jet_test::Put32(RowAt(f, 6, 2), Ptr(6, 0));  // a live row, not moved data
  });
  Salvaged s = RunSalvage(file);
  EXPECT_EQ(s.rows["T"].size(), 2u);
  ASSERT_EQ(s.Count(LossKind::kRow), 1u);
  EXPECT_EQ(s.Find(LossKind::kRow)->position->ToLe(), Ptr(6, 2));
  EXPECT_EQ(s.Find(LossKind::kRow)->raw, jet_test::Le32Bytes(Ptr(6, 0)));
}

TEST_P(Salvage, TruncatedFileIsReadUpToTheCut) {
  Bytes intact = Build();
  Bytes file = intact;
  file.resize(7 * L().page_size + 200);  // the LVAL page's rows lie past the cut
  Salvaged s = RunSalvage(file);
  ASSERT_TRUE(s.salvager);
  EXPECT_EQ(s.salvager->truncated_page_bytes(), 200u);
  auto strict = StrictRows(intact)["T"];
  ASSERT_EQ(s.rows["T"].size(), 3u);
  EXPECT_EQ(s.rows["T"][Ptr(6, 4)], strict[Ptr(6, 4)]);  // no long values
  EXPECT_EQ(s.Count(LossKind::kValue), 2u);              // the single-row OLE and the chain
  // What stood past the cut is gone: the cut itself is a loss, not a note.
  EXPECT_EQ(s.Count(LossKind::kPage), 1u);
}

// Rows that left no trace (their page is gone) are estimated from the
// table's stored row count, but only for a table that shows damage.
TEST_P(Salvage, RowsOnLostPagesAreEstimatedFromTheStoredCount) {
  const Bytes intact = Build();
  auto expect_missing = [&](const Salvaged& s, uint64_t n) {
    ASSERT_TRUE(s.salvager);
    const LossRecord* r = s.Find(LossKind::kMissingRows);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->table_name, "T");
    EXPECT_EQ(r->missing, n);
    EXPECT_NE(r->reason.find("estimated"), std::string::npos) << r->reason;
    EXPECT_EQ(s.salvager->counts().rows_lost_estimated, n);
    EXPECT_GE(s.salvager->counts().rows_lost, n);
  };
  {
    SCOPED_TRACE("cut before T's data page");
    Bytes cut(intact.begin(), intact.begin() + 6 * L().page_size);
    Salvaged s = RunSalvage(cut);
    EXPECT_EQ(s.rows["T"].size(), 0u);
    expect_missing(s, 3);
  }
  {
    SCOPED_TRACE("T's data page zeroed");
    Salvaged s =
        RunSalvage(Build([&](FileBuilder& f) { std::fill_n(f.page(6), L().page_size, 0); }));
    expect_missing(s, 3);
  }
  {
    SCOPED_TRACE("one row unreadable: reported, not estimated again");
    Salvaged s = RunSalvage(Build([&](FileBuilder& f) {
      uint8_t* row = RowAt(f, 6, 4);
      row[0] = 0;
      if (v() == JetVersion::kJet4) row[1] = 0;
    }));
    EXPECT_EQ(s.Count(LossKind::kRow), 1u);
    EXPECT_EQ(s.Count(LossKind::kMissingRows), 0u);
    EXPECT_EQ(s.salvager->counts().rows_lost, 1u);
  }
  {
    SCOPED_TRACE("a stored count that is only wrong");
    Salvaged s = RunSalvage(
        Build([&](FileBuilder& f) { jet_test::Put32(f.page(5) + L().tdef_num_rows, 10); }));
    EXPECT_EQ(s.rows["T"].size(), 3u);
    EXPECT_TRUE(s.losses.empty());
  }
}

TEST_P(Salvage, ZeroedDefinitionLosesTheTableAndReportsItsPages) {
  Bytes file = Build([&](FileBuilder& f) { std::fill_n(f.page(5), L().page_size, 0); });
  Salvaged s = RunSalvage(file);
  EXPECT_EQ(s.rows.count("T"), 0u);
  ASSERT_EQ(s.Count(LossKind::kTable), 1u);
  EXPECT_EQ(s.Find(LossKind::kTable)->table_name, "T");
  // Its data page is reported whole, so its rows are not gone for good.
  const LossRecord* page = s.Find(LossKind::kPage);
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(page->position->page, 6u);
  EXPECT_EQ(page->raw.size(), L().page_size);
}

TEST_P(Salvage, ScanningTwiceReportsOnce) {
  Bytes file = Build([&](FileBuilder& f) { RowAt(f, 6, 4)[0] = 0; });
  Salvaged s = RunSalvage(file);
  size_t before = s.losses.size();
  for (const SalvagedTable& t : s.salvager->tables()) {
    ASSERT_TRUE(s.salvager->ScanRows(t, [](const RowValues&) { return true; }).ok());
  }
  EXPECT_EQ(s.losses.size(), before);
}

TEST_P(Salvage, CancelledProgressStopsTheScan) {
  Bytes file = Build();
  SalvageOptions options;
  options.progress = [](const Progress&) { return false; };
  auto s = Salvager::Open(FileSource::FromSpan(file), options, {});
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().number(), 3001);
}

// A table with a unique index on ID, where a torn write left row 1 twice.
Bytes DuplicateRowsDb(JetVersion v) {
  using namespace jet_test;
  FileBuilder f(v, 8);
  f.Header();
  std::vector<uint32_t> free_pages;
  for (uint32_t p = 8; p < 512; ++p) free_pages.push_back(p);
  f.DataPage(1, 1, {FileBuilder::InlineMap(0, free_pages), FileBuilder::InlineMap(0, {})});
  TableSpec cat;
  cat.table_type = 'S';
  cat.max_cols = 5;
  cat.num_var_cols = 1;
  cat.owned_map = Ptr(3, 0);
  cat.columns = {{0x04, 0, 0, 0x13, 0, 4, "Id"},
                 {0x04, 1, 0, 0x13, 4, 4, "ParentId"},
                 {0x0A, 2, 0, 0x12, 0, 255, "Name"},
                 {0x03, 3, 0, 0x13, 8, 2, "Type"},
                 {0x04, 4, 0, 0x13, 10, 4, "Flags"}};
  f.TableDef(2, BuildTableDef(v, cat));
  auto catalog_row = [&](uint32_t id, const std::string& name, uint32_t flags) {
    RowSpec r;
    r.columns = 5;
    Bytes t16;
    Append16(t16, 1);
    r.fixed = Fixed({Le32Bytes(id), Le32Bytes(kTablesContainer), t16, Le32Bytes(flags)}, 14);
    r.vars = {Text(v, name)};
    r.present = {0, 1, 2, 3, 4};
    return BuildRow(v, r);
  };
  f.DataPage(4, 2, {catalog_row(2, "MSysObjects", 0x80000000u), catalog_row(5, "U", 0)});
  TableSpec u;
  u.max_cols = 2;
  u.num_var_cols = 1;
  u.owned_map = Ptr(3, 1);
  u.columns = {{0x04, 0, 0, 0x03, 0, 4, "ID"}, {0x0A, 1, 0, 0x02, 0, 100, "Name"}};
  u.index_columns = {0};
  f.TableDef(5, BuildTableDef(v, u));
  f.DataPage(3, 0, {FileBuilder::InlineMap(0, {4}), FileBuilder::InlineMap(0, {6})});
  auto row = [&](uint32_t id, const std::string& name) {
    RowSpec r;
    r.columns = 2;
    r.fixed = Le32Bytes(id);
    r.vars = {Text(v, name)};
    r.present = {0, 1};
    return BuildRow(v, r);
  };
  f.DataPage(6, 5, {row(1, "one"), row(2, "two"), row(1, "one"), row(3, "three")});
  return f.Finish();
}

TEST_P(Salvage, RowRepeatingAUniqueKeyIsReportedAndTheFirstKept) {
  Bytes file = DuplicateRowsDb(v());
  Salvaged s = RunSalvage(file);
  ASSERT_EQ(s.rows["U"].size(), 3u);
  EXPECT_EQ(s.rows["U"].count(Ptr(6, 0)), 1u);
  EXPECT_EQ(s.rows["U"].count(Ptr(6, 2)), 0u);
  ASSERT_EQ(s.Count(LossKind::kDuplicateRow), 1u);
  const LossRecord* dup = s.Find(LossKind::kDuplicateRow);
  EXPECT_EQ(dup->position->ToLe(), Ptr(6, 2));
  EXPECT_EQ(dup->column, "PrimaryKey");
  EXPECT_FALSE(dup->raw.empty());
  EXPECT_EQ(s.salvager->counts().rows_lost, 1u);
}

// Every damage class, many seeds: nothing invented, no untouched row of a
// readable table missed.
TEST_P(Salvage, DamagedCopiesNeverInventRows) {
  Bytes intact = Build();
  auto facts = salvage_test::Facts(intact, "");
  ASSERT_TRUE(facts);
  for (auto kind : salvage_test::kEveryClass) {
    for (uint64_t seed = 1; seed <= 25; ++seed) {
      Bytes copy = intact;
      auto damage = salvage_test::Apply(copy, *facts, kind, seed);
      if (damage.what.empty()) continue;
      auto score = salvage_test::Evaluate(copy, *facts, damage, "");
      SCOPED_TRACE(std::string(salvage_test::ClassName(kind)) + " seed " + std::to_string(seed) +
                   ": " + damage.what + (score.open_failed ? " open: " + score.open_error : ""));
      EXPECT_EQ(score.invented, 0u);
      if (!score.open_failed) {
        EXPECT_EQ(score.recovered + score.missed_no_definition, score.untouched);
      }
    }
  }
}

// Every real file of the corpus: without damage the tolerant reader hands
// over exactly the strict reader's rows and reports nothing.
TEST(SalvageCorpus, IntactFilesGiveTheStrictReadersRows) {
  const std::filesystem::path dir = std::filesystem::path(QUORLEN_CORPUS_DIR) / "real";
  std::ifstream tsv(dir / "files.tsv");
  if (!tsv) GTEST_SKIP() << "no corpus at " << dir;
  std::string line;
  std::getline(tsv, line);
  int files = 0;
  while (std::getline(tsv, line)) {
    std::vector<std::string> cols;
    std::stringstream ss(line);
    std::string col;
    while (std::getline(ss, col, '\t')) cols.push_back(col);
    if (cols.size() < 6) continue;
    std::ifstream in(dir / cols[0], std::ios::binary);
    Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto db = Database::Open(FileSource::FromSpan(file), OpenOptions{cols[5]});
    if (!db.ok()) continue;
    SCOPED_TRACE(cols[0]);
    std::set<std::string> unreadable;
    auto strict = StrictRows(file, cols[5], &unreadable);
    Salvaged s = RunSalvage(file, cols[5]);
    for (const auto& [name, rows] : strict) {
      if (unreadable.count(name)) continue;
      EXPECT_EQ(s.rows[name].size(), rows.size()) << name;
      EXPECT_TRUE(s.rows[name] == rows) << name;
    }
    for (const auto& r : s.losses) {
      if (unreadable.count(r.table_name)) continue;
      ADD_FAILURE() << LossKindName(r.kind) << ": " << r.reason;
    }
    ++files;
  }
  EXPECT_GT(files, 50);
}

// A real file cut at a page boundary: the catalog's rows past the cut are
// gone without a trace in any scan, so the cut must be reported as a loss.
TEST(SalvageCorpus, FileCutAtAPageBoundaryReportsTheLoss) {
  std::ifstream in(std::filesystem::path(QUORLEN_CORPUS_DIR) / "jet4" / "indexTestV2000.mdb",
                   std::ios::binary);
  if (!in) GTEST_SKIP() << "no corpus";
  Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  for (uint32_t pages : {4u, 5u, 20u}) {
    SCOPED_TRACE(pages);
    Bytes cut(file.begin(), file.begin() + pages * 4096);
    Salvaged s = RunSalvage(cut);
    ASSERT_TRUE(s.salvager);
    const LossRecord* lost = s.Find(LossKind::kPage);
    ASSERT_NE(lost, nullptr);
    EXPECT_NE(lost->reason.find("cut short"), std::string::npos) << lost->reason;
  }
}

}  // namespace
}  // namespace engine
