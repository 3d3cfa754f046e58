// Damaged copies never lose rows silently: a whole-table read of a cut
// file, of a table whose page map lost a page, or of a torn page either
// gives every row the intact file gives or fails loudly for that table.
// Also: a damaged header is not taken for a password, linked tables are
// known, and rows older than a table's first variable column read.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "corpus_files.h"
#include "reader/database.h"
#include "reader/dump.h"
#include "format/row.h"
#include "small_db.h"

namespace engine {
namespace {

using jet_test::Bytes;

Bytes ReadAll(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

struct DumpOutcome {
  bool opened = false;
  Error error{0, ""};  // of the open or of the dump; number 0 when none
  nlohmann::json json;
};

DumpOutcome DumpBytes(Bytes bytes, const std::string& password = "",
                      size_t held_rows_limit = size_t{8} << 20) {
  DumpOutcome out;
  auto db = Database::Open(FileSource::FromBuffer(std::move(bytes)), {.password = password});
  if (!db.ok()) {
    out.error = db.error();
    return out;
  }
  out.opened = true;
  std::string text;
  Status st = WriteDump(
      *db.value(),
      [&](std::string_view s) {
        text.append(s);
        return true;
      },
      held_rows_limit);
  if (!st.ok()) out.error = st.error();
  out.json = nlohmann::json::parse(text, nullptr, false);
  return out;
}

// Every table of the damaged dump is either marked with an error or equal
// to the intact one; a failed open or dump is an error numbered 3049.
// Returns how many tables were marked.
int ExpectNoSilentLoss(const nlohmann::json& intact, const DumpOutcome& damaged,
                       const std::string& what) {
  SCOPED_TRACE(what);
  if (!damaged.opened) {
    EXPECT_TRUE(damaged.error.number() == 3049 || damaged.error.number() == 3343)
        << damaged.error.ToString();
    return 1;
  }
  EXPECT_FALSE(damaged.json.is_discarded()) << "the dump is not whole JSON";
  if (damaged.json.is_discarded()) return 0;
  std::map<std::string, const nlohmann::json*> before;
  for (const auto& t : intact["tables"]) before[t["name"].get<std::string>()] = &t;
  int marked = 0;
  for (const auto& t : damaged.json["tables"]) {
    std::string name = t["name"].get<std::string>();
    if (t.contains("error")) {
      ++marked;
      EXPECT_FALSE(t.contains("rows")) << name;
      continue;
    }
    auto it = before.find(name);
    if (it == before.end()) continue;  // a catalog row read differently is caught below
    EXPECT_TRUE(t == *it->second) << "table " << name
                                  << " lost or changed rows without an error: intact "
                                  << it->second->value("row_count", -1) << " rows, damaged "
                                  << t.value("row_count", -1);
  }
  // Tables the damaged catalog no longer lists are whole-table losses too,
  // unless the catalog itself failed.
  EXPECT_EQ(damaged.json["tables"].size(), intact["tables"].size());
  EXPECT_EQ(marked > 0, damaged.error.number() != 0) << damaged.error.ToString();
  if (marked > 0) {
    EXPECT_EQ(damaged.error.number(), 3049) << damaged.error.ToString();
  }
  return marked;
}

struct TablePages {
  std::string name;
  uint32_t first_page = 0;
  UsageMap owned;
};

std::vector<TablePages> TablesWithPages(const Database& db) {
  std::vector<TablePages> out;
  for (const CatalogObject* t : db.tables()) {
    auto def = db.ReadTableDef(t->table_page());
    if (!def.ok()) continue;
    auto owned = db.ReadUsageMap(def.value().owned_map);
    if (!owned.ok() || owned.value().pages.empty()) continue;
    out.push_back({t->name, t->table_page(), owned.value()});
  }
  return out;
}

// A file cut inside one of a table's pages: the tables that had pages
// there fail, every other table reads whole.
TEST(SilentLoss, CutFilesFailForTheTablesTheyCut) {
  auto files =
      corpus::Named({"real/jet3/phamtgiang+sellView__Northwind.mdb", "jet4/testV2003.mdb"});
  if (files.empty()) GTEST_SKIP() << "corpus not found at " << QUORLEN_CORPUS_DIR;
  for (const auto& f : files) {
    Bytes full = ReadAll(f.path);
    DumpOutcome intact = DumpBytes(full);
    ASSERT_EQ(intact.error.number(), 0) << intact.error.ToString();
    auto db = Database::Open(FileSource::FromSpan(full));
    ASSERT_TRUE(db.ok());
    const uint32_t ps = db.value()->page_size();
    // Cut in the middle of the last data page of the tables with the most pages.
    auto tables = TablesWithPages(*db.value());
    std::sort(tables.begin(), tables.end(), [](const TablePages& a, const TablePages& b) {
      return a.owned.pages.size() > b.owned.pages.size();
    });
    int loud = 0;
    for (size_t i = 0; i < tables.size() && i < 4; ++i) {
      uint32_t last = tables[i].owned.pages.back();
      size_t cut = static_cast<size_t>(last) * ps + ps / 2;
      DumpOutcome damaged = DumpBytes(Bytes(full.begin(), full.begin() + static_cast<long>(cut)));
      std::string what = f.name + " cut in page " + std::to_string(last) + " of " + tables[i].name;
      loud += ExpectNoSilentLoss(intact.json, damaged, what);
      if (damaged.opened) {
        // The table whose page was cut is among the marked ones, naming the page.
        bool named = false;
        for (const auto& t : damaged.json["tables"]) {
          if (t["name"] == tables[i].name && t.contains("error")) {
            named = t["error"].get<std::string>().find("page " + std::to_string(last)) !=
                    std::string::npos;
          }
        }
        EXPECT_TRUE(named) << what << ": " << damaged.error.ToString();
      }
    }
    EXPECT_GT(loud, 0) << f.name;
  }
}

// Sets or clears the bit of `page` in a table's owned-pages map, in the file.
void FlipMapBit(Bytes& file, const Database& db, const UsageMap& map, uint32_t page) {
  const uint32_t ps = db.page_size();
  size_t at = 0;
  uint32_t bit = 0;
  if (map.type == 0) {
    auto dp = db.ReadDataPage(map.location.page);
    ASSERT_TRUE(dp.ok());
    at = static_cast<size_t>(map.location.page) * ps + dp.value().slots[map.location.row].start +
         5 + (page - map.start_page) / 8;
    bit = (page - map.start_page) % 8;
  } else {
    uint64_t per = db.layout().pages_per_bitmap_page();
    uint32_t bitmap = map.bitmap_pages[page / per];
    at = static_cast<size_t>(bitmap) * ps + 4 + (page % per) / 8;
    bit = (page % per) % 8;
  }
  file[at] ^= static_cast<uint8_t>(1u << bit);
}

// A data page dropped from its table's map: that table fails naming the
// page (its rows are still in the file), the others read whole.
TEST(SilentLoss, PagesDroppedFromTheirMapFailTheirTable) {
  auto files = corpus::Named({"real/jet3/phamtgiang+sellView__Northwind.mdb", "jet3/testV1997.mdb",
                              "jet4/testV2003.mdb", "jet4/delTestV2000.mdb"});
  if (files.empty()) GTEST_SKIP() << "corpus not found at " << QUORLEN_CORPUS_DIR;
  int tried = 0;
  for (const auto& f : files) {
    Bytes full = ReadAll(f.path);
    DumpOutcome intact = DumpBytes(full);
    ASSERT_EQ(intact.error.number(), 0) << intact.error.ToString();
    auto db = Database::Open(FileSource::FromSpan(full));
    ASSERT_TRUE(db.ok());
    for (const TablePages& t : TablesWithPages(*db.value())) {
      // The page with the most live rows (a page of deleted rows loses nothing).
      uint32_t best = 0;
      size_t most = 0;
      for (uint32_t p : t.owned.pages) {
        auto dp = db.value()->ReadDataPage(p);
        if (!dp.ok()) continue;
        size_t live = 0;
        for (const RowSlot& s : dp.value().slots) live += !s.deleted();
        if (live > most) std::tie(best, most) = std::make_tuple(p, live);
      }
      if (most == 0) continue;
      Bytes copy = full;
      FlipMapBit(copy, *db.value(), t.owned, best);
      std::string what = f.name + ": page " + std::to_string(best) + " dropped from " + t.name;
      DumpOutcome damaged = DumpBytes(std::move(copy));
      EXPECT_GT(ExpectNoSilentLoss(intact.json, damaged, what), 0) << what;
      if (damaged.opened && t.name != "MSysObjects") {
        EXPECT_NE(damaged.error.description().find("data page " + std::to_string(best)),
                  std::string::npos)
            << what << ": " << damaged.error.ToString();
      }
      ++tried;
    }
  }
  EXPECT_GT(tried, 10);
}

// Torn pages: the first sectors of a data page written, the rest never
// (zeros). Whatever still decodes must be what the intact file holds.
TEST(SilentLoss, TornDataPagesNeverChangeRowsSilently) {
  auto files = corpus::Named({"jet3/testV1997.mdb", "jet4/delTestV2000.mdb"});
  if (files.empty()) GTEST_SKIP() << "corpus not found at " << QUORLEN_CORPUS_DIR;
  for (const auto& f : files) {
    Bytes full = ReadAll(f.path);
    DumpOutcome intact = DumpBytes(full);
    ASSERT_EQ(intact.error.number(), 0) << intact.error.ToString();
    auto db = Database::Open(FileSource::FromSpan(full));
    ASSERT_TRUE(db.ok());
    const uint32_t ps = db.value()->page_size();
    int loud = 0;
    for (const TablePages& t : TablesWithPages(*db.value())) {
      if (t.name == "MSysObjects") continue;
      uint32_t page = t.owned.pages.front();
      // Sectors of 512 bytes after the first zeroed (never written).
      for (uint32_t keep : {512u, ps / 2}) {
        Bytes copy = full;
        std::fill(copy.begin() + static_cast<long>(static_cast<size_t>(page) * ps + keep),
                  copy.begin() + static_cast<long>(static_cast<size_t>(page + 1) * ps), 0);
        loud += ExpectNoSilentLoss(intact.json, DumpBytes(std::move(copy)),
                                   f.name + ": page " + std::to_string(page) + " of " + t.name +
                                       " zero after byte " + std::to_string(keep));
      }
    }
    EXPECT_GT(loud, 0) << f.name;
  }
}

TEST(SilentLoss, FreeSpaceFieldThatDisagreesWithTheRowsIsATornPage) {
  for (JetVersion v : {JetVersion::kJet3, JetVersion::kJet4}) {
    jet_test::SmallDbOptions options;
    options.tamper = [](jet_test::FileBuilder& f) { f.page(6)[2] ^= 0x10; };
    DumpOutcome out = DumpBytes(jet_test::BuildSmallDb(v, options));
    ASSERT_TRUE(out.opened);
    EXPECT_EQ(out.error.number(), 3049);
    EXPECT_NE(out.error.description().find("data page 6: its free-space field"), std::string::npos)
        << out.error.ToString();
  }
}

// A stale copy of a table's page, still marked in use and naming the table,
// is what Access leaves behind: harmless while the map's pages hold the rows
// the definition counts (real files: MSysNavPaneObjectIDs).
TEST(SilentLoss, StalePagesOutsideTheMapAreHarmlessWhenTheMapHoldsEveryRow) {
  auto files = corpus::Named({"real/jet4/PhantomPhr3ak+WWRK__d02fc61e_WWRK_Adressen.mdb"});
  if (files.empty()) GTEST_SKIP() << "corpus not found at " << QUORLEN_CORPUS_DIR;
  auto db = Database::Open(files[0].path.string());
  ASSERT_TRUE(db.ok()) << db.error().ToString();
  const CatalogObject* nav = db.value()->FindTable("MSysNavPaneObjectIDs");
  ASSERT_NE(nav, nullptr);
  const auto& census = db.value()->DataPagesByOwner();
  ASSERT_TRUE(census.count(nav->table_page()));
  EXPECT_EQ(census.at(nav->table_page()), (std::vector<uint32_t>{52, 80}));
  auto def = db.value()->ReadTableDef(nav->table_page());
  ASSERT_TRUE(def.ok());
  uint64_t rows = 0;
  Status st = db.value()->ScanRows(def.value(), [&](const RowRef&) { return ++rows, true; });
  EXPECT_TRUE(st.ok()) << st.error().ToString();
  EXPECT_EQ(rows, def.value().num_rows);
}

TEST(DamagedHeader, AGarbledPasswordFieldIsDamageNotAPassword) {
  // Byte 0x78 lies in the high part of the creation date: its whole-day
  // value, which masks the password field, changes.
  for (std::string password : {"", "open sesame"}) {
    jet_test::SmallDbOptions options;
    options.password = password;
    options.tamper = [](jet_test::FileBuilder& f) { f.page(0)[0x78] ^= 0x01; };
    Bytes bytes = jet_test::BuildSmallDb(JetVersion::kJet4, options);
    for (const std::string& given : {std::string(), password}) {
      auto db = Database::Open(FileSource::FromSpan(bytes), {.password = given});
      ASSERT_FALSE(db.ok()) << "password '" << password << "'";
      EXPECT_EQ(db.error().number(), 3049) << db.error().ToString();
      EXPECT_NE(db.error().description().find("damaged header"), std::string::npos);
    }
  }
  // Jet 3: a control character where the password would start. (Garbage
  // after a leading zero leaves no password to ask for: such a file opens.)
  jet_test::SmallDbOptions options;
  options.tamper = [](jet_test::FileBuilder& f) { f.page(0)[0x42] ^= 0x01; };
  auto db =
      Database::Open(FileSource::FromBuffer(jet_test::BuildSmallDb(JetVersion::kJet3, options)));
  ASSERT_FALSE(db.ok());
  EXPECT_EQ(db.error().number(), 3049) << db.error().ToString();

  // Intact fields still ask for the password, and open with it.
  options = {};
  options.password = "open sesame";
  Bytes locked = jet_test::BuildSmallDb(JetVersion::kJet4, options);
  auto none = Database::Open(FileSource::FromSpan(locked));
  ASSERT_FALSE(none.ok());
  EXPECT_EQ(none.error().number(), 3031);
  EXPECT_TRUE(Database::Open(FileSource::FromSpan(locked), {.password = "open sesame"}).ok());
}

TEST(DamagedHeader, RealFilesWithADamagedCreationDate) {
  auto files =
      corpus::Named({"jet4/testV2003.mdb",
                     "real/jet4/spannm+ucanaccess__src_test_resources_testdbs_password.mdb"});
  if (files.empty()) GTEST_SKIP() << "corpus not found at " << QUORLEN_CORPUS_DIR;
  for (const auto& f : files) {
    Bytes bytes = ReadAll(f.path);
    ASSERT_TRUE(Database::Open(FileSource::FromSpan(bytes), {.password = f.password}).ok());
    bytes[0x79] ^= 0x04;  // byte 7 of the date at 0x72: its exponent
    auto db = Database::Open(FileSource::FromSpan(bytes), {.password = f.password});
    ASSERT_FALSE(db.ok()) << f.name;
    EXPECT_EQ(db.error().number(), 3049) << f.name << ": " << db.error().ToString();
  }
}

// One unreadable table does not hide the others: the document is whole,
// the table is marked, and the dump still fails.
TEST(PartialDump, OtherTablesAreWrittenAndTheBrokenOneIsMarked) {
  for (JetVersion v : {JetVersion::kJet3, JetVersion::kJet4}) {
    jet_test::SmallDbOptions options;
    options.tamper = [](jet_test::FileBuilder& f) { jet_test::Put32(f.page(6) + 4, 77); };
    DumpOutcome out = DumpBytes(jet_test::BuildSmallDb(v, options));
    ASSERT_TRUE(out.opened);
    EXPECT_EQ(out.error.number(), 3049);
    EXPECT_EQ(out.error.description().rfind("table T: ", 0), 0u) << out.error.ToString();
    ASSERT_FALSE(out.json.is_discarded());
    ASSERT_EQ(out.json["tables"].size(), 2u);
    const auto& catalog = out.json["tables"][0];
    EXPECT_EQ(catalog["name"], "MSysObjects");
    EXPECT_EQ(catalog["row_count"], 3);
    const auto& t = out.json["tables"][1];
    EXPECT_EQ(t["name"], "T");
    EXPECT_EQ(t["columns"].size(), 9u);
    EXPECT_FALSE(t.contains("rows"));
    EXPECT_NE(t["error"].get<std::string>().find("data page 6 belongs to page 77"),
              std::string::npos);

    // A broken long value fails its table the same way.
    options.tamper = [](jet_test::FileBuilder& f) { jet_test::Put32(f.page(7) + 4, 0x4C41564D); };
    out = DumpBytes(jet_test::BuildSmallDb(v, options));
    ASSERT_FALSE(out.json.is_discarded());
    EXPECT_TRUE(out.json["tables"][1].contains("error"));
    EXPECT_EQ(out.json["tables"][0]["row_count"], 3);
  }
}

// Tables whose rows are held between the two reads and tables read twice
// (streamed) give the same document, damaged tables included.
TEST(PartialDump, HeldAndStreamedRowsGiveTheSameDump) {
  std::vector<Bytes> inputs;
  for (JetVersion v : {JetVersion::kJet3, JetVersion::kJet4}) {
    inputs.push_back(jet_test::BuildSmallDb(v));
    jet_test::SmallDbOptions options;
    options.tamper = [](jet_test::FileBuilder& f) { jet_test::Put32(f.page(7) + 4, 0x4C41564D); };
    inputs.push_back(jet_test::BuildSmallDb(v, options));
  }
  for (const auto& f : corpus::Named({"jet3/testV1997.mdb", "jet4/testV2003.mdb"})) {
    inputs.push_back(ReadAll(f.path));
  }
  for (const Bytes& input : inputs) {
    DumpOutcome held = DumpBytes(input);
    DumpOutcome streamed = DumpBytes(input, "", 0);
    ASSERT_TRUE(held.opened && streamed.opened);
    EXPECT_EQ(held.error.ToString(), streamed.error.ToString());
    ASSERT_FALSE(held.json.is_discarded());
    EXPECT_TRUE(held.json == streamed.json);
    EXPECT_GT(held.json["tables"].size(), 1u);
  }
}

TEST(LinkedTables, OdbcLinksOwnTheirDefinitions) {
  auto files =
      corpus::Named({"real/jet4/winofsql+subject-1126-sql-having__3683a0ee_Database1.mdb"});
  if (files.empty()) GTEST_SKIP() << "corpus not found at " << QUORLEN_CORPUS_DIR;
  auto db = Database::Open(files[0].path.string());
  ASSERT_TRUE(db.ok()) << db.error().ToString();
  auto linked = db.value()->linked_tables();
  ASSERT_EQ(linked.size(), 12u);
  int odbc = 0;
  std::vector<uint32_t> owned = db.value()->OwnedDefinitionPages();
  for (const CatalogObject* o : linked) {
    if (o->type == kObjectLinkedOdbc) {
      ++odbc;
      EXPECT_EQ(o->definition_page, static_cast<uint32_t>(o->id)) << o->name;
      EXPECT_TRUE(std::binary_search(owned.begin(), owned.end(), o->definition_page));
      EXPECT_NE(o->connect.find("DSN="), std::string::npos) << o->connect;
      EXPECT_NE(DescribeLinkTarget(*o).find(" table " + o->foreign_name), std::string::npos);
    } else {
      EXPECT_EQ(o->definition_page, 0u);
      EXPECT_NE(o->database.find("販売管理.xls"), std::string::npos) << o->database;
    }
    EXPECT_EQ(db.value()->FindTable(o->name), nullptr) << "a linked table is not a table";
  }
  EXPECT_EQ(odbc, 10);
  for (uint32_t page : {75u, 88u, 91u}) {
    EXPECT_TRUE(std::binary_search(owned.begin(), owned.end(), page)) << page;
  }
  // Their definitions read like any table's.
  auto def = db.value()->ReadTableDef(75);
  ASSERT_TRUE(def.ok()) << def.error().ToString();
  EXPECT_FALSE(def.value().columns.empty());
}

TEST(LinkedTables, LinkTargetsMaskPasswords) {
  CatalogObject odbc;
  odbc.type = kObjectLinkedOdbc;
  odbc.connect = "ODBC;DSN=Sales;UID=ann;PWD=s3cret;APP=x";
  odbc.foreign_name = "dbo.Orders";
  EXPECT_EQ(DescribeLinkTarget(odbc), "ODBC DSN=Sales;UID=ann;PWD=***;APP=x table dbo.Orders");
  odbc.connect = "ODBC;Password = hunter2";
  EXPECT_EQ(DescribeLinkTarget(odbc).find("hunter2"), std::string::npos);
  CatalogObject access;
  access.type = kObjectLinkedTable;
  access.database = "C:\\data\\other.mdb";
  access.connect = ";PWD=abc";
  access.foreign_name = "Orders";
  EXPECT_EQ(DescribeLinkTarget(access), "C:\\data\\other.mdb (;PWD=***) table Orders");
}

// Rows written before the table's first variable column was added carry
// no variable part; the real files hold such rows.
TEST(OlderRows, RealRowsWithoutAVariablePart) {
  auto files = corpus::Named(
      {"real/jet4/memishko+SportClub__Db1.mdb", "real/jet4/NBJ1995+SejongNaviFinal__test.mdb"});
  if (files.size() < 2) GTEST_SKIP() << "corpus not found at " << QUORLEN_CORPUS_DIR;
  struct Case {
    const char* table;
    RowPointer row;
    size_t length;
  };
  const Case cases[] = {{"протоколы", {98, 0}, 15}, {"sejongDB", {318, 2}, 0}};
  for (size_t i = 0; i < 2; ++i) {
    auto db = Database::Open(files[i].path.string());
    ASSERT_TRUE(db.ok());
    const CatalogObject* obj = db.value()->FindTable(cases[i].table);
    ASSERT_NE(obj, nullptr) << cases[i].table;
    auto def = db.value()->ReadTableDef(obj->table_page());
    ASSERT_TRUE(def.ok());
    const TableDef& t = def.value();
    RowDecoder decoder(t, db.value()->layout());
    bool seen = false;
    Status st = db.value()->ScanRows(t, [&](const RowRef& r) {
      Status d = decoder.Decode(r.bytes);
      EXPECT_TRUE(d.ok()) << d.error().ToString();
      if (!(r.location == cases[i].row)) return true;
      seen = true;
      if (cases[i].length) {
        EXPECT_EQ(r.bytes.size(), cases[i].length);
      }
      EXPECT_EQ(decoder.row_var_count(), 0);
      for (size_t k = 0; k < t.columns.size(); ++k) {
        if (t.columns[k].fixed()) continue;
        EXPECT_FALSE(decoder.fields()[k].present) << t.columns[k].name;
      }
      return true;
    });
    EXPECT_TRUE(st.ok()) << st.error().ToString();
    EXPECT_TRUE(seen) << cases[i].table;
  }
}

}  // namespace
}  // namespace engine
