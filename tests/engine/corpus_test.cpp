// The reader over the real Access files of the corpus (skipped when the
// corpus is absent): every table, row, long value, index and property blob
// of every file; ACE files opened; truncated and byte-flipped copies fail
// cleanly.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <random>
#include <set>

#include "corpus_files.h"
#include "engine/compact.h"
#include "format/index_page.h"
#include "format/row.h"
#include "reader/database.h"
#include "reader/dump.h"

namespace engine {
namespace {

namespace fs = std::filesystem;

std::vector<fs::path> CorpusFiles(const std::string& sub) {
  std::vector<fs::path> out;
  fs::path dir = fs::path(QUORLEN_CORPUS_DIR) / sub;
  if (!fs::is_directory(dir)) return out;
  for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path());
  std::sort(out.begin(), out.end());
  return out;
}

#define SKIP_WITHOUT_CORPUS(files)                          \
  if ((files).empty())                                      \
  GTEST_SKIP() << "corpus not found at " QUORLEN_CORPUS_DIR \
                  "; the reader's own small databases still run"

std::vector<uint8_t> ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

struct Counts {
  uint64_t rows = 0, long_values = 0, indexes = 0, entries = 0, properties = 0;
};

// Reads everything in the database, asserting success.
void ReadEverything(const Database& db, Counts& counts, const std::string& file) {
  std::vector<uint8_t> value;
  for (const CatalogObject* table : db.tables()) {
    SCOPED_TRACE(file + ": table " + table->name);
    auto def = db.ReadTableDef(table->table_page());
    ASSERT_TRUE(def.ok()) << def.error().ToString();
    const TableDef& t = def.value();
    EXPECT_EQ(t.parsed_length, t.tdef_len);
    RowDecoder decoder(t, db.layout());
    std::set<uint32_t> live;
    const ColumnDef* prop = t.FindColumn("LvProp");
    Status st = db.ScanRows(t, [&](const RowRef& row) {
      live.insert(row.location.ToLe());
      Status d = decoder.Decode(row.bytes);
      EXPECT_TRUE(d.ok()) << d.error().ToString();
      if (!d.ok()) return false;
      ++counts.rows;
      for (size_t i = 0; i < t.columns.size(); ++i) {
        const FieldRef& f = decoder.fields()[i];
        if (!t.columns[i].is_long_value() || !f.present) continue;
        Status lv = db.ReadLongValue(f.bytes, value);
        EXPECT_TRUE(lv.ok()) << lv.error().ToString();
        ++counts.long_values;
        if (&t.columns[i] == prop && !value.empty()) {
          auto blob = db.ReadProperties(value);
          EXPECT_TRUE(blob.ok()) << blob.error().ToString();
          if (blob.ok()) counts.properties += blob.value().groups.size();
        }
      }
      return true;
    });
    ASSERT_TRUE(st.ok()) << st.error().ToString();

    for (const PhysicalIndex& index : t.physical_indexes) {
      ++counts.indexes;
      std::vector<std::vector<uint8_t>> by_chain, by_tree;
      Status chain = WalkLeafChain(
          db.pager(), db.layout(), index.root_page, [&](const IndexPage&, const IndexEntry& e) {
            std::vector<uint8_t> k = e.key;
            k.push_back(static_cast<uint8_t>(e.row.page >> 16));
            k.push_back(static_cast<uint8_t>(e.row.page >> 8));
            k.push_back(static_cast<uint8_t>(e.row.page));
            k.push_back(e.row.row);
            by_chain.push_back(std::move(k));
            EXPECT_TRUE(live.count(e.row.ToLe())) << "entry points at a row that is not live";
            return true;
          });
      ASSERT_TRUE(chain.ok()) << chain.error().ToString();
      Status tree =
          WalkTree(db.pager(), db.layout(), index.root_page, [&](const IndexPage& page, int) {
            if (!page.is_leaf()) return true;
            for (const auto& e : page.entries) {
              std::vector<uint8_t> k = e.key;
              k.push_back(static_cast<uint8_t>(e.row.page >> 16));
              k.push_back(static_cast<uint8_t>(e.row.page >> 8));
              k.push_back(static_cast<uint8_t>(e.row.page));
              k.push_back(e.row.row);
              by_tree.push_back(std::move(k));
            }
            return true;
          });
      ASSERT_TRUE(tree.ok()) << tree.error().ToString();
      EXPECT_EQ(by_chain, by_tree) << "leaf chain and tree disagree";
      EXPECT_TRUE(std::is_sorted(by_chain.begin(), by_chain.end()));
      if (!(index.flags & kIndexIgnoreNulls)) {
        EXPECT_EQ(by_chain.size(), live.size()) << "index at root " << index.root_page;
      }
      counts.entries += by_chain.size();
    }
  }
}

TEST(Corpus, EveryStructureOfEveryFileReads) {
  auto files = corpus::AllFiles();
  SKIP_WITHOUT_CORPUS(files);
  Counts counts;
  for (const auto& f : files) {
    auto db = Database::Open(f.path.string(), {.password = f.password});
    ASSERT_TRUE(db.ok()) << f.name << ": " << db.error().ToString();
    ReadEverything(*db.value(), counts, f.name);
    auto summary = Summarize(*db.value());
    EXPECT_TRUE(summary.ok()) << f.name;
  }
  std::printf(
      "corpus: %zu files, %llu rows, %llu long values, %llu indexes with %llu entries, "
      "%llu property groups\n",
      files.size(), static_cast<unsigned long long>(counts.rows),
      static_cast<unsigned long long>(counts.long_values),
      static_cast<unsigned long long>(counts.indexes),
      static_cast<unsigned long long>(counts.entries),
      static_cast<unsigned long long>(counts.properties));
  EXPECT_GT(counts.entries, 0u);
}

// Every structure of every ACE file (the encrypted ones opened with their
// passwords) reads as a Jet 4 file's does: rows, long values, property
// blobs, index chains and trees.
TEST(Corpus, EveryStructureOfEveryAceFileReads) {
  auto files = corpus::AceFiles();
  SKIP_WITHOUT_CORPUS(files);
  Counts counts;
  size_t read = 0;
  for (const auto& f : files) {
    // Its catalog points a property blob at pages of other structures.
    if (f.name.ends_with("InventorySystemPalasia_Billing.accdb")) continue;
    auto db = Database::Open(f.path.string(), {.password = f.password});
    ASSERT_TRUE(db.ok()) << f.name << ": " << db.error().ToString();
    ReadEverything(*db.value(), counts, f.name);
    ++read;
  }
  EXPECT_GT(read, 70u);
  EXPECT_GT(counts.entries, 10000u);
}

// Calculated columns are dumped as their results, typed by each column's
// ResultType property (the declared type byte says Integer for a Yes/No
// result, Double for a decimal one). Figures from the file's own text.
TEST(Corpus, AceCalculatedColumnsDumpTheirResults) {
  auto files = corpus::Named({"ace/calcFieldTestV2010.accdb"});
  SKIP_WITHOUT_CORPUS(files);
  auto db = Database::Open(files[0].path.string());
  ASSERT_TRUE(db.ok()) << db.error().ToString();
  auto dump = DumpToString(*db.value());
  ASSERT_TRUE(dump.ok()) << dump.error().ToString();
  const std::string& d = dump.value();
  for (
      const char* want : {
          R"({ "name": "IsRich", "type": "boolean", "length": 39 })",
          R"({ "name": "WeeklySalary", "type": "numeric", "length": 39 })",
          R"({ "name": "FloatTest", "type": "single", "length": 39 })",
          R"([1, "Bruce", "Wayne", "Wayne, Bruce", "Gotham", 12, "1000000.0000", "83333.3333", true, "Wayne, Bruce=Wayne, Bruce", "19230.7692307692")",
          R"([2, "Bart", "Simpson", "Simpson, Bart", "Springfield", 13, "-1.0000", "-0.0833", false,)",
      }) {
    EXPECT_NE(d.find(want), std::string::npos) << want;
  }
}

// ACE files open with the format their version byte names and the Jet 4
// page layout.
TEST(Corpus, AceFilesOpenAsAce) {
  auto files = CorpusFiles("ace");
  SKIP_WITHOUT_CORPUS(files);
  size_t opened = 0;
  for (const auto& f : files) {
    SCOPED_TRACE(f.string());
    auto db = Database::Open(f.string());
    if (!db.ok()) {
      EXPECT_EQ(db.error().number(), 3031) << db.error().ToString();
      continue;
    }
    ++opened;
    EXPECT_EQ(static_cast<int>(db.value()->header().format), ReadAll(f)[0x14]);
    EXPECT_TRUE(IsAce(db.value()->header().format));
    EXPECT_EQ(db.value()->version(), JetVersion::kJet4);
    EXPECT_EQ(db.value()->page_size(), 4096u);
  }
  EXPECT_GE(opened, files.size() - 4);
}

// Opens and dumps bytes; success or an error with a number, never a crash.
void OpenAndDump(std::vector<uint8_t> bytes, const std::string& what) {
  auto db = Database::Open(FileSource::FromBuffer(std::move(bytes)));
  if (!db.ok()) {
    EXPECT_TRUE(db.error().number() == 3343 || db.error().number() == 3049)
        << what << ": " << db.error().ToString();
    return;
  }
  Status st = WriteDump(*db.value(), [](std::string_view) { return true; });
  if (!st.ok()) {
    EXPECT_EQ(st.error().number(), 3049) << what << ": " << st.error().ToString();
  }
}

TEST(Corpus, TruncatedCopiesFailCleanly) {
  auto files = corpus::Named({"jet3/testV1997.mdb", "jet4/testUnicodeCompV2003.mdb"});
  SKIP_WITHOUT_CORPUS(files);
  for (const auto& f : files) {
    std::vector<uint8_t> full = ReadAll(f.path);
    // Cuts at page boundaries and inside pages, dense at the start.
    std::vector<size_t> cuts = {0, 1, 0x14, 0x15, 100, 2047, 2048, 4095, 4096, 8191, 12288};
    for (size_t c = 13000; c < full.size(); c += full.size() / 60) cuts.push_back(c);
    for (size_t cut : cuts) {
      if (cut > full.size()) continue;
      OpenAndDump(std::vector<uint8_t>(full.begin(), full.begin() + static_cast<ptrdiff_t>(cut)),
                  f.name + " cut at " + std::to_string(cut));
    }
  }
}

TEST(Corpus, ByteFlipsFailCleanly) {
  auto files = corpus::Named({"jet3/overflowTestV1997.mdb", "jet4/delColTestV2000.mdb"});
  SKIP_WITHOUT_CORPUS(files);
  std::mt19937 rng(20261207);
  for (const auto& f : files) {
    std::vector<uint8_t> full = ReadAll(f.path);
    for (int round = 0; round < 40; ++round) {
      std::vector<uint8_t> copy = full;
      // Damage after page 0, where every structure the reader follows lives.
      std::uniform_int_distribution<size_t> pos(2048, copy.size() - 1);
      for (int k = 0; k < 30; ++k) copy[pos(rng)] ^= static_cast<uint8_t>(1u << (rng() % 8));
      OpenAndDump(std::move(copy), f.name + " round " + std::to_string(round));
    }
  }
}

}  // namespace
}  // namespace engine
