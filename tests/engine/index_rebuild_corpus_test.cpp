// Rebuilding the indexes of real Access files: with every row left where it
// is, each rebuilt index must hold exactly the entries Access wrote, key for
// key and row for row. Keys the encoder cannot make come from the source's
// entries, with the segments it can make taken from the row as it is now.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "corpus_files.h"
#include "engine/check.h"
#include "format/header.h"
#include "format/index_page.h"
#include "format/row.h"
#include "io/cipher.h"
#include "keys/index_key.h"
#include "keys/rows/row_keys.h"
#include "memory_sink.h"
#include "reader/database.h"
#include "writer/index_key_maker.h"
#include "writer/table_index_writer.h"

namespace engine {
namespace {

namespace fs = std::filesystem;
using writer_test::PagerOver;
using Bytes = std::vector<uint8_t>;

struct Entry {
  Bytes key;
  RowPointer row;
  bool operator==(const Entry&) const = default;
};

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
                                        const TableDef& t, MemoryPageSink& sink, uint64_t& reused,
                                        uint64_t& runs,
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
  runs += writer.sort_runs();
  return built;
}

TEST(IndexRebuildCorpus, RebuiltIndexesHoldWhatAccessWrote) {
  const auto files = corpus::AllFiles();
  if (files.empty()) GTEST_SKIP() << "corpus not found at " QUORLEN_CORPUS_DIR;
  uint64_t indexes = 0, entries = 0, reused = 0, skipped = 0, runs = 0;
  for (const corpus::File& file : files) {
    SCOPED_TRACE(file.name);
    OpenOptions options;
    options.password = file.password;
    auto opened = Database::Open(file.path.string(), options);
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
      MemoryPageSink sink(db.layout(), db.page_count());
      auto built = Rebuild(db, table->name, t, sink, reused, runs);
      ASSERT_TRUE(built.ok()) << built.error().ToString();
      ASSERT_EQ(built->size(), t.physical_indexes.size());
      auto pager = PagerOver(sink);
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
      "undecodable rows skipped, %llu sorted runs spilled\n",
      files.size(), static_cast<unsigned long long>(indexes),
      static_cast<unsigned long long>(entries), static_cast<unsigned long long>(reused),
      static_cast<unsigned long long>(skipped), static_cast<unsigned long long>(runs));
  EXPECT_GT(runs, 0u);  // the small budget made the larger indexes spill
}

std::unique_ptr<Database> OpenCorpus(const char* name) {
  auto files = corpus::Named({name});
  if (files.empty()) return nullptr;
  auto db = Database::Open(files.front().path.string());
  return db.ok() ? std::move(db.value()) : nullptr;
}

// The physical index of MSysObjects on (ParentId, Name).
std::optional<uint32_t> ParentIdNameIndex(const TableDef& t) {
  const ColumnDef* parent = t.FindColumn("ParentId");
  const ColumnDef* name = t.FindColumn("Name");
  if (parent == nullptr || name == nullptr) return std::nullopt;
  for (const PhysicalIndex& pi : t.physical_indexes) {
    if (pi.columns.size() == 2 && pi.columns[0].column_number == parent->number &&
        pi.columns[1].column_number == name->number) {
      return pi.position;
    }
  }
  return std::nullopt;
}

TEST(IndexKeyMaker, KeysWithoutCodeComeFromTheSourceWithFreshSegmentsAround) {
  for (const char* file : {"jet3/testV1997.mdb", "jet4/testV2003.mdb"}) {
    SCOPED_TRACE(file);
    auto db = OpenCorpus(file);
    if (!db) GTEST_SKIP() << "corpus not found";
    const CatalogObject* catalog = db->FindTable("MSysObjects");
    ASSERT_NE(catalog, nullptr);
    auto def = db->ReadTableDef(catalog->table_page());
    ASSERT_TRUE(def.ok());
    const auto index = ParentIdNameIndex(def.value());
    ASSERT_TRUE(index.has_value());
    // The same table with a text sort order the encoder has no codes for.
    TableDef t = def.value();
    for (ColumnDef& c : t.columns) {
      if (c.type == key_type::kText || c.type == key_type::kMemo) c.sort_order = 0x0419;
    }
    std::map<uint32_t, Bytes> source;
    for (const Entry& e :
         LeafEntries(db->pager(), db->layout(), t.physical_indexes[*index].root_page)) {
      source[e.row.ToLe()] = e.key;
    }
    ASSERT_FALSE(source.empty());

    const ColumnDef* parent = t.FindColumn("ParentId");
    const size_t at = db->layout().row_count_size + parent->fixed_offset;
    std::vector<KeyColumn> key_columns =
        IndexKeyColumns(db->version(), t, t.physical_indexes[*index]).value();
    IndexKeyMaker keys(*db, "MSysObjects", t);
    uint64_t rows = 0;
    Status failure = Status::Ok();
    Status scanned = db->ScanRows(t, [&](const RowRef& row) {
      RowIndexKey k;
      failure = keys.MakeKey(*index, row.bytes, row.location, k);
      if (!failure.ok()) return false;
      EXPECT_TRUE(k.reused);
      EXPECT_EQ(k.key, source.at(row.location.ToLe()));
      // The row's ParentId remapped: its segment is encoded afresh, the
      // Name segment still comes from the source's entry.
      Bytes moved(row.bytes.begin(), row.bytes.end());
      const uint32_t new_parent = 0x00ABCDEF;
      for (int b = 0; b < 4; ++b)
        moved[at + static_cast<size_t>(b)] = static_cast<uint8_t>(new_parent >> (8 * b));
      failure = keys.MakeKey(*index, moved, row.location, k);
      if (!failure.ok()) return false;
      EncodedKey segment =
          EncodeKeySegment(key_columns[0], KeyValue::Bytes(ByteSpan(moved).subspan(at, 4)));
      EXPECT_TRUE(segment.ok());
      Bytes expected = segment.bytes;
      const Bytes& old = source.at(row.location.ToLe());
      expected.insert(expected.end(),
                      old.begin() + static_cast<std::ptrdiff_t>(segment.bytes.size()), old.end());
      EXPECT_EQ(k.key, expected);
      ++rows;
      return true;
    });
    ASSERT_TRUE(scanned.ok());
    ASSERT_TRUE(failure.ok()) << failure.error().ToString();
    EXPECT_GT(rows, 5u);
    EXPECT_EQ(keys.keys_reused(), 2 * rows);

    // A row the source index does not know cannot get a key.
    RowIndexKey k;
    Bytes some_row;
    ASSERT_TRUE(db->ScanRows(t, [&](const RowRef& row) {
                    some_row.assign(row.bytes.begin(), row.bytes.end());
                    return false;
                  }).ok());
    Status st = keys.MakeKey(*index, some_row, RowPointer{0xFFFF, 7}, k);
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error().number(), 3049);
    const std::string& text = st.error().description();
    EXPECT_NE(text.find("MSysObjects"), std::string::npos) << text;
    EXPECT_NE(text.find(IndexDisplayName(t, *index)), std::string::npos) << text;
    EXPECT_NE(text.find("page 65535 row 7"), std::string::npos) << text;
    EXPECT_NE(text.find("no entry"), std::string::npos) << text;

    // A row that cannot be decoded is refused, naming it.
    st = keys.MakeKey(*index, Bytes{}, RowPointer{12, 3}, k);
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error().number(), 3049);
    EXPECT_NE(st.error().description().find("page 12 row 3"), std::string::npos);
  }
}

// Some writers link leaves only among the children of one node page: the
// chain from the first leaf ends before the last. Reused keys come from the
// tree, which still names every leaf.
TEST(IndexKeyMaker, ReusedKeysAreFoundInLeavesTheChainDoesNotReach) {
  // The first file of each version that has such an index.
  std::set<JetVersion> tried;
  for (const corpus::File& file : corpus::Files({"jet3", "jet4", "other-writers"})) {
    SCOPED_TRACE(file.name);
    Bytes image;
    {
      std::ifstream in(file.path, std::ios::binary);
      image.assign(std::istreambuf_iterator<char>(in), {});
    }
    auto original = Database::Open(FileSource::FromBuffer(image));
    if (!original.ok() || tried.count(original.value()->version())) continue;
    const Layout& L = original.value()->layout();
    // The first text index of a user table whose leaf chain has two leaves
    // or more; the chain is cut after its first leaf.
    std::string table;
    uint32_t index = 0;
    uint32_t first_leaf = 0, second_leaf = 0;
    for (const CatalogObject* o : original.value()->tables()) {
      if (o->name.starts_with("MSys") || !table.empty()) continue;
      auto def = original.value()->ReadTableDef(o->table_page());
      ASSERT_TRUE(def.ok());
      for (const PhysicalIndex& pi : def.value().physical_indexes) {
        const ColumnDef* c = nullptr;
        for (const ColumnDef& col : def.value().columns) {
          if (!pi.columns.empty() && col.number == pi.columns[0].column_number) c = &col;
        }
        if (c == nullptr || c->type != key_type::kText || pi.root_page == 0) continue;
        std::vector<uint32_t> leaves;
        ASSERT_TRUE(WalkLeafChain(original.value()->pager(), L, pi.root_page,
                                  [&](const IndexPage& page, const IndexEntry&) {
                                    if (leaves.empty() || leaves.back() != page.number)
                                      leaves.push_back(page.number);
                                    return true;
                                  })
                        .ok());
        if (leaves.size() < 2) continue;
        table = o->name;
        index = pi.position;
        first_leaf = leaves[0];
        second_leaf = leaves[1];
        break;
      }
    }
    if (table.empty()) continue;
    tried.insert(original.value()->version());
    for (int b = 0; b < 4; ++b) {
      image[size_t{first_leaf} * L.page_size + L.ipage_next + static_cast<size_t>(b)] = 0;
      image[size_t{second_leaf} * L.page_size + L.ipage_prev + static_cast<size_t>(b)] = 0;
    }
    auto db = Database::Open(FileSource::FromBuffer(image));
    ASSERT_TRUE(db.ok()) << db.error().ToString();
    TableDef t = db.value()->ReadTableDef(db.value()->FindTable(table)->table_page()).value();
    std::map<uint32_t, Bytes> in_tree;
    ASSERT_TRUE(WalkTree(db.value()->pager(), L, t.physical_indexes[index].root_page,
                         [&](const IndexPage& page, int) {
                           if (page.is_leaf()) {
                             for (const IndexEntry& e : page.entries) in_tree[e.row.ToLe()] = e.key;
                           }
                           return true;
                         })
                    .ok());
    // A text sort order without codes: every key comes from the source.
    for (ColumnDef& c : t.columns) {
      if (c.type == key_type::kText || c.type == key_type::kMemo) c.sort_order = 0x0419;
    }
    IndexKeyMaker keys(*db.value(), table, t);
    Status failure = Status::Ok();
    size_t rows = 0;
    Status scanned = db.value()->ScanRows(t, [&](const RowRef& row) {
      RowIndexKey k;
      failure = keys.MakeKey(index, row.bytes, row.location, k);
      if (!failure.ok() || !k.has_entry) return failure.ok();
      // NULL and empty values need no code; the others are reused.
      EXPECT_EQ(k.key, in_tree.at(row.location.ToLe()));
      ++rows;
      return true;
    });
    ASSERT_TRUE(scanned.ok()) << scanned.error().ToString();
    ASSERT_TRUE(failure.ok()) << failure.error().ToString();
    EXPECT_EQ(rows, in_tree.size());
    EXPECT_GT(keys.keys_reused(), in_tree.size() / 2);
  }
  if (tried.empty()) GTEST_SKIP() << "no corpus file with a text index of two leaves or more";
  EXPECT_EQ(tried.size(), 2u) << "a text index of two leaves or more in one version only";
}

TEST(TableIndexWriter, DuplicateKeysInUniqueIndexesAndNullPrimaryKeysAreRefused) {
  for (const char* file : {"jet3/testV1997.mdb", "jet4/testV2003.mdb"}) {
    SCOPED_TRACE(file);
    auto db = OpenCorpus(file);
    if (!db) GTEST_SKIP() << "corpus not found";
    const CatalogObject* catalog = db->FindTable("MSysObjects");
    auto def = db->ReadTableDef(catalog->table_page());
    ASSERT_TRUE(def.ok());
    const TableDef& t = def.value();
    const auto index = ParentIdNameIndex(t);
    ASSERT_TRUE(index.has_value());
    ASSERT_TRUE(t.physical_indexes[*index].flags & kIndexUnique);

    // The same row placed twice.
    MemoryPageSink sink(db->layout(), db->page_count());
    TableIndexWriter writer(sink, *db, "MSysObjects", t, t.first_page, {});
    Bytes row;
    RowPointer at;
    ASSERT_TRUE(db->ScanRows(t, [&](const RowRef& r) {
                    row.assign(r.bytes.begin(), r.bytes.end());
                    at = r.location;
                    return false;
                  }).ok());
    ASSERT_TRUE(writer.AddRow(row, at, RowPointer{900, 0}).ok());
    ASSERT_TRUE(writer.AddRow(row, RowPointer{at.page, 200}, RowPointer{900, 1}).ok());
    auto built = writer.Finish();
    ASSERT_FALSE(built.ok());
    EXPECT_EQ(built.error().number(), 3049);
    EXPECT_NE(built.error().description().find("same key"), std::string::npos)
        << built.error().description();
    EXPECT_NE(built.error().description().find("row 200"), std::string::npos);
  }

  // A primary key column made NULL.
  auto db = OpenCorpus("jet4/indexTestV2003.mdb");
  if (!db) GTEST_SKIP() << "corpus not found";
  bool tested = false;
  for (const CatalogObject* table : db->tables()) {
    auto def = db->ReadTableDef(table->table_page());
    ASSERT_TRUE(def.ok());
    const TableDef& t = def.value();
    auto pk = PrimaryKeyIndex(t);
    if (!pk || t.physical_indexes[*pk].columns.size() != 1) continue;
    const uint16_t column = t.physical_indexes[*pk].columns[0].column_number;
    const ColumnDef* c = t.ColumnByNumber(column);
    if (c == nullptr || c->is_boolean()) continue;
    Bytes row;
    RowPointer at;
    ASSERT_TRUE(db->ScanRows(t, [&](const RowRef& r) {
                    row.assign(r.bytes.begin(), r.bytes.end());
                    at = r.location;
                    return false;
                  }).ok());
    if (row.empty()) continue;
    const size_t mask = (t.num_cols + 7) / 8;
    row[row.size() - mask + column / 8] &= static_cast<uint8_t>(~(1u << (column % 8)));
    MemoryPageSink sink(db->layout(), db->page_count());
    TableIndexWriter writer(sink, *db, table->name, t, t.first_page, {});
    Status st = writer.AddRow(row, at, at);
    ASSERT_FALSE(st.ok()) << table->name;
    EXPECT_EQ(st.error().number(), 3049);
    EXPECT_NE(st.error().description().find("NULL"), std::string::npos);
    EXPECT_NE(st.error().description().find(table->name), std::string::npos);
    tested = true;
    break;
  }
  EXPECT_TRUE(tested) << "no table with a one-column primary key and rows";
}

// Where byte `offset` of a table definition lies: the first page holds
// bytes 0..PS-1, each continuation page 8..PS-1 of itself.
std::pair<size_t, size_t> TdefPosition(size_t offset, uint32_t page_size) {
  if (offset < page_size) return {0, offset};
  offset -= page_size;
  return {1 + offset / (page_size - 8), 8 + offset % (page_size - 8)};
}

// Every index of every table rebuilt into fresh pages appended to the file,
// the table definitions pointed at the new roots, and the whole file put
// through the checker: its index checks (tree shape, links, free space,
// order, one entry per row, keys recomputed from the rows) find nothing.
// The index page maps are not rewritten here, so the map and ownership
// findings about the old and new pages are expected and ignored.
TEST(IndexRebuildCorpus, RebuiltTreesPassTheCheckersIndexChecks) {
  const auto files = corpus::AllFiles();
  if (files.empty()) GTEST_SKIP() << "corpus not found at " QUORLEN_CORPUS_DIR;
  uint64_t trees = 0, verified = 0;
  for (const corpus::File& file : files) {
    SCOPED_TRACE(file.name);
    OpenOptions options;
    options.password = file.password;
    auto opened = Database::Open(file.path.string(), options);
    ASSERT_TRUE(opened.ok()) << opened.error().ToString();
    const Database& db = *opened.value();
    const uint32_t ps = db.page_size();
    const uint32_t key = db.header().database_key;
    ByteSpan original = db.pager().source().bytes();
    Bytes patched(original.begin(), original.begin() + size_t{db.page_count()} * ps);
    MemoryPageSink sink(db.layout(), db.page_count());
    std::set<std::string> rebuilt;
    for (const CatalogObject* table : db.tables()) {
      auto def = db.ReadTableDef(table->table_page());
      ASSERT_TRUE(def.ok());
      const TableDef& t = def.value();
      RowDecoder decoder(t, db.layout());
      bool decodes = true;
      ASSERT_TRUE(db.ScanRows(t, [&](const RowRef& row) {
                      decodes = decoder.Decode(row.bytes).ok();
                      return decodes;
                    }).ok());
      if (!decodes || t.physical_indexes.empty()) continue;
      uint64_t reused = 0, runs = 0;
      auto built = Rebuild(db, table->name, t, sink, reused, runs);
      ASSERT_TRUE(built.ok()) << built.error().ToString();
      bool patched_all = true;
      for (size_t i = 0; i < t.physical_indexes.size(); ++i) {
        const PhysicalIndex& pi = t.physical_indexes[i];
        auto at = std::search(t.raw.begin(), t.raw.end(), pi.raw.begin(), pi.raw.end());
        ASSERT_NE(at, t.raw.end());
        const size_t root = static_cast<size_t>(at - t.raw.begin()) + db.layout().pidx_root;
        auto [page_index, offset] = TdefPosition(root, ps);
        if (offset + 4 > ps || page_index >= t.pages.size()) {
          patched_all = false;  // the pointer straddles two pages: leave it
          continue;
        }
        uint8_t* page = patched.data() + size_t{t.pages[page_index]} * ps;
        ApplyPageCipher(page, ps, t.pages[page_index], key);
        for (int b = 0; b < 4; ++b) {
          page[offset + static_cast<size_t>(b)] =
              static_cast<uint8_t>((*built)[i].root_page >> (8 * b));
        }
        ApplyPageCipher(page, ps, t.pages[page_index], key);
        ++trees;
      }
      if (patched_all) rebuilt.insert(table->name);
    }
    Bytes tail = sink.bytes();
    tail.erase(tail.begin(), tail.begin() + size_t{db.page_count()} * ps);
    for (size_t n = 0; n * ps < tail.size(); ++n) {
      ApplyPageCipher(tail.data() + n * ps, ps, db.page_count() + static_cast<uint32_t>(n), key);
    }
    patched.insert(patched.end(), tail.begin(), tail.end());

    auto report = CheckDatabase(FileSource::FromBuffer(std::move(patched)),
                                {.password = options.password, .max_per_code = 5});
    ASSERT_TRUE(report.ok()) << report.error().ToString();
    for (const CheckProblem& p : report->problems) {
      if (p.code.rfind("index-", 0) == 0 && rebuilt.count(p.table)) {
        ADD_FAILURE() << p.code << ": " << p.table << " " << p.index << ": " << p.message;
      }
    }
    verified += report->counts.keys_verified;
  }
  std::printf("%llu rebuilt trees checked, %llu keys verified by the checker\n",
              static_cast<unsigned long long>(trees), static_cast<unsigned long long>(verified));
}

}  // namespace
}  // namespace engine
