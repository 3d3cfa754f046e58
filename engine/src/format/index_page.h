// Index pages (0x03 node, 0x04 leaf) and walking the B-trees.
//
//   Jet 3  Jet 4
//   0x02   0x02   2  free space
//   0x04   0x04   4  owning table's TDEF page
//   0x08   0x0C   4  previous page on this level   0x0C 0x10 next page
//   0x10   0x14   4  child-tail page (nodes)
//   0x14   0x18   1/2 prefix length
//   0x15   0x1A   1  1 on node pages
//   0x16   0x1B      entry-end bitmask (bit p: an entry ends p bytes into the entry area)
//   0xF8   0x1E0     entries: key | row pointer (3-byte BE page, row) [| BE child page]
// With prefix length P > 0 every entry after the first omits the first P
// bytes it shares with the first entry.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "engine/error.h"
#include "io/pager.h"
#include "format/data_page.h"

namespace engine {

struct IndexEntry {
  std::vector<uint8_t> key;    // key bytes, prefix restored, without pointers
  RowPointer row;              // the indexed row (its original slot)
  uint32_t child_page = 0;     // node entries only
  uint16_t stored_offset = 0;  // entry start within the entry area
  uint16_t stored_length = 0;  // bytes stored (after prefix removal)
};

struct IndexPage {
  uint32_t number = 0;
  uint8_t type = 0;  // 0x03 or 0x04
  uint16_t free_space = 0;
  uint32_t owner = 0;
  uint32_t prev_page = 0;
  uint32_t next_page = 0;
  uint32_t child_tail = 0;
  uint16_t prefix_length = 0;
  uint8_t node_flag = 0;
  std::vector<IndexEntry> entries;

  bool is_leaf() const { return type == static_cast<uint8_t>(PageType::kIndexLeaf); }
};

// Errors (3049): wrong type, an entry running past the entry area, an entry
// too short for its pointers, a prefix longer than the first entry.
Result<IndexPage> DecodeIndexPage(ByteSpan page, const Layout& layout, uint32_t number);

// Visits every leaf entry in key order by descending from the root to the
// leftmost leaf and following the next-page links. The callback returns
// false to stop. Errors: damaged pages, cycles, more pages than the file.
Status WalkLeafChain(const Pager& pager, const Layout& layout, uint32_t root_page,
                     const std::function<bool(const IndexPage&, const IndexEntry&)>& visit);

// Visits every page of the tree depth-first from the root (node entries'
// children in order, then the child-tail page), each page once with its
// depth (root 0). The callback returns false to stop. Errors: damaged
// pages, a page reached twice (cycle or shared child), depth > 32.
Status WalkTree(const Pager& pager, const Layout& layout, uint32_t root_page,
                const std::function<bool(const IndexPage&, int depth)>& visit);

// What an index page holds besides its entries (the node flag follows from
// the type).
struct IndexPageHeader {
  uint8_t type = 0x04;  // 0x03 node or 0x04 leaf
  uint32_t owner = 0;
  uint32_t prev_page = 0;
  uint32_t next_page = 0;
  uint32_t child_tail = 0;
  uint16_t prefix_length = 0;
};

// Writes one whole index page into `out` (page_size bytes): the header, the
// entries, the entry-end bitmask and the free space; every other byte zero.
// `entries` holds the entries back to back, each whole (key, row pointer,
// and on node pages the child page), `ends[i]` where entry i ends in it.
// Every entry after the first is stored without the first prefix_length
// bytes, which it must share with the first entry.
// Errors (3001): a wrong page type or output size, an empty entry, a prefix
// not shared by every entry or too long for its field, entries that do not
// fit the entry area.
Status EncodeIndexPage(const IndexPageHeader& header, ByteSpan entries,
                       std::span<const uint32_t> ends, const Layout& layout,
                       std::span<uint8_t> out);

}  // namespace engine
