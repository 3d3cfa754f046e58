// Checker part: physical indexes. Each B-tree is walked from its root (every
// page once), compared with its page map, its leaf chain and sibling links,
// and its entries are matched against the table's live rows: order, one
// entry per row, and the key bytes recomputed from the row's values.
#include <algorithm>
#include <functional>

#include "base/bytes.h"
#include "check/check_internal.h"
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

struct TreePage {
  IndexPage page;
  int depth = 0;
};

// Result of walking a subtree.
struct Subtree {
  bool ok = false;                            // walked without a structural failure
  std::optional<std::vector<uint8_t>> first;  // its least entry, if any
  std::optional<std::vector<uint8_t>> last;   // its greatest entry, if any
};

}  // namespace

void Checker::CheckIndexes(const TableDef& t, const std::vector<LiveRow>& rows) {
  std::unordered_map<uint32_t, size_t> row_at;
  row_at.reserve(rows.size());
  for (size_t i = 0; i < rows.size(); ++i) row_at.emplace(PackRow(rows[i].location), i);
  RowDecoder decoder(t, layout_);
  std::vector<uint32_t> hits(rows.size());
  std::vector<uint32_t> owned;
  if (auto owned_map = ReadUsageMap(pager_, layout_, t.owned_map); owned_map.ok()) {
    owned = owned_map.value().pages;
  }

  for (const PhysicalIndex& pi : t.physical_indexes) {
    std::string name;
    bool primary = false;
    for (const LogicalIndex& li : t.logical_indexes) {
      if (li.physical != pi.position) continue;
      if (name.empty()) name = li.name;
      if (li.kind == 1) primary = true;
    }
    if (name.empty()) name = "#" + Num(pi.position);
    Where w;
    w.table = t.first_page;
    w.index = name;
    ++report_.counts.indexes;
    const PageOwner owner{OwnerKind::kIndex, t.first_page, pi.position};

    std::vector<uint32_t> map_pages;
    bool have_map = false;
    if (pi.map.page == 0) {
      Report("index-definition-invalid", w, "the index has no page map");
    } else if (auto m =
                   ReadMap(pi.map, t.first_page, w, "the page map of index \"" + name + "\"")) {
      map_pages = m->pages;
      have_map = true;
    }
    auto in_map = [&](uint32_t p) {
      return std::binary_search(map_pages.begin(), map_pages.end(), p);
    };

    // --- the tree, depth first, children in order, the tail last ---
    std::unordered_map<uint32_t, TreePage> tree;
    std::vector<uint32_t> leaves;  // in tree order
    std::function<Subtree(uint32_t, int, uint32_t)> visit = [&](uint32_t number, int depth,
                                                                uint32_t parent) -> Subtree {
      Where wp = w;
      wp.page = number;
      const std::string from =
          parent == 0 ? std::string("the index root") : "node page " + Num(parent);
      if (depth > kMaxDepth) {
        Report("index-tree-invalid", wp, "the tree is deeper than " + Num(kMaxDepth) + " levels");
        return {};
      }
      if (number == 0 || number >= page_count_) {
        Report("page-out-of-range", wp,
               from + " names page " + Num(number) + ", which is not in the file");
        return {};
      }
      if (tree.count(number)) {
        Report("index-tree-invalid", wp,
               from + " leads to page " + Num(number) +
                   ", which the tree already reached (a cycle or a shared child)");
        return {};
      }
      Claim(number, owner, wp, "an index tree");
      if (!(owners_[number] == owner)) return {};  // another structure's page: reported
      auto decoded = DecodeIndexPage(pager_.PageOrThrow(number), layout_, number);
      if (!decoded.ok()) {
        Report("index-page-invalid", wp, decoded.error().description());
        tree.emplace(number, TreePage{IndexPage{}, depth});
        return {};
      }
      TreePage& tp =
          tree.emplace(number, TreePage{std::move(decoded.value()), depth}).first->second;
      const IndexPage& page = tp.page;
      ByteSpan raw = pager_.PageOrThrow(number);
      if (page.owner != t.first_page) {
        Report("index-page-owner", wp,
               "index page owner field is " + Num(page.owner) + ", not the table's page " +
                   Num(t.first_page));
      }
      if (have_map && !in_map(number)) {
        Report("usage-map-disagrees", wp,
               "page " + Num(number) + " of the index tree is missing from the index's page map");
      }
      uint32_t last_end = page.entries.empty() ? 0
                                               : uint32_t{page.entries.back().stored_offset} +
                                                     page.entries.back().stored_length;
      uint32_t expected_free = layout_.page_size - (layout_.ipage_entries + last_end);
      if (page.free_space != expected_free) {
        Report("index-free-space", wp,
               "free-space field " + Num(page.free_space) + ", expected " + Num(expected_free));
      }
      if (raw[1] != 0x01) {
        Report("index-page-invalid", wp, "second header byte is " + Num(raw[1]) + ", not 1");
      }
      if (page.node_flag != (page.is_leaf() ? 0 : 1)) {
        // Readers go by the page type; another writer leaves 0 on node pages.
        Report("index-node-flag", wp,
               "node flag " + Num(page.node_flag) + " on a " + (page.is_leaf() ? "leaf" : "node") +
                   " page (Access writes " + (page.is_leaf() ? "0" : "1") + ")");
      }
      if (parent == 0 && (page.prev_page != 0 || page.next_page != 0)) {
        Report("index-sibling-invalid", wp,
               "the root page has sibling links (previous " + Num(page.prev_page) + ", next " +
                   Num(page.next_page) + ")");
      }
      if (page.is_leaf()) {
        if (page.child_tail != 0) {
          Report("index-tree-invalid", wp,
                 "leaf page with a child-tail pointer " + Num(page.child_tail));
        }
        leaves.push_back(number);
        Subtree s{true, std::nullopt, std::nullopt};
        if (!page.entries.empty()) {
          s.first = EntryBytes(page.entries.front());
          s.last = EntryBytes(page.entries.back());
        }
        return s;
      }
      // A node: one entry per child but the last, which is the tail.
      if (page.entries.empty() && page.child_tail == 0) {
        Report("index-tree-invalid", wp, "node page without children");
        return {};
      }
      // Copy what is needed: visiting children inserts into `tree`.
      std::vector<IndexEntry> entries = page.entries;
      uint32_t tail = page.child_tail;
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
        Report("index-node-entry-mismatch", we,
               "node entry " + Num(bound_entry) + " (" + Hex(*bound) +
                   ") is not below the first entry of the next child page " + Num(child_page) +
                   " (" + Hex(*child.first) + ")");
      };
      for (size_t i = 0; i < entries.size(); ++i) {
        const IndexEntry& e = entries[i];
        Where we = wp;
        we.entry = static_cast<uint32_t>(i);
        if (e.child_page == tail && tail != 0) {
          Report("index-tree-invalid", we,
                 "entry " + Num(i) + " names the child-tail page " + Num(tail) + " as well");
        }
        Subtree child = visit(e.child_page, depth + 1, number);
        std::vector<uint8_t> expected = EntryBytes(e);
        check_above(child, e.child_page);
        if (child.ok && child.last && expected < *child.last) {
          Report("index-node-entry-mismatch", we,
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
        Subtree child = visit(tail, depth + 1, number);
        check_above(child, tail);
        if (!child.ok) result.ok = false;
        if (!result.first) result.first = child.first;
        if (child.last) result.last = child.last;
      }
      return result;
    };
    bool tree_complete = false;
    if (pi.root_page == 0) {
      Report("index-definition-invalid", w, "the index has no root page");
    } else {
      tree_complete = visit(pi.root_page, 0, 0).ok;
    }

    // Every leaf on the same level.
    int leaf_depth = -1;
    for (uint32_t leaf : leaves) {
      int d = tree[leaf].depth;
      if (leaf_depth < 0) leaf_depth = d;
      if (d != leaf_depth) {
        Where wp = w;
        wp.page = leaf;
        Report("index-tree-invalid", wp,
               "leaf page " + Num(leaf) + " is at depth " + Num(d) + ", the first leaf at depth " +
                   Num(leaf_depth));
        break;
      }
    }
    // Sibling links of node pages: symmetric, between pages of one level.
    for (const auto& [number, tp] : tree) {
      if (tp.page.type == 0 || tp.page.is_leaf() || tp.depth == 0) continue;
      Where wp = w;
      wp.page = number;
      if (tp.page.next_page != 0) {
        auto it = tree.find(tp.page.next_page);
        if (it == tree.end() || it->second.depth != tp.depth ||
            it->second.page.prev_page != number) {
          Report("index-sibling-invalid", wp,
                 "node page " + Num(number) + " links to next page " + Num(tp.page.next_page) +
                     ", which is not a node of the same level linking back");
        }
      }
    }
    // The leaf chain: from the leftmost leaf through the next links, it must
    // visit exactly the leaves of the tree in order, each linking back.
    if (!leaves.empty()) {
      std::vector<uint32_t> chain;
      std::unordered_set<uint32_t> on_chain;
      uint32_t cur = leaves.front();
      if (tree[cur].page.prev_page != 0) {
        Where wp = w;
        wp.page = cur;
        Report("index-sibling-invalid", wp,
               "the first leaf links to a previous page " + Num(tree[cur].page.prev_page));
      }
      while (true) {
        chain.push_back(cur);
        on_chain.insert(cur);
        uint32_t next = tree[cur].page.next_page;
        if (next == 0) break;
        Where wp = w;
        wp.page = cur;
        auto it = tree.find(next);
        if (on_chain.count(next)) {
          Report("index-leaf-cycle", wp,
                 "the leaf chain loops: leaf " + Num(cur) + " links to page " + Num(next) +
                     ", visited before");
          break;
        }
        if (it == tree.end() || it->second.page.type == 0 || !it->second.page.is_leaf()) {
          Report("index-leaf-chain", wp,
                 "leaf " + Num(cur) + " links to page " + Num(next) +
                     ", which is not a leaf of this index's tree");
          break;
        }
        if (it->second.page.prev_page != cur) {
          Where wn = w;
          wn.page = next;
          Report("index-sibling-invalid", wn,
                 "leaf " + Num(next) + " links back to " + Num(it->second.page.prev_page) +
                     ", but leaf " + Num(cur) + " links to it");
        }
        cur = next;
      }
      if (chain != leaves) {
        size_t i = 0;
        while (i < chain.size() && i < leaves.size() && chain[i] == leaves[i]) ++i;
        Where wp = w;
        wp.page = i < leaves.size() ? leaves[i] : chain[i];
        Report("index-leaf-chain", wp,
               "the leaf chain (" + Num(chain.size()) +
                   " pages) differs from the leaves of the "
                   "tree (" +
                   Num(leaves.size()) + ") at position " + Num(i));
      }
    }
    // Pages the map lists but the tree does not reach. Another writer
    // discards index pages by wiping their type to 0 while its index map
    // still lists them, and frees them in the global usage map or leaves them
    // before its window. No reader follows an index map; such a page is not
    // claimed for the index, so it counts as free or as an orphan.
    for (uint32_t p : map_pages) {
      if (tree.count(p)) continue;
      Where wp = w;
      wp.page = p;
      const bool discarded = p < page_count_ && pager_.PageOrThrow(p)[0] == 0;
      const bool is_free = discarded && have_global_map_ && free_[p] != 0;
      Report("usage-map-disagrees", wp,
             "the index's page map lists page " + Num(p) + ", which its tree does not reach" +
                 (!discarded ? ""
                  : is_free  ? " (a discarded page of type 0, free in the global usage map)"
                             : " (a discarded page of type 0)"));
      if (!discarded) Claim(p, owner, wp, "an index page map");
    }

    // --- entries against rows ---
    auto key_columns = IndexKeyColumns(layout_.version, t, pi);
    std::vector<size_t> positions;  // of the key columns in t.columns
    for (const IndexColumn& ic : pi.columns) {
      for (size_t k = 0; k < t.columns.size(); ++k) {
        if (t.columns[k].number == ic.column_number) positions.push_back(k);
      }
    }
    const bool columns_ok = key_columns.ok() && positions.size() == pi.columns.size();
    bool other_sort_order = false;
    if (key_columns.ok()) {
      for (const KeyColumn& kc : key_columns.value()) other_sort_order |= !SortOrderCovered(kc);
    }
    auto null_state = [&](const RowDecoder& d, bool& all_null, bool& any_null) {
      all_null = true;
      any_null = false;
      for (size_t k : positions) {
        bool null = !t.columns[k].is_boolean() && !d.fields()[k].present;
        all_null = all_null && null;
        any_null = any_null || null;
      }
    };
    const bool ignore_nulls = pi.flags & kIndexIgnoreNulls;
    const bool unique = pi.flags & kIndexUnique;
    const bool required = (pi.flags & kIndexRequired) || primary;
    std::fill(hits.begin(), hits.end(), 0);
    std::vector<uint8_t> previous;
    bool have_previous = false;
    std::vector<uint8_t> previous_key;
    bool previous_key_non_null = false;
    RowKeyValues values;
    for (uint32_t leaf : leaves) {
      const IndexPage& page = tree[leaf].page;
      for (size_t i = 0; i < page.entries.size(); ++i) {
        const IndexEntry& e = page.entries[i];
        Where we = w;
        we.page = leaf;
        we.entry = static_cast<uint32_t>(i);
        ++report_.counts.index_entries;
        std::vector<uint8_t> bytes = EntryBytes(e);
        if (have_previous && !(previous < bytes)) {
          Report("index-order", we,
                 "entry " + Num(i) + " (" + Hex(bytes) + ") does not sort after the entry " +
                     "before it (" + Hex(previous) + ")");
        }
        previous = std::move(bytes);
        have_previous = true;
        const std::string target = "page " + Num(e.row.page) + " row " + Num(e.row.row);
        auto found = row_at.find(PackRow(e.row));
        if (found == row_at.end()) {
          std::string why = "which is not a row of the table";
          const bool mapped = std::binary_search(owned.begin(), owned.end(), e.row.page);
          if (!mapped) index_named_pages_.insert(e.row.page);
          if (mapped) {
            const DataPage* dp = DataPageAt(e.row.page, we);
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
          Report("index-entry-dangling", we,
                 "entry " + Num(i) + " points at " + target + ", " + why);
          previous_key_non_null = false;
          continue;
        }
        size_t r = found->second;
        if (++hits[r] > 1) {
          Report("index-entry-duplicate-row", we,
                 "entry " + Num(i) + " points at " + target + ", which another entry indexes too");
        }
        const LiveRow& row = rows[r];
        if (!row.decodes || !columns_ok || !decoder.Decode(row.bytes).ok()) {
          ++report_.counts.keys_not_verifiable;
          previous_key_non_null = false;
          continue;
        }
        bool all_null = false, any_null = false;
        null_state(decoder, all_null, any_null);
        if (ignore_nulls && all_null) {
          Report("index-null-entry", we,
                 "entry " + Num(i) + " indexes " + target +
                     ", whose key columns are all NULL, in an index that ignores NULLs");
        }
        if (required && any_null) {
          Report("index-required-null", we,
                 "entry " + Num(i) + " indexes " + target +
                     ", which has a NULL key column in a required or primary-key index");
        }
        if (unique && !any_null && previous_key_non_null && previous_key == e.key) {
          Report("index-unique-duplicate", we,
                 "entry " + Num(i) + " (" + target + ") repeats the key " + Hex(e.key) +
                     " of the entry before it in a unique index");
        }
        previous_key = e.key;
        previous_key_non_null = !any_null;

        if (db_ == nullptr) {
          ++report_.counts.keys_not_verifiable;
          continue;
        }
        Status gathered = GatherKeyValues(db_->pager(), db_->layout(), t, pi, decoder, values);
        if (!gathered.ok()) {
          ++report_.counts.keys_not_verifiable;
          continue;
        }
        EncodedKey key = EncodeIndexKey(key_columns.value(), values.values);
        switch (key.status) {
          case KeyStatus::kEncoded:
            ++report_.counts.keys_verified;
            if (key.bytes != e.key) {
              Report("index-key-mismatch", we,
                     "entry " + Num(i) + " for " + target + " stores key " + Hex(e.key) +
                         ", the row's values encode to " + Hex(key.bytes));
            }
            break;
          case KeyStatus::kNotCovered:
            if (other_sort_order) {
              ++report_.counts.keys_other_sort_order;
            } else {
              ++report_.counts.keys_not_verifiable;
            }
            break;
          case KeyStatus::kInvalidValue:
            ++report_.counts.keys_invalid_value;
            break;
        }
      }
    }
    // Every live row has its entry, except all-NULL keys of an index that
    // ignores NULLs. A tree that could not be walked whole was reported; the
    // rows its lost pages held are not reported again one by one.
    if (!tree_complete) continue;
    if (!ignore_nulls && columns_ok) fully_indexed_ = true;
    for (size_t r = 0; r < rows.size(); ++r) {
      if (hits[r] != 0 || !rows[r].decodes || !columns_ok) continue;
      if (ignore_nulls) {
        if (!decoder.Decode(rows[r].bytes).ok()) continue;
        bool all_null = false, any_null = false;
        null_state(decoder, all_null, any_null);
        if (all_null) continue;
      }
      Where wr = w;
      wr.page = rows[r].location.page;
      wr.row = rows[r].location.row;
      Report("index-missing-row", wr,
             "live row at page " + Num(rows[r].location.page) + " row " +
                 Num(rows[r].location.row) + " has no entry in the index");
    }
  }
}

}  // namespace engine::check
