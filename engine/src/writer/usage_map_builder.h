// Usage maps of a new database file: a set of pages -> the bytes of the map row.
//
// Owned / free-space maps of tables, indexes and long-value columns:
//   * inline (type 0) with the usual bitmap of 64 (Jet 4) / 128 (Jet 3) bytes,
//     start page = the lowest page rounded down to a multiple of 8, when the
//     highest page fits that window; an empty set gives start 0 and no bits;
//   * otherwise a reference map (type 1) of the usual row size (17 / 33 page
//     pointers): each range of (page size - 4) * 8 pages holding a page of
//     the set gets a bitmap page (type 0x05) allocated and written through
//     the sink; other pointers are 0.
// The global map (page 1 row 0, set bit = FREE page) has its own builder.
//
// Where map rows live: on data pages with owner 0. Use a DataPageBuilder
// with owner 0 and Add each map row; the RowPointer it returns is the usage-
// map pointer for the table definition. Maps of several tables may share a
// page. Build a map only once every page it lists is allocated.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "engine/error.h"
#include "format/layout.h"
#include "format/usage_map.h"
#include "writer/page_sink.h"

namespace engine {

// The map of a table's, index's or long-value column's pages (any order,
// duplicates allowed), inline when it fits, else a reference map whose
// bitmap pages are allocated from and written to `sink`. Errors: sink
// errors (3026 / 3043); a page number beyond what a reference map of the
// usual size covers (3001).
Result<std::vector<uint8_t>> BuildUsageMap(PageSink& sink, std::span<const uint32_t> pages);

// The global map for a file whose pages 0 .. pages_in_use-1 are all in use:
// no bit set inside the file; every bit past its end that the map covers is
// set. Inline (start 0) with a bitmap of max(64 / 128, ceil(pages / 8)
// rounded up to a multiple of 4) bytes while the row is at most
// `max_inline_row` bytes long; otherwise a reference map, whose bitmap pages
// are allocated from the sink at the end of the file (and so are in use
// themselves; the sink's next page must be `pages_in_use`).
Result<std::vector<uint8_t>> BuildGlobalUsageMap(PageSink& sink, uint32_t pages_in_use,
                                                 uint32_t max_inline_row);

}  // namespace engine
