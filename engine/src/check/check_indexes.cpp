// Checker part: physical indexes. Each B-tree is walked from its root (every
// page once), compared with its page map, its leaf chain and sibling links,
// and its entries are matched against the table's live rows: order, one
// entry per row, and the key bytes recomputed from the row's values.
#include <algorithm>
#include <functional>

#include "base/bytes.h"
#include "check/check_internal.h"
#include "check/index_facts.h"
#include "check/row_finder.h"
#include "keys/index_key.h"
#include "keys/rows/row_keys.h"

namespace engine::check {

namespace {

std::string Num(uint64_t v) {
  return std::to_string(v);
}

constexpr int kMaxDepth = 32;

// key | row pointer as stored (3-byte big-endian page, row): what entries
// are ordered by and what node entries copy.
std::vector<uint8_t> EntryBytes(const IndexEntry& e) {
  std::vector<uint8_t> out = e.key;
  out.push_back(static_cast<uint8_t>(e.row.page >> 16));
  out.push_back(static_cast<uint8_t>(e.row.page >> 8));
  out.push_back(static_cast<uint8_t>(e.row.page));
  out.push_back(e.row.row);
  return out;
}

// Result of walking a subtree.
struct Subtree {
  bool ok = false;                            // walked without a structural failure
  std::optional<std::vector<uint8_t>> first;  // its least entry, if any
  std::optional<std::vector<uint8_t>> last;   // its greatest entry, if any
};

// The table's live rows as every index of it is checked against them.
struct TableRows {
  const std::vector<LiveRow>& rows;
  RowFinder at;                   // a row's slot -> its position
  std::vector<IndexFacts> facts;  // by position in the table's physical indexes
  std::vector<uint32_t> hits;     // entries naming each row, in the index under check
  std::vector<uint32_t> owned;    // the table's owned-pages map
};

// The checks of one physical index, in the order they run: its page map, the
// tree from the root, the leaves' depths, the node pages' sibling links, the
// leaf chain, the map's pages the tree does not reach, the entries against
// the rows, and the rows no entry names.
class IndexCheck {
 public:
  IndexCheck(Checker& c, const TableDef& t, size_t ordinal, TableRows& rows)
      : c_(c),
        t_(t),
        pi_(t.physical_indexes[ordinal]),
        rows_(rows),
        facts_(rows.facts[ordinal]),
        owner_{OwnerKind::kIndex, t.first_page, pi_.position} {}

  void Run() {
    ReadPageMap();
    bool tree_complete = false;
    if (pi_.root_page == 0) {
      c_.Report("index-definition-invalid", w_, "the index has no root page");
    } else {
      tree_complete = Visit(pi_.root_page, 0, 0).ok;
    }
    CheckLeafDepths();
    CheckNodeSiblings();
    CheckLeafChain();
    CheckUnreachedMapPages();
    CheckEntries();
    // A tree that could not be walked whole was reported; the rows its lost
    // pages held are not reported again one by one.
    if (tree_complete) CheckEveryRowIndexed();
  }

 private:
  struct TreePage {
    IndexPage page;
    int depth = 0;
  };

  // The index's name (its first logical index's, or "#n"), its page map.
  void ReadPageMap() {
    for (const LogicalIndex& li : t_.logical_indexes) {
      if (li.physical != pi_.position) continue;
      if (name_.empty()) name_ = li.name;
      if (li.kind == 1) primary_ = true;
    }
    if (name_.empty()) name_ = "#" + Num(pi_.position);
    w_.table = t_.first_page;
    w_.index = name_;
    ++c_.report_.counts.indexes;
    if (pi_.map.page == 0) {
      c_.Report("index-definition-invalid", w_, "the index has no page map");
    } else if (auto m = c_.ReadMap(pi_.map, t_.first_page, w_,
                                   "the page map of index \"" + name_ + "\"")) {
      map_pages_ = m->pages;
      have_map_ = true;
    }
  }

  bool InMap(uint32_t p) const {
    return std::binary_search(map_pages_.begin(), map_pages_.end(), p);
  }

  // The tree, depth first, children in order, the tail last.
  Subtree Visit(uint32_t number, int depth, uint32_t parent) {
    Where wp = w_;
    wp.page = number;
    const std::string from =
        parent == 0 ? std::string("the index root") : "node page " + Num(parent);
    if (depth > kMaxDepth) {
      c_.Report("index-tree-invalid", wp, "the tree is deeper than " + Num(kMaxDepth) + " levels");
      return {};
    }
    if (number == 0 || number >= c_.page_count_) {
      c_.Report("page-out-of-range", wp,
                from + " names page " + Num(number) + ", which is not in the file");
      return {};
    }
    if (tree_.count(number)) {
      c_.Report("index-tree-invalid", wp,
                from + " leads to page " + Num(number) +
                    ", which the tree already reached (a cycle or a shared child)");
      return {};
    }
    c_.Claim(number, owner_, wp, "an index tree");
    if (!(c_.owners_[number] == owner_)) return {};  // another structure's page: reported
    auto decoded = DecodeIndexPage(c_.pager_.PageOrThrow(number), c_.layout_, number);
    if (!decoded.ok()) {
      c_.Report("index-page-invalid", wp, decoded.error().description());
      tree_.emplace(number, TreePage{IndexPage{}, depth});
      return {};
    }
    TreePage& tp = tree_.emplace(number, TreePage{std::move(decoded.value()), depth}).first->second;
    CheckPageFields(tp.page, wp, parent);
    if (tp.page.is_leaf()) {
      const IndexPage& page = tp.page;
      if (page.child_tail != 0) {
        c_.Report("index-tree-invalid", wp,
                  "leaf page with a child-tail pointer " + Num(page.child_tail));
      }
      leaves_.push_back(number);
      Subtree s{true, std::nullopt, std::nullopt};
      if (!page.entries.empty()) {
        s.first = EntryBytes(page.entries.front());
        s.last = EntryBytes(page.entries.back());
      }
      // The tree keeps each page's links, not its entries: CheckEntries
      // decodes the leaves again one at a time, so an index of any size
      // costs a few dozen bytes per page here.
      tp.page.entries = {};
      return s;
    }
    std::vector<IndexEntry> entries = std::move(tp.page.entries);
    tp.page.entries = {};
    return VisitChildren(std::move(entries), tp.page.child_tail, wp, depth, number);
  }

  // The fields of one page of the tree: owner, map, free space, header,
  // node flag, and a root's sibling links.
  void CheckPageFields(const IndexPage& page, const Where& wp, uint32_t parent) {
    const uint32_t number = *wp.page;
    ByteSpan raw = c_.pager_.PageOrThrow(number);
    if (page.owner != t_.first_page) {
      c_.Report("index-page-owner", wp,
                "index page owner field is " + Num(page.owner) + ", not the table's page " +
                    Num(t_.first_page));
    }
    if (have_map_ && !InMap(number)) {
      c_.Report("usage-map-disagrees", wp,
                "page " + Num(number) + " of the index tree is missing from the index's page map");
    }
    uint32_t last_end = page.entries.empty() ? 0
                                             : uint32_t{page.entries.back().stored_offset} +
                                                   page.entries.back().stored_length;
    uint32_t expected_free = c_.layout_.page_size - (c_.layout_.ipage_entries + last_end);
    if (page.free_space != expected_free) {
      c_.Report("index-free-space", wp,
                "free-space field " + Num(page.free_space) + ", expected " + Num(expected_free));
    }
    if (raw[1] != 0x01) {
      c_.Report("index-page-invalid", wp, "second header byte is " + Num(raw[1]) + ", not 1");
    }
    if (page.node_flag != (page.is_leaf() ? 0 : 1)) {
      // Readers go by the page type; another writer leaves 0 on node pages.
      c_.Report("index-node-flag", wp,
                "node flag " + Num(page.node_flag) + " on a " + (page.is_leaf() ? "leaf" : "node") +
                    " page (Access writes " + (page.is_leaf() ? "0" : "1") + ")");
    }
    if (parent == 0 && (page.prev_page != 0 || page.next_page != 0)) {
      c_.Report("index-sibling-invalid", wp,
                "the root page has sibling links (previous " + Num(page.prev_page) + ", next " +
                    Num(page.next_page) + ")");
    }
  }

  // A node: one entry per child but the last, which is the tail.
  Subtree VisitChildren(std::vector<IndexEntry> entries, uint32_t tail, const Where& wp, int depth,
                        uint32_t number) {
    if (entries.empty() && tail == 0) {
      c_.Report("index-tree-invalid", wp, "node page without children");
      return {};
    }
    Subtree result{true, std::nullopt, std::nullopt};
    // A node entry bounds its child from above: every entry of the child
    // sorts at or below it and every entry of the next child above it. It
    // need not equal the child's last entry: deletions leave it larger.
    std::optional<std::vector<uint8_t>> bound;  // the entry before the current child
    size_t bound_entry = 0;
    auto check_above = [&](const Subtree& child, uint32_t child_page) {
      if (!bound || !child.ok || !child.first || *bound < *child.first) return;
      Where we = wp;
      we.entry = static_cast<uint32_t>(bound_entry);
      c_.Report("index-node-entry-mismatch", we,
                "node entry " + Num(bound_entry) + " (" + Hex(*bound) +
                    ") is not below the first entry of the next child page " + Num(child_page) +
                    " (" + Hex(*child.first) + ")");
    };
    for (size_t i = 0; i < entries.size(); ++i) {
      const IndexEntry& e = entries[i];
      Where we = wp;
      we.entry = static_cast<uint32_t>(i);
      if (e.child_page == tail && tail != 0) {
        c_.Report("index-tree-invalid", we,
                  "entry " + Num(i) + " names the child-tail page " + Num(tail) + " as well");
      }
      Subtree child = Visit(e.child_page, depth + 1, number);
      std::vector<uint8_t> expected = EntryBytes(e);
      check_above(child, e.child_page);
      if (child.ok && child.last && expected < *child.last) {
        c_.Report("index-node-entry-mismatch", we,
                  "node entry " + Num(i) + " (" + Hex(expected) +
                      ") is below the last entry of its child page " + Num(e.child_page) + " (" +
                      Hex(*child.last) + ")");
      }
      if (!child.ok) result.ok = false;
      if (!result.first) result.first = child.first ? child.first : expected;
      result.last = expected;
      bound = expected;
      bound_entry = i;
    }
    if (tail != 0) {
      Subtree child = Visit(tail, depth + 1, number);
      check_above(child, tail);
      if (!child.ok) result.ok = false;
      if (!result.first) result.first = child.first;
      if (child.last) result.last = child.last;
    }
    return result;
  }

  // Every leaf on the same level.
  void CheckLeafDepths() {
    int leaf_depth = -1;
    for (uint32_t leaf : leaves_) {
      int d = tree_[leaf].depth;
      if (leaf_depth < 0) leaf_depth = d;
      if (d != leaf_depth) {
        Where wp = w_;
        wp.page = leaf;
        c_.Report("index-tree-invalid", wp,
                  "leaf page " + Num(leaf) + " is at depth " + Num(d) +
                      ", the first leaf at depth " + Num(leaf_depth));
        break;
      }
    }
  }

  // Sibling links of node pages: symmetric, between pages of one level.
  void CheckNodeSiblings() {
    for (const auto& [number, tp] : tree_) {
      if (tp.page.type == 0 || tp.page.is_leaf() || tp.depth == 0) continue;
      Where wp = w_;
      wp.page = number;
      if (tp.page.next_page != 0) {
        auto it = tree_.find(tp.page.next_page);
        if (it == tree_.end() || it->second.depth != tp.depth ||
            it->second.page.prev_page != number) {
          c_.Report("index-sibling-invalid", wp,
                    "node page " + Num(number) + " links to next page " + Num(tp.page.next_page) +
                        ", which is not a node of the same level linking back");
        }
      }
    }
  }

  // From the leftmost leaf through the next links, the chain must visit
  // exactly the leaves of the tree in order, each linking back.
  void CheckLeafChain() {
    if (leaves_.empty()) return;
    std::vector<uint32_t> chain;
    std::unordered_set<uint32_t> on_chain;
    uint32_t cur = leaves_.front();
    if (tree_[cur].page.prev_page != 0) {
      Where wp = w_;
      wp.page = cur;
      c_.Report("index-sibling-invalid", wp,
                "the first leaf links to a previous page " + Num(tree_[cur].page.prev_page));
    }
    while (true) {
      chain.push_back(cur);
      on_chain.insert(cur);
      uint32_t next = tree_[cur].page.next_page;
      if (next == 0) break;
      Where wp = w_;
      wp.page = cur;
      auto it = tree_.find(next);
      if (on_chain.count(next)) {
        c_.Report("index-leaf-cycle", wp,
                  "the leaf chain loops: leaf " + Num(cur) + " links to page " + Num(next) +
                      ", visited before");
        break;
      }
      if (it == tree_.end() || it->second.page.type == 0 || !it->second.page.is_leaf()) {
        c_.Report("index-leaf-chain", wp,
                  "leaf " + Num(cur) + " links to page " + Num(next) +
                      ", which is not a leaf of this index's tree");
        break;
      }
      if (it->second.page.prev_page != cur) {
        Where wn = w_;
        wn.page = next;
        c_.Report("index-sibling-invalid", wn,
                  "leaf " + Num(next) + " links back to " + Num(it->second.page.prev_page) +
                      ", but leaf " + Num(cur) + " links to it");
      }
      cur = next;
    }
    if (chain != leaves_) {
      size_t i = 0;
      while (i < chain.size() && i < leaves_.size() && chain[i] == leaves_[i]) ++i;
      Where wp = w_;
      wp.page = i < leaves_.size() ? leaves_[i] : chain[i];
      c_.Report("index-leaf-chain", wp,
                "the leaf chain (" + Num(chain.size()) +
                    " pages) differs from the leaves of the "
                    "tree (" +
                    Num(leaves_.size()) + ") at position " + Num(i));
    }
  }

  // Pages the map lists but the tree does not reach. Another writer
  // discards index pages by wiping their type to 0 while its index map
  // still lists them, and frees them in the global usage map or leaves them
  // before its window. No reader follows an index map; such a page is not
  // claimed for the index, so it counts as free or as an orphan.
  void CheckUnreachedMapPages() {
    for (uint32_t p : map_pages_) {
      if (tree_.count(p)) continue;
      Where wp = w_;
      wp.page = p;
      const bool discarded = p < c_.page_count_ && c_.pager_.PageOrThrow(p)[0] == 0;
      const bool is_free = discarded && c_.have_global_map_ && c_.free_[p] != 0;
      c_.Report("usage-map-disagrees", wp,
                "the index's page map lists page " + Num(p) + ", which its tree does not reach" +
                    (!discarded ? ""
                     : is_free  ? " (a discarded page of type 0, free in the global usage map)"
                                : " (a discarded page of type 0)"));
      if (!discarded) c_.Claim(p, owner_, wp, "an index page map");
    }
  }

  // The entries in leaf order: sorted, each naming a live row once, its key
  // columns fit for the index, its key bytes those the row's values encode
  // to.
  void CheckEntries() {
    const auto& key_columns = *facts_.columns;
    bool other_sort_order = false;
    if (key_columns.ok()) {
      for (const KeyColumn& kc : key_columns.value()) other_sort_order |= !SortOrderCovered(kc);
    }
    const bool unique = pi_.flags & kIndexUnique;
    const bool required = (pi_.flags & kIndexRequired) || primary_;
    std::fill(rows_.hits.begin(), rows_.hits.end(), 0);
    std::vector<uint8_t> previous;
    bool have_previous = false;
    std::vector<uint8_t> previous_key;
    bool previous_key_non_null = false;
    for (uint32_t leaf : leaves_) {
      // Decoded when the tree was walked, so it decodes again.
      auto decoded = DecodeIndexPage(c_.pager_.PageOrThrow(leaf), c_.layout_, leaf);
      if (!decoded.ok()) continue;
      const IndexPage& page = decoded.value();
      for (size_t i = 0; i < page.entries.size(); ++i) {
        const IndexEntry& e = page.entries[i];
        Where we = w_;
        we.page = leaf;
        we.entry = static_cast<uint32_t>(i);
        ++c_.report_.counts.index_entries;
        std::vector<uint8_t> bytes = EntryBytes(e);
        if (have_previous && !(previous < bytes)) {
          c_.Report("index-order", we,
                    "entry " + Num(i) + " (" + Hex(bytes) + ") does not sort after the entry " +
                        "before it (" + Hex(previous) + ")");
        }
        previous = std::move(bytes);
        have_previous = true;
        const std::string target = "page " + Num(e.row.page) + " row " + Num(e.row.row);
        const std::optional<size_t> found = rows_.at.Find(e.row);
        if (!found) {
          ReportDangling(e, i, we, target);
          previous_key_non_null = false;
          continue;
        }
        const size_t r = *found;
        if (++rows_.hits[r] > 1) {
          c_.Report(
              "index-entry-duplicate-row", we,
              "entry " + Num(i) + " points at " + target + ", which another entry indexes too");
        }
        const RowFacts facts = facts_.columns_ok ? facts_.Row(r) : RowFacts{};
        if (!facts.decoded) {
          ++c_.report_.counts.keys_not_verifiable;
          previous_key_non_null = false;
          continue;
        }
        const bool all_null = facts.all_null, any_null = facts.any_null;
        if (IgnoresNulls() && all_null) {
          c_.Report("index-null-entry", we,
                    "entry " + Num(i) + " indexes " + target +
                        ", whose key columns are all NULL, in an index that ignores NULLs");
        }
        if (required && any_null) {
          c_.Report("index-required-null", we,
                    "entry " + Num(i) + " indexes " + target +
                        ", which has a NULL key column in a required or primary-key index");
        }
        if (unique && !any_null && previous_key_non_null && previous_key == e.key) {
          c_.Report("index-unique-duplicate", we,
                    "entry " + Num(i) + " (" + target + ") repeats the key " + Hex(e.key) +
                        " of the entry before it in a unique index");
        }
        previous_key = e.key;
        previous_key_non_null = !any_null;
        VerifyKey(e, i, we, target, other_sort_order, facts);
      }
    }
  }

  // An entry naming no live row of the table: why not, as far as the page
  // tells.
  void ReportDangling(const IndexEntry& e, size_t i, const Where& we, const std::string& target) {
    std::string why = "which is not a row of the table";
    const bool mapped = std::binary_search(rows_.owned.begin(), rows_.owned.end(), e.row.page);
    if (!mapped) c_.index_named_pages_.insert(e.row.page);
    if (mapped) {
      const DataPage* dp = c_.DataPageAt(e.row.page, we);
      if (dp != nullptr && e.row.row < dp->slots.size()) {
        const RowSlot& s = dp->slots[e.row.row];
        if (s.deleted() && s.lookup())
          why = "a deleted row";
        else if (s.deleted())
          why = "the target of an overflow row (indexes name the original slot)";
        else
          why = "a row that could not be read";
      } else {
        why = "a row slot the page does not have";
      }
    }
    c_.Report("index-entry-dangling", we, "entry " + Num(i) + " points at " + target + ", " + why);
  }

  // The key bytes of an entry against those the row's values encode to.
  void VerifyKey(const IndexEntry& e, size_t i, const Where& we, const std::string& target,
                 bool other_sort_order, const RowFacts& facts) {
    switch (facts.key) {
      case RowFacts::Key::kNotVerifiable:
        ++c_.report_.counts.keys_not_verifiable;
        break;
      case RowFacts::Key::kEncoded: {
        ++c_.report_.counts.keys_verified;
        const ByteSpan key(facts_.keys.data() + facts.offset, facts.length);
        if (!std::equal(key.begin(), key.end(), e.key.begin(), e.key.end())) {
          c_.Report("index-key-mismatch", we,
                    "entry " + Num(i) + " for " + target + " stores key " + Hex(e.key) +
                        ", the row's values encode to " + Hex(key));
        }
        break;
      }
      case RowFacts::Key::kNotCovered:
        if (other_sort_order) {
          ++c_.report_.counts.keys_other_sort_order;
        } else {
          ++c_.report_.counts.keys_not_verifiable;
        }
        break;
      case RowFacts::Key::kInvalidValue:
        ++c_.report_.counts.keys_invalid_value;
        break;
    }
  }

  bool IgnoresNulls() const { return pi_.flags & kIndexIgnoreNulls; }

  // Every live row has its entry, except all-NULL keys of an index that
  // ignores NULLs.
  void CheckEveryRowIndexed() {
    if (!IgnoresNulls() && facts_.columns_ok) c_.fully_indexed_ = true;
    const std::vector<LiveRow>& rows = rows_.rows;
    for (size_t r = 0; r < rows.size(); ++r) {
      if (rows_.hits[r] != 0 || !rows[r].decodes || !facts_.columns_ok) continue;
      if (IgnoresNulls()) {
        const RowFacts facts = facts_.Row(r);
        if (!facts.decoded || facts.all_null) continue;
      }
      Where wr = w_;
      wr.page = rows[r].location.page;
      wr.row = rows[r].location.row;
      c_.Report("index-missing-row", wr,
                "live row at page " + Num(rows[r].location.page) + " row " +
                    Num(rows[r].location.row) + " has no entry in the index");
    }
  }

  Checker& c_;
  const TableDef& t_;
  const PhysicalIndex& pi_;
  TableRows& rows_;
  const IndexFacts& facts_;
  const PageOwner owner_;
  Where w_;
  std::string name_;
  bool primary_ = false;
  std::vector<uint32_t> map_pages_;
  bool have_map_ = false;
  std::unordered_map<uint32_t, TreePage> tree_;
  std::vector<uint32_t> leaves_;  // in tree order
};

}  // namespace

void Checker::CheckIndexes(const TableDef& t, const std::vector<LiveRow>& rows,
                           std::vector<IndexFacts> facts) {
  TableRows table{rows, {}, std::move(facts), std::vector<uint32_t>(rows.size()), {}};
  std::vector<RowPointer> slots;
  slots.reserve(rows.size());
  for (const LiveRow& row : rows) slots.push_back(row.location);
  table.at = RowFinder(slots);
  if (auto owned_map = ReadUsageMap(pager_, layout_, t.owned_map); owned_map.ok()) {
    table.owned = owned_map.value().pages;
  }
  for (size_t i = 0; i < t.physical_indexes.size(); ++i) IndexCheck(*this, t, i, table).Run();
}

}  // namespace engine::check
