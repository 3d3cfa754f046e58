// Building one physical index as a fresh B-tree of index pages.
//
// Entries arrive already sorted: strictly increasing by unsigned byte
// comparison of key · row pointer (row pointer in its index form: 3-byte
// big-endian page, row). The builder streams them into leaf pages filled up
// to the entry-area limit, links the leaves into one chain (previous/next),
// and builds the node levels above as leaves complete: every node holds one
// entry per child but the last (the child's greatest leaf entry, key · row
// pointer, then the child page big-endian), and names its last child in the
// child-tail field. Node pages of one level are linked like the leaves.
// Every page has the owning table's TDEF page in its owner field, its free
// space and entry-end bitmask set, and unused bytes zero. A tree that fits
// one leaf is that leaf; an empty index is one empty leaf.
//
// Leaves may use prefix compression (the first entry stored whole, the
// others without the prefix they share with it); node pages never do.
//
// Pages are allocated from the sink in the order they are started and each
// is written exactly once, when it is complete. The same entries always
// give the same pages.
//
//   IndexTreeBuilder tree(sink, {.owner_page = new_tdef_page});
//   for each sorted entry: tree.Add(key, new_row_pointer);
//   auto built = tree.Finish();   // root, pages, counts
//
// Errors: 3049 for entries out of order (or repeated) and for an entry too
// long to fit on an empty page; the sink's errors (3026, 3043) as they come.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/error.h"
#include "io/pager.h"
#include "format/data_page.h"
#include "writer/page_sink.h"

namespace engine {

struct IndexTreeOptions {
  uint32_t owner_page = 0;  // TDEF page of the owning table in the new file
  // Prefix compression on leaves: the first entry whole, the others without
  // the bytes every entry of the page shares with it. Access writes it on
  // Jet 3 leaves and on some Jet 4 ones; text indexes take about half the
  // leaves with it.
  bool leaf_prefixes = true;
};

struct BuiltIndex {
  uint32_t root_page = 0;
  std::vector<uint32_t> pages;  // every page of the tree, ascending
  uint64_t entry_count = 0;
  uint64_t distinct_keys = 0;  // keys (without row pointers) that differ from the previous one
  uint32_t leaf_pages = 0;
  uint32_t levels = 0;  // 1 when the root is a leaf
};

class IndexTreeBuilder {
 public:
  IndexTreeBuilder(PageSink& sink, IndexTreeOptions options);
  ~IndexTreeBuilder();
  IndexTreeBuilder(const IndexTreeBuilder&) = delete;
  IndexTreeBuilder& operator=(const IndexTreeBuilder&) = delete;

  // Appends one entry: `key` without the row pointer, `row` where the row is
  // in the new file (page < 2^24).
  Status Add(ByteSpan key, RowPointer row);
  // Writes the remaining pages and returns the tree. Call once.
  Result<BuiltIndex> Finish();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

// The entry bytes an index stores for `key` and `row`: key · 3-byte
// big-endian page · row.
std::vector<uint8_t> IndexEntryBytes(ByteSpan key, RowPointer row);

}  // namespace engine
