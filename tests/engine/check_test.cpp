// The structural checker against copies of the sample files damaged in
// known ways: each damage must be named by its code at its place. The
// damage is located through the reader (no hard-coded offsets), applied to
// an in-memory copy (the samples stay untouched), and the copy is checked.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "corpus_files.h"
#include "engine/check.h"
#include "format/index_page.h"
#include "format/long_value.h"
#include "format/row.h"
#include "reader/database.h"
#include "small_db.h"

namespace engine {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

fs::path Sample(const std::string& name) {
  return fs::path(QUORLEN_CORPUS_DIR) / (name.find("1997") != std::string::npos ? "jet3" : "jet4") /
         name;
}

#define LOAD_OR_SKIP(var, name)                                                          \
  if (!fs::exists(Sample(name))) GTEST_SKIP() << "sample file absent: " << Sample(name); \
  std::vector<uint8_t> var = ReadFile(Sample(name))

CheckReport Check(const std::vector<uint8_t>& bytes, uint32_t cap = 100) {
  CheckOptions options;
  options.max_per_code = cap;
  auto report = CheckDatabase(FileSource::FromBuffer(bytes), options);
  EXPECT_TRUE(report.ok()) << (report.ok() ? "" : report.error().ToString());
  return report.ok() ? std::move(report.value()) : CheckReport{};
}

// The first problem with `code` (and, when given, at `page`).
const CheckProblem* Find(const CheckReport& r, const std::string& code,
                         std::optional<uint32_t> page = std::nullopt) {
  for (const CheckProblem& p : r.problems) {
    if (p.code == code && (!page || p.page == page)) return &p;
  }
  return nullptr;
}

// The reader over a buffer, for locating what to damage. Spans it hands out
// point into `bytes`, so their offsets are file offsets.
struct Located {
  std::unique_ptr<Database> db;
  const std::vector<uint8_t>& bytes;
  explicit Located(const std::vector<uint8_t>& b) : bytes(b) {
    auto opened = Database::Open(FileSource::FromSpan(bytes));
    if (!opened.ok())
      ADD_FAILURE() << opened.error().ToString();
    else
      db = std::move(opened.value());
  }
  size_t Offset(const uint8_t* p) const { return static_cast<size_t>(p - bytes.data()); }
  size_t PageOffset(uint32_t page) const { return static_cast<size_t>(page) * db->page_size(); }
  TableDef Table(const std::string& name) const {
    const CatalogObject* o = db->FindTable(name);
    EXPECT_NE(o, nullptr) << name;
    return db->ReadTableDef(o->table_page()).value();
  }
  // The user tables (not MSys*) with their definitions.
  std::vector<TableDef> UserTables() const {
    std::vector<TableDef> out;
    for (const CatalogObject* o : db->tables()) {
      if (o->name.rfind("MSys", 0) == 0) continue;
      auto def = db->ReadTableDef(o->table_page());
      if (def.ok()) out.push_back(std::move(def.value()));
    }
    return out;
  }
  std::vector<uint32_t> Leaves(const PhysicalIndex& index) const {
    std::vector<uint32_t> leaves;
    Status st = WalkLeafChain(db->pager(), db->layout(), index.root_page,
                              [&](const IndexPage& page, const IndexEntry&) {
                                if (leaves.empty() || leaves.back() != page.number)
                                  leaves.push_back(page.number);
                                return true;
                              });
    EXPECT_TRUE(st.ok());
    return leaves;
  }
};

void Put32(std::vector<uint8_t>& bytes, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

TEST(CheckDamage, FlippedIndexKeyByteIsAKeyMismatchOnItsLeaf) {
  LOAD_OR_SKIP(bytes, "indexTestV2000.mdb");
  CheckReport clean = Check(bytes);
  std::vector<uint8_t> damaged = bytes;
  uint32_t leaf = 0;
  {
    Located at(bytes);
    const Layout& L = at.db->layout();
    for (const TableDef& t : at.UserTables()) {
      for (const PhysicalIndex& pi : t.physical_indexes) {
        const ColumnDef* first = t.ColumnByNumber(pi.columns.at(0).column_number);
        if (first == nullptr || first->type != static_cast<uint8_t>(ColumnType::kLong)) continue;
        for (uint32_t page : at.Leaves(pi)) {
          auto decoded = DecodeIndexPage(at.db->pager().Page(page).value(), L, page);
          if (decoded.ok() && decoded->entries.size() >= 2 && decoded->prefix_length == 0) {
            leaf = page;
            // The last value byte of the first entry's key: keeps its order
            // among the entries but no longer matches the row.
            size_t key_size = decoded->entries[0].key.size();
            damaged[at.PageOffset(page) + L.ipage_entries + key_size - 1] ^= 0x01;
            break;
          }
        }
        if (leaf) break;
      }
      if (leaf) break;
    }
  }
  ASSERT_NE(leaf, 0u) << "no leaf of a Long index with two entries";
  CheckReport r = Check(damaged);
  const CheckProblem* p = Find(r, "index-key-mismatch", leaf);
  ASSERT_NE(p, nullptr) << FormatCheckReport(r);
  EXPECT_EQ(p->entry, 0u);
  EXPECT_FALSE(p->table.empty());
  EXPECT_FALSE(p->index.empty());
  EXPECT_EQ(r.counts.keys_verified, clean.counts.keys_verified);
}

TEST(CheckDamage, WrongRowCountAndAClearedMapBitAreBothReported) {
  LOAD_OR_SKIP(bytes, "testV1997.mdb");
  CheckReport clean = Check(bytes);
  ASSERT_EQ(clean.total_problems(), 0u) << FormatCheckReport(clean);
  std::vector<uint8_t> damaged = bytes;
  std::string counted_table, unmapped_table;
  uint32_t unmapped_page = 0;
  {
    Located at(bytes);
    const Layout& L = at.db->layout();
    std::vector<TableDef> tables = at.UserTables();
    ASSERT_GE(tables.size(), 2u);
    // Damage 1: clear the bit of a data page in a table's owned map.
    size_t mapped = tables.size();
    for (size_t i = 0; i < tables.size() && unmapped_page == 0; ++i) {
      const TableDef& t = tables[i];
      auto map = at.db->ReadUsageMap(t.owned_map);
      if (!map.ok() || map->type != 0 || map->pages.empty()) continue;
      auto page = at.db->ReadDataPage(t.owned_map.page);
      const RowSlot& slot = page->slots.at(t.owned_map.row);
      unmapped_page = map->pages.front();
      uint32_t bit = unmapped_page - map->start_page;
      damaged[at.PageOffset(t.owned_map.page) + slot.start + 5 + bit / 8] &=
          static_cast<uint8_t>(~(1u << (bit % 8)));
      mapped = i;
    }
    ASSERT_LT(mapped, tables.size());
    // Damage 2: the row count of another table.
    const TableDef& a = tables[mapped == 0 ? 1 : 0];
    Put32(damaged, at.PageOffset(a.first_page) + L.tdef_num_rows, a.num_rows + 5);
    for (const auto& o : at.db->objects()) {
      if (o.is_table() && o.table_page() == a.first_page) counted_table = o.name;
      if (o.is_table() && o.table_page() == tables[mapped].first_page) unmapped_table = o.name;
    }
  }
  ASSERT_NE(unmapped_page, 0u);
  CheckReport r = Check(damaged);
  // Both tables now disagree with their counts: the damaged count, and the
  // table whose page left its map (its rows are no longer found).
  std::vector<std::string> counted;
  for (const CheckProblem& p : r.problems) {
    if (p.code == "row-count-mismatch") counted.push_back(p.table);
  }
  std::sort(counted.begin(), counted.end());
  std::vector<std::string> want = {counted_table, unmapped_table};
  std::sort(want.begin(), want.end());
  EXPECT_EQ(counted, want) << FormatCheckReport(r);
  // The page still names the table and holds rows it has nowhere else: a
  // reader going by the map loses them, which is damage, not a leftover.
  const CheckProblem* map = Find(r, "data-page-unmapped", unmapped_page);
  ASSERT_NE(map, nullptr) << FormatCheckReport(r);
  EXPECT_EQ(map->table, unmapped_table);
  EXPECT_EQ(map->severity, Severity::kDamage);
  EXPECT_EQ(Find(r, "usage-map-disagrees", unmapped_page), nullptr) << FormatCheckReport(r);
}

TEST(CheckDamage, AStaleCopyOfADataPageOutsideItsMapIsALeftover) {
  // A free page made a byte copy of one of a table's data pages and taken
  // out of the free pages: it names the table and is in no map, as Access
  // leaves a page it rewrote elsewhere. Its rows all live on the mapped
  // page, so nothing is lost: a leftover. With an index entry pointed at
  // the copy, rows of the table live there that a reader going by the map
  // would not find: damage.
  LOAD_OR_SKIP(bytes, "indexTestV2000.mdb");
  ASSERT_EQ(Check(bytes).damage_count(), 0u);
  std::vector<uint8_t> copy = bytes;
  uint32_t target = 0, source = 0, leaf = 0;
  size_t entry_row_ptr = 0;
  {
    Located at(bytes);
    const Layout& L = at.db->layout();
    auto global = at.db->ReadUsageMap(RowPointer{1, 0});
    ASSERT_TRUE(global.ok());
    ASSERT_EQ(global->type, 0);
    for (uint32_t p : global->pages) {
      if (p < at.db->pager().page_count()) target = p;
    }
    ASSERT_NE(target, 0u) << "no free page";
    for (const TableDef& t : at.UserTables()) {
      auto owned = at.db->ReadUsageMap(t.owned_map);
      if (!owned.ok() || owned->pages.empty() || t.physical_indexes.empty()) continue;
      source = owned->pages.front();
      // A leaf entry of the table's first index, to point at the copy.
      auto page = DecodeIndexPage(at.db->pager().Page(t.physical_indexes[0].root_page).value(), L,
                                  t.physical_indexes[0].root_page);
      if (!page.ok() || !page->is_leaf() || page->entries.empty() || page->prefix_length != 0) {
        continue;
      }
      leaf = page->number;
      entry_row_ptr = at.PageOffset(leaf) + L.ipage_entries + page->entries[0].key.size();
      break;
    }
    ASSERT_NE(source, 0u) << "no indexed table with data pages";
    std::copy_n(bytes.begin() + at.PageOffset(source), L.page_size,
                copy.begin() + at.PageOffset(target));
    // Clear the copy's bit in the global map (page 1, row 0: type, start
    // page, bitmap).
    auto page1 = at.db->ReadDataPage(1);
    const uint32_t bit = target - global->start_page;
    copy[at.PageOffset(1) + page1->slots[0].start + 5 + bit / 8] &=
        static_cast<uint8_t>(~(1u << (bit % 8)));
  }
  CheckReport r = Check(copy);
  const CheckProblem* p = Find(r, "usage-map-disagrees", target);
  ASSERT_NE(p, nullptr) << FormatCheckReport(r);
  EXPECT_EQ(p->severity, Severity::kLeftover);
  EXPECT_EQ(r.damage_count(), 0u) << FormatCheckReport(r);

  // An index entry pointing at the copy's first row: rows of the table live
  // there, and a reader going by the map would lose them.
  std::vector<uint8_t> pointed = copy;
  pointed[entry_row_ptr] = static_cast<uint8_t>(target >> 16);
  pointed[entry_row_ptr + 1] = static_cast<uint8_t>(target >> 8);
  pointed[entry_row_ptr + 2] = static_cast<uint8_t>(target);
  pointed[entry_row_ptr + 3] = 0;
  r = Check(pointed);
  p = Find(r, "data-page-unmapped", target);
  ASSERT_NE(p, nullptr) << FormatCheckReport(r);
  EXPECT_EQ(p->severity, Severity::kDamage);
  EXPECT_NE(Find(r, "index-entry-dangling", leaf), nullptr) << FormatCheckReport(r);
}

TEST(CheckDamage, LongValueChainCycleAndShortChain) {
  // A chained long value: its first piece made to point at itself, and
  // (separately) its declared length raised past what the chain holds.
  for (const char* name : {"testV1997.mdb", "testV2000.mdb", "test2V2000.mdb"}) {
    if (!fs::exists(Sample(name))) continue;
    std::vector<uint8_t> bytes = ReadFile(Sample(name));
    size_t header_at = 0, piece_at = 0;
    uint32_t first_le = 0, page_size = 0;
    {
      Located at(bytes);
      const Layout& L = at.db->layout();
      page_size = at.db->page_size();
      for (const CatalogObject* o : at.db->tables()) {
        if (header_at) break;
        TableDef t = at.db->ReadTableDef(o->table_page()).value();
        RowDecoder decoder(t, L);
        (void)at.db->ScanRows(t, [&](const RowRef& row) {
          if (!decoder.Decode(row.bytes).ok()) return true;
          for (size_t k = 0; k < t.columns.size(); ++k) {
            const FieldRef& f = decoder.fields()[k];
            if (!t.columns[k].is_long_value() || !f.present) continue;
            auto h = DecodeLongValueHeader(f.bytes);
            if (!h.ok() || h->kind != LongValueKind::kChain) continue;
            header_at = at.Offset(f.bytes.data());
            first_le = h->first.ToLe();
            auto page = at.db->ReadDataPage(h->first.page);
            piece_at = at.PageOffset(h->first.page) + page->slots.at(h->first.row).start;
            return false;
          }
          return true;
        });
      }
    }
    if (header_at == 0) continue;

    std::vector<uint8_t> cycle = bytes;
    Put32(cycle, piece_at, first_le);
    CheckReport r = Check(cycle);
    EXPECT_NE(Find(r, "lv-chain-cycle"), nullptr) << name << "\n" << FormatCheckReport(r);

    std::vector<uint8_t> shortened = bytes;
    uint32_t word = Le32(&bytes[header_at]);
    Put32(shortened, header_at, (word & 0xC0000000u) | ((word & 0x3FFFFFFF) + 100000));
    r = Check(shortened);
    const CheckProblem* p = Find(r, "lv-chain-short");
    ASSERT_NE(p, nullptr) << name << "\n" << FormatCheckReport(r);
    EXPECT_EQ(p->page, static_cast<uint32_t>(header_at / page_size));
    return;
  }
  GTEST_SKIP() << "no sample with a chained long value";
}

TEST(CheckDamage, LeafChainCycle) {
  LOAD_OR_SKIP(bytes, "compIndexTestV2000.mdb");
  std::vector<uint8_t> damaged = bytes;
  uint32_t last = 0, first = 0;
  {
    Located at(bytes);
    for (const TableDef& t : at.UserTables()) {
      for (const PhysicalIndex& pi : t.physical_indexes) {
        std::vector<uint32_t> leaves = at.Leaves(pi);
        if (leaves.size() < 2) continue;
        first = leaves.front();
        last = leaves.back();
        Put32(damaged, at.PageOffset(last) + at.db->layout().ipage_next, first);
        break;
      }
      if (last) break;
    }
  }
  ASSERT_NE(last, 0u) << "no index with two leaves";
  CheckReport r = Check(damaged);
  const CheckProblem* p = Find(r, "index-leaf-cycle", last);
  ASSERT_NE(p, nullptr) << FormatCheckReport(r);
  EXPECT_NE(p->message.find(std::to_string(first)), std::string::npos);
}

TEST(CheckDamage, PageClaimedByATableAndAnIndex) {
  // The index's page map pointer replaced by the table's owned-pages map:
  // the table's data pages now belong to both.
  LOAD_OR_SKIP(bytes, "indexTestV2000.mdb");
  std::vector<uint8_t> damaged = bytes;
  uint32_t data_page = 0;
  {
    Located at(bytes);
    const Layout& L = at.db->layout();
    for (const TableDef& t : at.UserTables()) {
      if (t.physical_indexes.empty() || t.pages.size() != 1) continue;
      auto owned = at.db->ReadUsageMap(t.owned_map);
      if (!owned.ok() || owned->pages.empty()) continue;
      const PhysicalIndex& pi = t.physical_indexes[0];
      auto pos = std::search(t.raw.begin(), t.raw.end(), pi.raw.begin(), pi.raw.end());
      ASSERT_NE(pos, t.raw.end());
      size_t at_def = static_cast<size_t>(pos - t.raw.begin());
      Put32(damaged, at.PageOffset(t.first_page) + at_def + L.pidx_map, t.owned_map.ToLe());
      data_page = owned->pages.front();
      break;
    }
  }
  ASSERT_NE(data_page, 0u);
  CheckReport r = Check(damaged);
  const CheckProblem* p = Find(r, "page-double-owner", data_page);
  ASSERT_NE(p, nullptr) << FormatCheckReport(r);
  EXPECT_NE(p->message.find("index"), std::string::npos);
}

TEST(CheckDamage, OverflowTargetWithoutItsFlag) {
  LOAD_OR_SKIP(bytes, "overflowTestV2000.mdb");
  std::vector<uint8_t> damaged = bytes;
  std::optional<RowPointer> lookup;
  {
    Located at(bytes);
    const Layout& L = at.db->layout();
    for (const TableDef& t : at.UserTables()) {
      auto owned = at.db->ReadUsageMap(t.owned_map);
      for (uint32_t p : owned->pages) {
        auto page = at.db->ReadDataPage(p);
        for (size_t i = 0; i < page->slots.size() && !lookup; ++i) {
          const RowSlot& s = page->slots[i];
          if (!s.lookup() || s.deleted()) continue;
          RowPointer target = RowPointer::FromLe(Le32(&bytes[at.PageOffset(p) + s.start]));
          size_t entry = at.PageOffset(target.page) + L.data_header_size + 2 * target.row;
          damaged[entry + 1] &= 0x7F;  // clear 0x8000
          lookup = RowPointer{p, static_cast<uint8_t>(i)};
        }
        if (lookup) break;
      }
      if (lookup) break;
    }
  }
  ASSERT_TRUE(lookup.has_value()) << "no overflow row in the sample";
  CheckReport r = Check(damaged);
  const CheckProblem* p = Find(r, "overflow-target-not-flagged", lookup->page);
  ASSERT_NE(p, nullptr) << FormatCheckReport(r);
  EXPECT_EQ(p->row, lookup->row);
}

TEST(CheckDamage, TruncatedFiles) {
  LOAD_OR_SKIP(bytes, "testV1997.mdb");
  // Cut inside a page: the length is no longer whole pages.
  std::vector<uint8_t> cut(bytes.begin(), bytes.end() - 100);
  CheckReport r = Check(cut);
  const CheckProblem* p = Find(r, "file-size", 0u);
  ASSERT_NE(p, nullptr) << FormatCheckReport(r);

  // Cut to half its pages: everything pointing past the end is named, and
  // the report is capped per code with the rest counted.
  std::vector<uint8_t> half(bytes.begin(), bytes.begin() + (bytes.size() / 2048 / 2) * 2048);
  r = Check(half, 3);
  // Tables whose definitions were cut off, long values whose pages are gone.
  ASSERT_GT(r.per_code["catalog-table-id-invalid"], 0u) << FormatCheckReport(r);
  ASSERT_GT(r.per_code["lv-pointer-invalid"], 0u) << FormatCheckReport(r);
  for (const auto& [code, n] : r.per_code) {
    uint64_t listed = std::count_if(r.problems.begin(), r.problems.end(),
                                    [&](const CheckProblem& q) { return q.code == code; });
    EXPECT_EQ(listed, std::min<uint64_t>(n, 3)) << code;
    if (n > 3) {
      EXPECT_NE(FormatCheckReport(r).find("and " + std::to_string(n - 3) + " more " + code),
                std::string::npos);
    }
  }

  // Too short to be a database at all: an error, not a report.
  std::vector<uint8_t> tiny(bytes.begin(), bytes.begin() + 10);
  auto refused = CheckDatabase(FileSource::FromBuffer(tiny));
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().number(), 3343);
  // Two pages: a header and nothing to check beyond it.
  std::vector<uint8_t> two(bytes.begin(), bytes.begin() + 2 * 2048);
  r = Check(two);
  EXPECT_NE(Find(r, "file-too-short"), nullptr) << FormatCheckReport(r);
}

TEST(CheckDamage, GarbledPagesNeverCrashAndAreReported) {
  // Random bytes over pages in use (page 0 kept, so the file stays a
  // database): the check always ends with a report, and a page overwritten
  // whole is always noticed.
  for (const char* name : {"compIndexTestV1997.mdb", "compIndexTestV2000.mdb"}) {
    if (!fs::exists(Sample(name))) GTEST_SKIP() << "sample file absent: " << Sample(name);
    std::vector<uint8_t> bytes = ReadFile(Sample(name));
    std::vector<uint32_t> used;
    size_t ps = 0;
    {
      Located at(bytes);
      ps = at.db->page_size();
      auto free_pages = at.db->GlobalUsageMap();
      ASSERT_TRUE(free_pages.ok());
      for (uint32_t p = 1; p < at.db->page_count(); ++p) {
        if (!free_pages->Contains(p)) used.push_back(p);
      }
    }
    std::mt19937 rng(1234);
    for (int round = 0; round < 16; ++round) {
      std::vector<uint8_t> damaged = bytes;
      size_t page = used[rng() % used.size()];
      const bool whole = round >= 8;
      if (whole) {
        for (size_t i = 0; i < ps; ++i) damaged[page * ps + i] = static_cast<uint8_t>(rng());
      } else {
        for (int i = 0; i < 40; ++i) damaged[page * ps + rng() % ps] = static_cast<uint8_t>(rng());
      }
      auto r = CheckDatabase(FileSource::FromBuffer(damaged));
      ASSERT_TRUE(r.ok()) << name << " round " << round << ": " << r.error().ToString();
      if (whole) {
        EXPECT_GT(r->total_problems(), 0u) << name << ": page " << page << " overwritten";
      }
    }
  }
}

// Where the index root `pi` of a table keeps its entries: the first leaf
// with at least `min_entries` entries and no prefix compression.
std::optional<IndexPage> FirstPlainLeaf(const Located& at, const PhysicalIndex& pi,
                                        size_t min_entries) {
  for (uint32_t page : at.Leaves(pi)) {
    auto decoded = DecodeIndexPage(at.db->pager().Page(page).value(), at.db->layout(), page);
    if (decoded.ok() && decoded->entries.size() >= min_entries && decoded->prefix_length == 0) {
      return std::move(decoded.value());
    }
  }
  return std::nullopt;
}

TEST(CheckDamage, IndexEntriesAgainstRows) {
  // Damages to one leaf of a unique Long index, each in its own copy: entry
  // 1 given entry 0's key (a duplicate in a unique index), entry 1 made a
  // copy of entry 0 (out of order, one row indexed twice, one not at all),
  // and entry 0 pointed at a deleted row (or a slot its page does not have).
  LOAD_OR_SKIP(bytes, "indexTestV2000.mdb");
  std::vector<uint8_t> duplicate = bytes, deleted = bytes, repeated = bytes;
  uint32_t leaf = 0;
  // A plain pair rather than std::optional: g++ 12 at -O2 warns that the
  // optional's payload may be read uninitialized.
  RowPointer dead{};
  bool have_dead = false;
  bool dead_is_deleted = false;
  {
    Located at(bytes);
    const Layout& L = at.db->layout();
    for (const TableDef& t : at.UserTables()) {
      // A deleted slot of this table, else a slot its first page does not have.
      auto owned = at.db->ReadUsageMap(t.owned_map);
      if (owned->pages.empty()) continue;
      for (uint32_t p : owned->pages) {
        auto page = at.db->ReadDataPage(p);
        for (size_t i = 0; i < page->slots.size() && !have_dead; ++i) {
          if (page->slots[i].deleted() && page->slots[i].lookup()) {
            dead = RowPointer{p, static_cast<uint8_t>(i)};
            have_dead = true;
            dead_is_deleted = true;
          }
        }
      }
      if (!have_dead) {
        auto page = at.db->ReadDataPage(owned->pages.front());
        dead = RowPointer{page->number, static_cast<uint8_t>(page->slots.size())};
        have_dead = true;
      }
      for (const PhysicalIndex& pi : t.physical_indexes) {
        const ColumnDef* c = t.ColumnByNumber(pi.columns.at(0).column_number);
        if (!(pi.flags & kIndexUnique) || pi.columns.size() != 1 ||
            c->type != static_cast<uint8_t>(ColumnType::kLong)) {
          continue;
        }
        auto page = FirstPlainLeaf(at, pi, 2);
        if (!page) continue;
        leaf = page->number;
        size_t base = at.PageOffset(leaf) + L.ipage_entries;
        const IndexEntry& e0 = page->entries[0];
        const IndexEntry& e1 = page->entries[1];
        ASSERT_EQ(e0.key.size(), e1.key.size());
        std::copy(e0.key.begin(), e0.key.end(), duplicate.begin() + base + e1.stored_offset);
        // Entry 1 made a copy of entry 0, row pointer included.
        std::copy(bytes.begin() + base, bytes.begin() + base + e0.stored_length,
                  repeated.begin() + base + e1.stored_offset);
        size_t ptr = base + e0.key.size();
        deleted[ptr] = static_cast<uint8_t>(dead.page >> 16);
        deleted[ptr + 1] = static_cast<uint8_t>(dead.page >> 8);
        deleted[ptr + 2] = static_cast<uint8_t>(dead.page);
        deleted[ptr + 3] = dead.row;
        break;
      }
      if (leaf) break;
      have_dead = false;
      dead_is_deleted = false;
    }
  }
  ASSERT_NE(leaf, 0u) << "no unique Long index";
  CheckReport r = Check(duplicate);
  const CheckProblem* p = Find(r, "index-unique-duplicate", leaf);
  ASSERT_NE(p, nullptr) << FormatCheckReport(r);
  EXPECT_EQ(p->entry, 1u);
  EXPECT_NE(Find(r, "index-key-mismatch", leaf), nullptr) << FormatCheckReport(r);

  r = Check(repeated);
  p = Find(r, "index-order", leaf);
  ASSERT_NE(p, nullptr) << FormatCheckReport(r);
  EXPECT_EQ(p->entry, 1u);
  EXPECT_NE(Find(r, "index-entry-duplicate-row", leaf), nullptr) << FormatCheckReport(r);
  EXPECT_NE(Find(r, "index-missing-row"), nullptr) << FormatCheckReport(r);

  r = Check(deleted);
  p = Find(r, "index-entry-dangling", leaf);
  ASSERT_NE(p, nullptr) << FormatCheckReport(r);
  EXPECT_NE(p->message.find(dead_is_deleted ? "deleted row" : "slot the page does not have"),
            std::string::npos)
      << p->message;
  // The row it indexed before now has no entry.
  EXPECT_NE(Find(r, "index-missing-row"), nullptr) << FormatCheckReport(r);
}

TEST(CheckDamage, NodeEntriesBoundTheirChildren) {
  // A node entry must sort at or above every entry of its child and below
  // every entry of the next child; Access leaves it larger than the child's
  // last entry after deletions. Three copies: entry 0 lowered below its
  // child, entry 0 raised above the next child, and the row byte of an entry
  // raised while its key stays below the next child's first key (valid).
  LOAD_OR_SKIP(bytes, "compIndexTestV2000.mdb");
  std::vector<uint8_t> low = bytes, high = bytes, loose = bytes;
  uint32_t node = 0;
  bool have_loose = false;
  {
    Located at(bytes);
    const Layout& L = at.db->layout();
    for (const TableDef& t : at.UserTables()) {
      for (const PhysicalIndex& pi : t.physical_indexes) {
        auto root = DecodeIndexPage(at.db->pager().Page(pi.root_page).value(), L, pi.root_page);
        if (!root.ok() || root->is_leaf() || root->entries.empty() || root->prefix_length != 0) {
          continue;
        }
        node = root->number;
        const size_t base = at.PageOffset(node) + L.ipage_entries;
        const IndexEntry& e0 = root->entries[0];
        std::fill_n(low.begin() + base + e0.stored_offset, e0.key.size(), uint8_t{0});
        std::fill_n(high.begin() + base + e0.stored_offset, e0.key.size(), uint8_t{0xFF});
        for (size_t i = 0; i < root->entries.size() && !have_loose; ++i) {
          const IndexEntry& e = root->entries[i];
          uint32_t next =
              i + 1 < root->entries.size() ? root->entries[i + 1].child_page : root->child_tail;
          if (next == 0 || e.row.row == 0xFF) continue;
          auto child = DecodeIndexPage(at.db->pager().Page(next).value(), L, next);
          if (!child.ok() || child->entries.empty() || !(e.key < child->entries[0].key)) continue;
          loose[base + e.stored_offset + e.key.size() + 3] = 0xFF;  // the row byte
          have_loose = true;
        }
        break;
      }
      if (node) break;
    }
  }
  ASSERT_NE(node, 0u) << "no index with a node page";
  CheckReport r = Check(low);
  const CheckProblem* p = Find(r, "index-node-entry-mismatch", node);
  ASSERT_NE(p, nullptr) << FormatCheckReport(r);
  EXPECT_EQ(p->entry, 0u);
  EXPECT_NE(p->message.find("below the last entry of its child"), std::string::npos) << p->message;
  EXPECT_EQ(p->severity, Severity::kDamage);

  r = Check(high);
  p = Find(r, "index-node-entry-mismatch", node);
  ASSERT_NE(p, nullptr) << FormatCheckReport(r);
  EXPECT_EQ(p->entry, 0u);
  EXPECT_NE(p->message.find("not below the first entry of the next child"), std::string::npos)
      << p->message;

  ASSERT_TRUE(have_loose) << "no node entry whose key is below the next child's";
  r = Check(loose);
  EXPECT_EQ(r.total_problems(), 0u) << FormatCheckReport(r);
}

TEST(CheckDamage, TableDefinitionAndCatalog) {
  // A duplicated column number; a second catalog row claiming a table's
  // id; an undecodable catalog row, after which everything else is still
  // checked.
  LOAD_OR_SKIP(bytes, "testV1997.mdb");
  CheckReport clean = Check(bytes);
  std::vector<uint8_t> columns = bytes, ids = bytes, catalog_row = bytes;
  std::string table_b;
  RowPointer broken;
  {
    Located at(bytes);
    const Layout& L = at.db->layout();
    std::vector<TableDef> tables = at.UserTables();
    ASSERT_GE(tables.size(), 2u);
    const TableDef& a = tables[0];
    ASSERT_GE(a.columns.size(), 2u);
    size_t number_at = at.PageOffset(a.first_page) + a.columns[1].definition_offset + L.col_number;
    ASSERT_LT(a.columns[1].definition_offset, at.db->page_size());
    columns[number_at] = static_cast<uint8_t>(a.columns[0].number);
    columns[number_at + 1] = static_cast<uint8_t>(a.columns[0].number >> 8);

    // The MSysObjects rows: Id of table B set to table A's id; a non-table
    // row's column count made impossible.
    TableDef catalog = at.Table("MSysObjects");
    RowDecoder decoder(catalog, L);
    const ColumnDef* id = catalog.FindColumn("Id");
    const ColumnDef* type = catalog.FindColumn("Type");
    size_t id_pos = static_cast<size_t>(id - catalog.columns.data());
    size_t type_pos = static_cast<size_t>(type - catalog.columns.data());
    bool broke = false;
    (void)at.db->ScanRows(catalog, [&](const RowRef& row) {
      if (!decoder.Decode(row.bytes).ok()) return true;
      const FieldRef& f = decoder.fields()[id_pos];
      int32_t value = static_cast<int32_t>(Le32(f.bytes.data()));
      int16_t kind = static_cast<int16_t>(Le16(decoder.fields()[type_pos].bytes.data()));
      if (static_cast<uint32_t>(value) == tables[1].first_page) {
        Put32(ids, at.Offset(f.bytes.data()), a.first_page);
      }
      if (kind != kObjectTable && !broke && row.data == row.location) {
        catalog_row[at.Offset(row.bytes.data())] = 0xFF;  // column count 255 > max_cols
        broken = row.location;
        broke = true;
      }
      return true;
    });
    for (const auto& o : at.db->objects()) {
      if (o.is_table() && o.table_page() == tables[1].first_page) table_b = o.name;
    }
  }

  CheckReport r = Check(columns);
  EXPECT_NE(Find(r, "column-number-invalid"), nullptr) << FormatCheckReport(r);

  r = Check(ids);
  const CheckProblem* p = Find(r, "catalog-duplicate-table-id");
  ASSERT_NE(p, nullptr) << FormatCheckReport(r);
  EXPECT_NE(p->message.find(table_b), std::string::npos) << p->message;
  // Table B's definition is now reached by no catalog row.
  EXPECT_NE(Find(r, "tdef-unreferenced"), nullptr) << FormatCheckReport(r);

  ASSERT_FALSE(Database::Open(FileSource::FromBuffer(catalog_row)).ok())
      << "the reader was expected to refuse the damaged catalog";
  r = Check(catalog_row);
  p = Find(r, "row-invalid", broken.page);
  ASSERT_NE(p, nullptr) << FormatCheckReport(r);
  EXPECT_EQ(p->row, broken.row);
  EXPECT_EQ(r.counts.tables, clean.counts.tables);
  EXPECT_EQ(r.counts.rows, clean.counts.rows);  // the broken row is still a live slot
  EXPECT_EQ(r.counts.index_entries, clean.counts.index_entries);
}

TEST(CheckDamage, AceOfNoObjectAndADeletedMapRow) {
  LOAD_OR_SKIP(bytes, "testV1997.mdb");
  std::vector<uint8_t> ace = bytes, map_row = bytes;
  std::optional<RowPointer> ace_row;
  std::string table;
  {
    Located at(bytes);
    const Layout& L = at.db->layout();
    TableDef aces = at.Table("MSysACEs");
    RowDecoder decoder(aces, L);
    size_t pos = static_cast<size_t>(aces.FindColumn("ObjectId") - aces.columns.data());
    (void)at.db->ScanRows(aces, [&](const RowRef& row) {
      if (!decoder.Decode(row.bytes).ok() || !decoder.fields()[pos].present) return true;
      Put32(ace, at.Offset(decoder.fields()[pos].bytes.data()), 0x00ABCDEF);
      ace_row = row.location;
      return false;
    });
    // The first user table's owned-pages map row flagged deleted.
    TableDef t = at.UserTables().at(0);
    size_t entry = at.PageOffset(t.owned_map.page) + L.data_header_size + 2 * t.owned_map.row;
    map_row[entry + 1] |= 0xC0;
    for (const auto& o : at.db->objects()) {
      if (o.is_table() && o.table_page() == t.first_page) table = o.name;
    }
  }
  ASSERT_TRUE(ace_row.has_value());
  CheckReport r = Check(ace);
  const CheckProblem* p = Find(r, "catalog-reference-invalid", ace_row->page);
  ASSERT_NE(p, nullptr) << FormatCheckReport(r);
  EXPECT_EQ(p->row, ace_row->row);
  EXPECT_EQ(p->table, "MSysACEs");

  r = Check(map_row);
  p = Find(r, "usage-map-invalid");
  ASSERT_NE(p, nullptr) << FormatCheckReport(r);
  EXPECT_EQ(p->table, table);
}

TEST(CheckDamage, ForeignKeysPointBack) {
  for (const char* name : {"indexTestV2000.mdb", "indexTestV1997.mdb"}) {
    if (!fs::exists(Sample(name))) continue;
    std::vector<uint8_t> bytes = ReadFile(Sample(name));
    std::vector<uint8_t> missing = bytes, one_way = bytes;
    std::string fk_name;
    {
      Located at(bytes);
      const Layout& L = at.db->layout();
      for (const CatalogObject* o : at.db->tables()) {
        TableDef t = at.db->ReadTableDef(o->table_page()).value();
        if (t.pages.size() != 1) continue;
        for (const LogicalIndex& li : t.logical_indexes) {
          if (li.fk_role == 0) continue;
          auto pos = std::search(t.raw.begin(), t.raw.end(), li.raw.begin(), li.raw.end());
          size_t def = at.PageOffset(t.first_page) + static_cast<size_t>(pos - t.raw.begin());
          Put32(missing, def + L.lidx_fk_table, 1);  // page 1 is no table
          Put32(one_way, def + L.lidx_fk_index, li.fk_index + 50);
          fk_name = li.name;
          break;
        }
        if (!fk_name.empty()) break;
      }
    }
    if (fk_name.empty()) continue;
    CheckReport r = Check(missing);
    const CheckProblem* p = Find(r, "fk-table-missing");
    ASSERT_NE(p, nullptr) << FormatCheckReport(r);
    EXPECT_EQ(p->index, fk_name);
    // The other side still names this one, which no longer points back.
    EXPECT_NE(Find(r, "fk-not-reciprocal"), nullptr) << FormatCheckReport(r);
    r = Check(one_way);
    p = Find(r, "fk-index-missing");
    ASSERT_NE(p, nullptr) << FormatCheckReport(r);
    EXPECT_EQ(p->index, fk_name);
    return;
  }
  GTEST_SKIP() << "no sample with a foreign key";
}

TEST(CheckDamage, LongValueRowUsedTwice) {
  LOAD_OR_SKIP(bytes, "testV1997.mdb");
  std::vector<uint8_t> damaged = bytes;
  std::vector<std::pair<size_t, uint32_t>> pointers;  // (offset of the pointer, its value)
  {
    Located at(bytes);
    for (const CatalogObject* o : at.db->tables()) {
      TableDef t = at.db->ReadTableDef(o->table_page()).value();
      RowDecoder decoder(t, at.db->layout());
      (void)at.db->ScanRows(t, [&](const RowRef& row) {
        if (!decoder.Decode(row.bytes).ok()) return true;
        for (size_t k = 0; k < t.columns.size(); ++k) {
          const FieldRef& f = decoder.fields()[k];
          if (!t.columns[k].is_long_value() || !f.present) continue;
          auto h = DecodeLongValueHeader(f.bytes);
          if (h.ok() && h->kind == LongValueKind::kSingle) {
            pointers.emplace_back(at.Offset(f.bytes.data()) + 4, h->first.ToLe());
          }
        }
        return true;
      });
    }
  }
  ASSERT_GE(pointers.size(), 2u) << "fewer than two single-row long values";
  Put32(damaged, pointers[1].first, pointers[0].second);
  CheckReport r = Check(damaged);
  const CheckProblem* p = Find(r, "lv-row-shared");
  ASSERT_NE(p, nullptr) << FormatCheckReport(r);
  EXPECT_NE(p->message.find("page " + std::to_string(pointers[0].second >> 8)), std::string::npos);
}

// The reader's small in-memory databases: no sample files needed.
TEST(CheckSmallDb, PasswordAndEncodedPages) {
  for (JetVersion v : {JetVersion::kJet3, JetVersion::kJet4}) {
    CheckReport plain = Check(jet_test::BuildSmallDb(v));
    EXPECT_GT(plain.counts.rows, 0u);

    jet_test::SmallDbOptions with_password;
    with_password.password = "secret";
    std::vector<uint8_t> locked = jet_test::BuildSmallDb(v, with_password);
    auto refused = CheckDatabase(FileSource::FromBuffer(locked));
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().number(), 3031);
    CheckOptions options;
    options.password = "secret";
    auto opened = CheckDatabase(FileSource::FromBuffer(locked), options);
    ASSERT_TRUE(opened.ok()) << opened.error().ToString();
    EXPECT_EQ(opened->per_code, plain.per_code) << FormatCheckReport(opened.value());

    // RC4-encoded pages are checked as their decoded contents.
    jet_test::SmallDbOptions encoded;
    encoded.key = 0x5A17C0DE;
    CheckReport r = Check(jet_test::BuildSmallDb(v, encoded));
    EXPECT_EQ(r.per_code, plain.per_code) << FormatCheckReport(r);
    EXPECT_EQ(r.counts.rows, plain.counts.rows);
    EXPECT_EQ(r.counts.long_values, plain.counts.long_values);
  }
}

TEST(CheckSmallDb, AnyDamagedByteGivesAReportOrARefusal) {
  // Every 101st byte of the file set to 0xFF in turn (on the header page
  // only bytes past the fields that decide whether it is a database): each
  // check ends, with a report or a numbered refusal.
  for (JetVersion v : {JetVersion::kJet3, JetVersion::kJet4}) {
    const std::vector<uint8_t> bytes = jet_test::BuildSmallDb(v);
    const uint64_t baseline = Check(bytes).total_problems();
    size_t noticed = 0, tried = 0;
    for (size_t at = 0x20; at < bytes.size(); at += 101) {
      std::vector<uint8_t> damaged = bytes;
      if (damaged[at] == 0xFF) continue;
      damaged[at] = 0xFF;
      ++tried;
      auto r = CheckDatabase(FileSource::FromBuffer(damaged));
      if (!r.ok()) {
        EXPECT_TRUE(r.error().number() == 3343 || r.error().number() == 3031)
            << "byte " << at << ": " << r.error().ToString();
        continue;
      }
      noticed += r->total_problems() > baseline;
    }
    // Most of a small file is free space; some of the bytes hit carry meaning.
    EXPECT_GT(noticed, 0u) << "of " << tried;
  }
}

// The whole corpus: every file gives exactly the problems listed here.
// Each listed condition was confirmed in the file's bytes (see the notes).
TEST(CheckCorpus, EveryFileGivesItsKnownResult) {
  const fs::path root(QUORLEN_CORPUS_DIR);
  if (!fs::exists(root / "jet4")) GTEST_SKIP() << "no sample databases under " << root;
  using Codes = std::map<std::string, uint64_t>;
  // Navigation-pane rows (written when Access 2007 opened these files) that
  // name objects the catalog no longer has: MSysAccessObjects, which these
  // files replaced by MSysAccessStorage, and ids of no current object.
  const Codes navpane1 = {{"navpane-stale-id", 1}};
  const Codes navpane2 = {{"navpane-stale-id", 2}};
  // Files a third-party writer had modified: LVAL chains of deleted values
  // left in use, table definitions of dropped tables, zero pages, a 0x09
  // leftover, none of them marked free.
  const Codes written_over = {{"row-count-mismatch", 1},  // MSysACEs: 61 stored, 64 live
                              {"lv-page-unreferenced", 5},
                              {"tdef-unreferenced", 2},
                              {"page-orphan", 2}};
  Codes written_over_2003 = written_over;
  written_over_2003["navpane-stale-id"] = 1;
  const std::map<std::string, Codes> expected = {
      {"bigIndexTestV2003.mdb", navpane1},
      {"compIndexTestV2003.mdb", navpane2},
      {"delColTestV2003.mdb", navpane2},
      {"delTestV2003.mdb", navpane2},
      {"emptyV2003.mdb", navpane1},
      {"fixedNumericTestV2003.mdb", navpane2},
      {"fixedTextTestV2003.mdb", navpane2},
      {"indexCursorTestV2003.mdb", navpane2},
      {"indexTestV2003.mdb", navpane1},
      {"overflowTestV2003.mdb", navpane1},
      // MSysQueries: 82 rows stored, 90 live (and 90 index entries).
      {"queryTestV2000.mdb", {{"row-count-mismatch", 1}}},
      {"queryTestV2003.mdb", {{"row-count-mismatch", 1}, {"navpane-stale-id", 2}}},
      {"test2V2003.mdb", navpane1},
      {"testIndexPropertiesV2003.mdb", navpane2},
      // testV2000.mdb with the global map's type byte saying "reference"
      // over the inline bitmap: its last four bitmap bytes become a pointer
      // 0xFFFFFF80, and with no bitmap page no page is free.
      {"testRefGlobalV2000.mdb",
       [&] {
         Codes c = written_over;
         c["global-map-invalid"] = 1;
         return c;
       }()},
      {"testV2000.mdb", written_over},
      {"testV2003.mdb", written_over_2003},
  };
  CheckCounts total;
  int files = 0;
  for (const char* folder : {"jet3", "jet4"}) {
    std::vector<fs::path> paths;
    for (const auto& e : fs::directory_iterator(root / folder)) {
      if (e.path().extension() == ".mdb") paths.push_back(e.path());
    }
    std::sort(paths.begin(), paths.end());
    for (const fs::path& path : paths) {
      auto r = CheckDatabase(path.string());
      ASSERT_TRUE(r.ok()) << path << ": " << r.error().ToString();
      auto it = expected.find(path.filename().string());
      Codes want = it == expected.end() ? Codes{} : it->second;
      EXPECT_EQ(r->per_code, want) << path << "\n" << FormatCheckReport(r.value());
      // Only the file whose global map was made a reference map is damaged;
      // the rest are leftovers Access and other writers leave.
      EXPECT_EQ(r->damage_count(), path.filename() == "testRefGlobalV2000.mdb" ? 1u : 0u) << path;
      const CheckCounts& c = r->counts;
      total.rows += c.rows;
      total.index_entries += c.index_entries;
      total.keys_verified += c.keys_verified;
      total.keys_not_verifiable += c.keys_not_verifiable;
      total.keys_invalid_value += c.keys_invalid_value;
      // Every entry is either verified or counted as not verifiable.
      EXPECT_EQ(c.index_entries, c.keys_verified + c.keys_not_verifiable + c.keys_other_sort_order +
                                     c.keys_invalid_value)
          << path;
      ++files;
    }
  }
  std::printf(
      "checked %d files: %llu rows, %llu index entries, keys verified %llu, "
      "not verifiable %llu, not encodable %llu\n",
      files, static_cast<unsigned long long>(total.rows),
      static_cast<unsigned long long>(total.index_entries),
      static_cast<unsigned long long>(total.keys_verified),
      static_cast<unsigned long long>(total.keys_not_verifiable),
      static_cast<unsigned long long>(total.keys_invalid_value));
}

// Files another engine wrote (a Java library's): its habits are leftovers,
// not damage. Node pages carry 0 where Access writes the node flag; index
// pages it discarded keep their place in the index's page map with their
// type wiped to 0, freed in the global map or left before its window.
TEST(CheckCorpus, AnotherWritersHabitsAreLeftovers) {
  const fs::path root = fs::path(QUORLEN_CORPUS_DIR) / "other-writers";
  if (!fs::exists(root / "jgen-v2000.mdb")) GTEST_SKIP() << "no files under " << root;
  using Codes = std::map<std::string, uint64_t>;
  const std::map<std::string, Codes> expected = {
      {"jgen-v2000.mdb", {{"index-node-flag", 13}, {"usage-map-disagrees", 9}, {"page-orphan", 3}}},
      {"jgen-v2003.mdb",
       {{"index-node-flag", 13},
        {"usage-map-disagrees", 8},
        {"page-orphan", 8},
        {"navpane-stale-id", 1}}},
  };
  for (const auto& [name, want] : expected) {
    auto r = CheckDatabase((root / name).string());
    ASSERT_TRUE(r.ok()) << name << ": " << r.error().ToString();
    EXPECT_EQ(r->per_code, want) << name << "\n" << FormatCheckReport(r.value());
    EXPECT_EQ(r->damage_count(), 0u) << name;
    for (const CheckProblem& p : r->problems) {
      EXPECT_EQ(p.severity, Severity::kLeftover) << p.code;
      // A discarded page is never claimed for the index it was dropped from.
      EXPECT_NE(p.code, "page-type-mismatch");
    }
    EXPECT_GT(r->counts.keys_verified, 0u);
  }
}

// ACE files, test files and real ones (encrypted ones with their
// passwords): no damage. One real file
// holds a catalog row whose property blob points at an index page and a
// table definition (docs/ace-format.md): that, and only that, is damage.
TEST(CheckCorpus, AceFilesHaveNoDamage) {
  const auto files = corpus::AceFiles();
  if (files.empty()) GTEST_SKIP() << "no ACE files under " << QUORLEN_CORPUS_DIR;
  size_t checked = 0;
  for (const corpus::File& file : files) {
    CheckOptions options;
    options.password = file.password;
    auto r = CheckDatabase(file.path.string(), options);
    ASSERT_TRUE(r.ok()) << file.name << ": " << r.error().ToString();
    ++checked;
    EXPECT_EQ(r->format.rfind("ace", 0), 0u) << file.name;
    if (file.name.ends_with("InventorySystemPalasia_Billing.accdb")) {
      EXPECT_EQ(r->damage_count(), 4u) << FormatCheckReport(r.value());
      EXPECT_EQ(r->per_code["page-type-mismatch"], 2u);
      EXPECT_EQ(r->per_code["page-double-owner"], 2u);
      continue;
    }
    EXPECT_EQ(r->damage_count(), 0u) << file.name << "\n" << FormatCheckReport(r.value());
  }
  EXPECT_GT(checked, 70u);
}

// The real files: Access applications in many languages, with passwords,
// encoding, linked tables and years of edits. None is damaged; what Access
// left behind is listed as leftovers. Some of those, checked in the bytes:
TEST(CheckCorpus, RealFilesHaveLeftoversButNoDamage) {
  const auto files = corpus::Files({"real/jet3", "real/jet4"});
  if (files.empty()) GTEST_SKIP() << "no real files under " << QUORLEN_CORPUS_DIR;
  std::map<std::string, CheckReport> reports;
  for (const corpus::File& file : files) {
    CheckOptions options;
    options.password = file.password;
    auto r = CheckDatabase(file.path.string(), options);
    ASSERT_TRUE(r.ok()) << file.name << ": " << r.error().ToString();
    EXPECT_EQ(r->damage_count(), 0u) << file.name << "\n" << FormatCheckReport(r.value());
    reports.emplace(file.name.substr(5), std::move(r.value()));
  }
  auto report = [&](const std::string& name) -> const CheckReport* {
    auto it = reports.find(name);
    return it == reports.end() ? nullptr : &it->second;
  };
  // Ten ODBC-linked tables keep their definitions (and empty index trees):
  // owned, checked, neither unreferenced nor orphaned.
  if (const CheckReport* r =
          report("jet4/winofsql+subject-1126-sql-having__3683a0ee_Database1.mdb")) {
    EXPECT_EQ(r->per_code.count("tdef-unreferenced"), 0u) << FormatCheckReport(*r);
    EXPECT_EQ(r->per_code.count("page-orphan"), 0u) << FormatCheckReport(*r);
    EXPECT_EQ(r->counts.tables, 20u);
    // Its text keys are in a Japanese sort order: counted apart, not wrong.
    EXPECT_GT(r->counts.keys_other_sort_order, 0u);
  }
  // Node entries larger than their child's last entry after deletions.
  if (const CheckReport* r = report("jet4/hjgode+kbfakt__kbfakt5_kbfakt5.zip__kbfakt5.mdb")) {
    EXPECT_EQ(r->per_code.count("index-node-entry-mismatch"), 0u) << FormatCheckReport(*r);
    EXPECT_GT(r->counts.keys_verified, 0u);
  }
  // A variable Decimal declared 9 bytes long (as Access declares them)
  // whose 379 rows hold the usual 17: no problem at all.
  if (const CheckReport* r = report("jet4/gvdinhthanh+QuanLyThi__Data.mdb")) {
    EXPECT_EQ(r->per_code.count("column-length-ignored"), 0u) << FormatCheckReport(*r);
    EXPECT_EQ(r->per_code.count("value-invalid"), 0u);
  }
  // Page 52 names MSysNavPaneObjectIDs but left its map: it holds older
  // copies of the table's rows, and one of an object deleted since.
  if (const CheckReport* r = report("jet4/PhantomPhr3ak+WWRK__d02fc61e_WWRK_Adressen.mdb")) {
    bool found = false;
    for (const CheckProblem& p : r->problems) {
      found |=
          p.code == "usage-map-disagrees" && p.page == 52u && p.table == "MSysNavPaneObjectIDs";
    }
    EXPECT_TRUE(found) << FormatCheckReport(*r);
  }
}

}  // namespace
}  // namespace engine
