// The B-tree builder: trees of every shape read back through the reader's
// page decoder and walks, with every structural rule of a Jet index tree
// checked page by page.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>

#include "format/index_page.h"
#include "memory_sink.h"
#include "writer/index_tree_builder.h"

namespace engine {
namespace {

using writer_test::FailingSink;
using writer_test::PagerOver;
using writer_test::SinkFor;
using Bytes = std::vector<uint8_t>;

struct Entry {
  Bytes key;
  RowPointer row;
};

constexpr uint32_t kOwner = 77;

Bytes EntryOf(const Bytes& key, RowPointer row) {
  return IndexEntryBytes(key, row);
}

// n entries, sorted: keys from `make`, two rows per key for every third key.
std::vector<Entry> MakeEntries(size_t n, const std::function<Bytes(size_t)>& make) {
  std::vector<Entry> out;
  for (size_t i = 0; out.size() < n; ++i) {
    Bytes key = make(i);
    out.push_back({key, RowPointer{static_cast<uint32_t>(100 + i), 3}});
    if (i % 3 == 0 && out.size() < n) {
      out.push_back({key, RowPointer{static_cast<uint32_t>(100 + i), 9}});
    }
  }
  std::sort(out.begin(), out.end(), [](const Entry& a, const Entry& b) {
    return EntryOf(a.key, a.row) < EntryOf(b.key, b.row);
  });
  return out;
}

Bytes NumberKey(size_t i) {
  return {0x7F, static_cast<uint8_t>(i >> 24), static_cast<uint8_t>(i >> 16),
          static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
}

// Keys sharing a long common start, so prefix compression pays.
Bytes TextLikeKey(size_t i) {
  Bytes k = {0x7F, 'C', 'U', 'S', 'T', 'O', 'M', 'E', 'R', '-'};
  for (int d = 5; d >= 0; --d) k.push_back(static_cast<uint8_t>('0' + (i / (1u << (3 * d))) % 8));
  k.push_back(0x00);
  return k;
}

Result<BuiltIndex> Build(PageSink& sink, const std::vector<Entry>& entries, bool prefixes = true) {
  IndexTreeBuilder tree(sink, {.owner_page = kOwner, .leaf_prefixes = prefixes});
  for (const Entry& e : entries) {
    Status st = tree.Add(e.key, e.row);
    if (!st.ok()) return st.error();
  }
  return tree.Finish();
}

// Reads the tree back and checks it page by page against `entries`.
void Verify(const MemoryPageSink& sink, const BuiltIndex& built, const std::vector<Entry>& entries,
            bool expect_full_leaves) {
  const Layout& L = sink.layout();
  auto pager = PagerOver(sink);
  const size_t area = L.page_size - L.ipage_entries;

  // Every page the builder names was written once, and nothing else was.
  // (the sink itself refuses a page written twice)
  std::set<uint32_t> written;
  for (uint32_t n = 0; n < sink.allocated(); ++n) {
    if (sink.written(n)) written.insert(n);
  }
  EXPECT_EQ(written, std::set<uint32_t>(built.pages.begin(), built.pages.end()));
  EXPECT_TRUE(std::is_sorted(built.pages.begin(), built.pages.end()));

  // The leaf chain gives back exactly the entries, in order.
  std::vector<Entry> chain;
  Status walked =
      WalkLeafChain(*pager, L, built.root_page, [&](const IndexPage&, const IndexEntry& e) {
        chain.push_back({e.key, e.row});
        return true;
      });
  ASSERT_TRUE(walked.ok()) << walked.error().ToString();
  ASSERT_EQ(chain.size(), entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    ASSERT_EQ(chain[i].key, entries[i].key) << i;
    ASSERT_EQ(chain[i].row, entries[i].row) << i;
  }
  EXPECT_EQ(built.entry_count, entries.size());
  std::set<Bytes> keys;
  for (const Entry& e : entries) keys.insert(e.key);
  EXPECT_EQ(built.distinct_keys, keys.size());

  // The tree from the root: each page once, leaves all at one depth.
  std::map<uint32_t, IndexPage> pages;
  std::map<uint32_t, int> depth;
  walked = WalkTree(*pager, L, built.root_page, [&](const IndexPage& p, int d) {
    pages[p.number] = p;
    depth[p.number] = d;
    return true;
  });
  ASSERT_TRUE(walked.ok()) << walked.error().ToString();
  EXPECT_EQ(pages.size(), built.pages.size());
  int leaf_depth = -1;
  uint32_t leaves = 0;
  for (const auto& [n, p] : pages) {
    if (!p.is_leaf()) continue;
    ++leaves;
    if (leaf_depth < 0) leaf_depth = depth[n];
    EXPECT_EQ(depth[n], leaf_depth) << "leaf " << n;
  }
  EXPECT_EQ(leaves, built.leaf_pages);
  EXPECT_EQ(static_cast<uint32_t>(leaf_depth + 1), built.levels);

  // Greatest leaf entry below each page; parent of each page.
  std::map<uint32_t, Bytes> greatest;
  std::map<uint32_t, uint32_t> parent;
  std::function<Bytes(uint32_t)> last_of = [&](uint32_t n) -> Bytes {
    const IndexPage& p = pages.at(n);
    Bytes g;
    if (p.is_leaf()) {
      if (!p.entries.empty()) g = EntryOf(p.entries.back().key, p.entries.back().row);
    } else {
      for (const auto& e : p.entries) {
        parent[e.child_page] = n;
        g = last_of(e.child_page);
      }
      if (p.child_tail != 0) {
        parent[p.child_tail] = n;
        g = last_of(p.child_tail);
      }
    }
    return greatest[n] = g;
  };
  last_of(built.root_page);

  for (const auto& [n, p] : pages) {
    SCOPED_TRACE("page " + std::to_string(n));
    ByteSpan raw = pager->Page(n).value();
    EXPECT_EQ(raw[1], 0x01);
    EXPECT_EQ(p.owner, kOwner);
    EXPECT_EQ(p.node_flag, p.is_leaf() ? 0 : 1);
    const uint32_t used = p.entries.empty() ? 0
                                            : uint32_t{p.entries.back().stored_offset} +
                                                  p.entries.back().stored_length;
    EXPECT_EQ(p.free_space, L.page_size - L.ipage_entries - used);
    // Unused bytes are zero.
    for (size_t i = L.ipage_entries + used; i < L.page_size; ++i) {
      ASSERT_EQ(raw[i], 0) << "byte " << i;
    }
    if (n == built.root_page) {
      EXPECT_EQ(p.prev_page, 0u);
      EXPECT_EQ(p.next_page, 0u);
    }
    if (p.is_leaf()) {
      EXPECT_EQ(p.child_tail, 0u);
      continue;
    }
    EXPECT_EQ(p.prefix_length, 0);  // node pages never use prefixes
    // Children: every entry is its child's greatest entry; a page with
    // entries and a tail never has just the tail.
    EXPECT_FALSE(p.entries.empty());
    for (const auto& e : p.entries) {
      EXPECT_EQ(EntryOf(e.key, e.row), greatest.at(e.child_page));
    }
    // Sibling links stay among the children of one parent and link back.
    if (p.next_page != 0) {
      ASSERT_TRUE(pages.count(p.next_page));
      EXPECT_EQ(pages.at(p.next_page).prev_page, n);
      EXPECT_EQ(parent.at(p.next_page), parent.at(n));
    }
    if (p.prev_page != 0) {
      EXPECT_EQ(parent.at(p.prev_page), parent.at(n));
    }
  }

  // The leaf chain links back, and leaves are packed: the first entry of
  // the next leaf would not have fit (without prefix compression).
  std::vector<uint32_t> order;
  for (uint32_t cur = built.root_page; !pages.at(cur).is_leaf();) {
    const IndexPage& p = pages.at(cur);
    cur = p.entries.empty() ? p.child_tail : p.entries.front().child_page;
    if (pages.at(cur).is_leaf()) order.push_back(cur);
  }
  if (order.empty()) order.push_back(built.root_page);
  while (pages.at(order.back()).next_page != 0) order.push_back(pages.at(order.back()).next_page);
  EXPECT_EQ(order.size(), leaves);
  for (size_t i = 0; i < order.size(); ++i) {
    const IndexPage& p = pages.at(order[i]);
    EXPECT_EQ(p.prev_page, i == 0 ? 0 : order[i - 1]);
    if (expect_full_leaves && i + 1 < order.size()) {
      const IndexEntry& next = pages.at(order[i + 1]).entries.front();
      const size_t used = area - p.free_space;
      EXPECT_GT(used + next.key.size() + 4, area)
          << "leaf " << order[i] << " had room for the next entry";
    }
  }
}

class TreeShapes : public ::testing::TestWithParam<JetVersion> {};

TEST_P(TreeShapes, EmptyIndexIsOneEmptyLeaf) {
  auto sink = SinkFor(GetParam());
  auto built = Build(sink, {});
  ASSERT_TRUE(built.ok()) << built.error().ToString();
  EXPECT_EQ(built->pages.size(), 1u);
  EXPECT_EQ(built->levels, 1u);
  EXPECT_EQ(built->distinct_keys, 0u);
  Verify(sink, built.value(), {}, true);
}

TEST_P(TreeShapes, TreesOfEverySizeReadBack) {
  for (size_t n : {size_t{1}, size_t{2}, size_t{150}, size_t{400}, size_t{1000}, size_t{8000}}) {
    for (bool prefix : {false, true}) {
      SCOPED_TRACE("n=" + std::to_string(n) + (prefix ? " prefix" : ""));
      for (auto make : {&NumberKey, &TextLikeKey}) {
        auto sink = SinkFor(GetParam());
        const auto entries = MakeEntries(n, make);
        auto built = Build(sink, entries, prefix);
        ASSERT_TRUE(built.ok()) << built.error().ToString();
        Verify(sink, built.value(), entries, !prefix);
      }
    }
  }
}

TEST_P(TreeShapes, DeepTreesLinkNodesOnlyUnderOneParent) {
  // 300-byte keys: few entries per page, so four or more levels.
  auto sink = SinkFor(GetParam());
  const auto entries = MakeEntries(3000, [](size_t i) {
    Bytes k = NumberKey(i);
    k.resize(300, 0x41);
    return k;
  });
  auto built = Build(sink, entries);
  ASSERT_TRUE(built.ok()) << built.error().ToString();
  EXPECT_GE(built->levels, 4u);
  Verify(sink, built.value(), entries, GetParam() == JetVersion::kJet4);
}

TEST_P(TreeShapes, HugeKeysGiveNodesOfOneOrTwoChildren) {
  // Entries over half a page: one per leaf, one entry and a tail per node,
  // and a lone last child written as an ordinary entry.
  const uint32_t area = LayoutFor(GetParam()).page_size - LayoutFor(GetParam()).ipage_entries;
  for (size_t n : {size_t{2}, size_t{3}, size_t{5}, size_t{7}}) {
    SCOPED_TRACE("n=" + std::to_string(n));
    auto sink = SinkFor(GetParam());
    const auto entries = MakeEntries(n, [area](size_t i) {
      Bytes k = NumberKey(i);
      k.resize(area / 2 + 10, 0x42);
      return k;
    });
    auto built = Build(sink, entries, false);
    ASSERT_TRUE(built.ok()) << built.error().ToString();
    EXPECT_EQ(built->leaf_pages, n);
    Verify(sink, built.value(), entries, true);
  }
}

TEST_P(TreeShapes, SameEntriesGiveSameBytes) {
  const auto entries = MakeEntries(5000, &TextLikeKey);
  auto a = SinkFor(GetParam());
  auto b = SinkFor(GetParam());
  ASSERT_TRUE(Build(a, entries).ok());
  ASSERT_TRUE(Build(b, entries).ok());
  EXPECT_EQ(a.bytes(), b.bytes());
}

TEST_P(TreeShapes, BadInputIsRefused) {
  auto sink = SinkFor(GetParam());
  {
    IndexTreeBuilder tree(sink, {.owner_page = kOwner});
    ASSERT_TRUE(tree.Add(NumberKey(5), {10, 1}).ok());
    Status st = tree.Add(NumberKey(5), {10, 1});
    EXPECT_EQ(st.error().number(), 3049);
    EXPECT_NE(st.error().description().find("repeat"), std::string::npos);
    st = tree.Add(NumberKey(4), {99, 1});
    EXPECT_EQ(st.error().number(), 3049);
    // Same key, earlier row: out of order too.
    EXPECT_FALSE(tree.Add(NumberKey(5), {9, 0}).ok());
    EXPECT_FALSE(tree.Add(NumberKey(6), {1u << 24, 0}).ok());
    Bytes huge(LayoutFor(GetParam()).page_size, 0x7F);
    EXPECT_EQ(tree.Add(huge, {100, 0}).error().number(), 3049);
    // A refused entry leaves the builder usable.
    ASSERT_TRUE(tree.Add(NumberKey(6), {1, 0}).ok());
    auto built = tree.Finish();
    ASSERT_TRUE(built.ok());
    EXPECT_EQ(built->entry_count, 2u);
    EXPECT_FALSE(tree.Finish().ok());
  }
}

TEST_P(TreeShapes, SinkFailuresComeBackWithTheirNumber) {
  const auto entries = MakeEntries(3000, &TextLikeKey);
  for (int ok_writes : {0, 3}) {
    FailingSink sink(GetParam(), ok_writes, ErrorCode::kDiskFull);
    auto built = Build(sink, entries);
    ASSERT_FALSE(built.ok());
    EXPECT_EQ(built.error().number(), 3026);
  }
}

INSTANTIATE_TEST_SUITE_P(Jet, TreeShapes, ::testing::Values(JetVersion::kJet3, JetVersion::kJet4),
                         [](const auto& param_info) {
                           return param_info.param == JetVersion::kJet3 ? "Jet3" : "Jet4";
                         });

TEST(IndexTreeBuilder, PrefixCompressionPacksLeavesTighterAndNodesNever) {
  for (JetVersion v : {JetVersion::kJet3, JetVersion::kJet4}) {
    const auto entries = MakeEntries(20000, &TextLikeKey);
    auto plain = SinkFor(v);
    auto packed = SinkFor(v);
    auto a = Build(plain, entries, false);
    auto b = Build(packed, entries);
    ASSERT_TRUE(a.ok() && b.ok());
    EXPECT_LT(b->leaf_pages * 3, a->leaf_pages * 2);
    ASSERT_GE(b->levels, 2u);
    auto pager = PagerOver(packed);
    for (uint32_t n : b->pages) {
      auto p = DecodeIndexPage(pager->Page(n).value(), packed.layout(), n);
      ASSERT_TRUE(p.ok());
      if (p->is_leaf()) {
        EXPECT_GE(p->prefix_length, 10) << "leaf " << n;
      } else {
        EXPECT_EQ(p->prefix_length, 0) << "node " << n;
      }
    }
  }
}

TEST(IndexPageCodec, EncodedPagesDecodeToWhatWentIn) {
  for (JetVersion v : {JetVersion::kJet3, JetVersion::kJet4}) {
    const Layout& L = LayoutFor(v);
    Bytes entries;
    std::vector<uint32_t> ends;
    for (uint8_t i = 0; i < 20; ++i) {
      Bytes e = {0x7F, 'A', 'B', 'C', i, 0x00, 0x00, 0x10, i};  // key + row pointer
      Bytes child = {0, 0, 0, static_cast<uint8_t>(50 + i)};
      entries.insert(entries.end(), e.begin(), e.end());
      entries.insert(entries.end(), child.begin(), child.end());
      ends.push_back(static_cast<uint32_t>(entries.size()));
    }
    Bytes page(L.page_size, 0xEE);
    IndexPageHeader h{.type = 0x03,
                      .owner = 9,
                      .prev_page = 4,
                      .next_page = 6,
                      .child_tail = 70,
                      .prefix_length = 4};
    ASSERT_TRUE(EncodeIndexPage(h, entries, ends, L, page).ok());
    auto p = DecodeIndexPage(page, L, 5);
    ASSERT_TRUE(p.ok()) << p.error().ToString();
    EXPECT_FALSE(p->is_leaf());
    EXPECT_EQ(p->owner, 9u);
    EXPECT_EQ(p->prev_page, 4u);
    EXPECT_EQ(p->next_page, 6u);
    EXPECT_EQ(p->child_tail, 70u);
    EXPECT_EQ(p->prefix_length, 4);
    EXPECT_EQ(p->node_flag, 1);
    ASSERT_EQ(p->entries.size(), 20u);
    for (uint8_t i = 0; i < 20; ++i) {
      EXPECT_EQ(p->entries[i].key, (Bytes{0x7F, 'A', 'B', 'C', i}));
      EXPECT_EQ(p->entries[i].row, (RowPointer{0x10, i}));
      EXPECT_EQ(p->entries[i].child_page, 50u + i);
    }
    // 13 bytes whole, then 9 per entry.
    EXPECT_EQ(p->free_space, L.page_size - L.ipage_entries - (13 + 19 * 9));

    // A prefix the entries do not share, and too many entries, are refused.
    h.prefix_length = 6;
    EXPECT_FALSE(EncodeIndexPage(h, entries, ends, L, page).ok());
    h.prefix_length = 0;
    Bytes many;
    std::vector<uint32_t> many_ends;
    while (many.size() <= L.page_size) {
      many.insert(many.end(), entries.begin(), entries.begin() + ends[0]);
      many_ends.push_back(static_cast<uint32_t>(many.size()));
    }
    EXPECT_FALSE(EncodeIndexPage(h, many, many_ends, L, page).ok());
  }
}

}  // namespace
}  // namespace engine
