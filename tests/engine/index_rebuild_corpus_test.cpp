// Rebuilding the indexes of real Access files: with every row left where it
// is, each rebuilt index must hold exactly the entries Access wrote, key for
// key and row for row. Keys the encoder cannot make come from the source's
// entries, with the segments it can make taken from the row as it is now.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "engine/database.h"
#include "engine/index.h"
#include "engine/row.h"
#include "memory_sink.h"
#include "writer/index_key_maker.h"
#include "writer/table_index_writer.h"

namespace engine {
namespace {

namespace fs = std::filesystem;
using writer_test::MemorySink;
using Bytes = std::vector<uint8_t>;

struct Entry {
  Bytes key;
  RowPointer row;
  bool operator==(const Entry&) const = default;
};

std::map<std::string, std::string> Passwords() {
  std::map<std::string, std::string> out;
  std::ifstream in(fs::path(QUORLEN_CORPUS_DIR) / "real" / "files.tsv");
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::stringstream ss(line);
    std::string field;
    while (std::getline(ss, field, '\t')) f.push_back(field);
    if (f.size() >= 6 && !f[5].empty()) out["real/" + f[0]] = f[5];
  }
  return out;
}

std::vector<std::string> Files() {
  std::vector<std::string> out;
  for (const char* folder : {"jet3", "jet4", "other-writers", "real/jet3", "real/jet4"}) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(fs::path(QUORLEN_CORPUS_DIR) / folder, ec)) {
      if (e.path().extension() == ".mdb" || e.path().extension() == ".MDB") {
        out.push_back(std::string(folder) + "/" + e.path().filename().string());
      }
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<Entry> LeafEntries(const Pager& pager, const Layout& layout, uint32_t root) {
  std::vector<Entry> out;
  Status st = WalkLeafChain(pager, layout, root, [&](const IndexPage&, const IndexEntry& e) {
    out.push_back({e.key, e.row});
    return true;
  });
  EXPECT_TRUE(st.ok()) << st.error().ToString();
  return out;
}

// Rebuilds every index of `t` with each row at its source location.
Result<std::vector<BuiltIndex>> Rebuild(const Database& db, const std::string& name,
                                        const TableDef& t, MemorySink& sink, uint64_t& reused,
                                        const std::function<void(Bytes&)>& change_row = {}) {
  TableIndexWriter writer(sink, db, name, t, t.first_page,
                          {.budget_bytes = 64 << 10, .temp_dir = {}});
  Status failure = Status::Ok();
  Bytes copy;
  Status scanned = db.ScanRows(t, [&](const RowRef& row) {
    copy.assign(row.bytes.begin(), row.bytes.end());
    if (change_row) change_row(copy);
    failure = writer.AddRow(copy, row.location, row.location);
    return failure.ok();
  });
  if (!scanned.ok()) return scanned.error();
  if (!failure.ok()) return failure.error();
  auto built = writer.Finish();
  reused += writer.keys_reused();
  return built;
}

TEST(IndexRebuildCorpus, RebuiltIndexesHoldWhatAccessWrote) {
  const auto files = Files();
  if (files.empty()) GTEST_SKIP() << "corpus not found at " QUORLEN_CORPUS_DIR;
  const auto passwords = Passwords();
  uint64_t indexes = 0, entries = 0, reused = 0, skipped = 0;
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    OpenOptions options;
    if (auto p = passwords.find(file); p != passwords.end()) options.password = p->second;
    auto opened = Database::Open((fs::path(QUORLEN_CORPUS_DIR) / file).string(), options);
    ASSERT_TRUE(opened.ok()) << opened.error().ToString();
    const Database& db = *opened.value();
    for (const CatalogObject* table : db.tables()) {
      SCOPED_TRACE(table->name);
      auto def = db.ReadTableDef(table->table_page());
      ASSERT_TRUE(def.ok());
      const TableDef& t = def.value();
      // Rows the reader cannot decode are the damage the compactor refuses;
      // the key maker refuses them too (tested below).
      RowDecoder decoder(t, db.layout());
      bool decodes = true;
      ASSERT_TRUE(db.ScanRows(t, [&](const RowRef& row) {
                      decodes = decoder.Decode(row.bytes).ok();
                      return decodes;
                    }).ok());
      if (!decodes) {
        ++skipped;
        continue;
      }
      MemorySink sink(db.version(), db.page_count());
      auto built = Rebuild(db, table->name, t, sink, reused);
      ASSERT_TRUE(built.ok()) << built.error().ToString();
      ASSERT_EQ(built->size(), t.physical_indexes.size());
      auto pager = sink.MakePager();
      for (size_t i = 0; i < t.physical_indexes.size(); ++i) {
        SCOPED_TRACE("index " + IndexDisplayName(t, static_cast<uint32_t>(i)));
        const auto expected = LeafEntries(db.pager(), db.layout(), t.physical_indexes[i].root_page);
        const auto got = LeafEntries(*pager, db.layout(), (*built)[i].root_page);
        EXPECT_EQ(got.size(), expected.size());
        for (size_t k = 0; k < std::min(got.size(), expected.size()); ++k) {
          if (!(got[k] == expected[k])) {
            ADD_FAILURE() << "entry " << k << " differs";
            break;
          }
        }
        ++indexes;
        entries += got.size();
      }
    }
  }
  std::printf(
      "%zu files, %llu indexes, %llu entries rebuilt, %llu keys reused, %llu tables with "
      "undecodable rows skipped\n",
      files.size(), static_cast<unsigned long long>(indexes),
      static_cast<unsigned long long>(entries), static_cast<unsigned long long>(reused),
      static_cast<unsigned long long>(skipped));
}

}  // namespace
}  // namespace engine
