// Usage maps: sets of pages stored as bitmaps in rows of data pages.
//
// Type 0 (inline):    00 | start page (4) | bitmap; bit k of byte b = page start + 8b + k
// Type 1 (reference): 01 | page pointers (4 each) to 0x05 pages; pointer i covers
//                     pages i*R .. (i+1)*R-1, R = (page size - 4) * 8, bitmap at 4.
// The global map (page 1, row 0) marks FREE pages; every other map marks
// the pages owned by a table, an index or a long-value column.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/error.h"
#include "engine/page.h"

namespace engine {

struct UsageMap {
  RowPointer location;                 // the row holding the map
  uint8_t type = 0;                    // 0 inline, 1 reference
  uint32_t start_page = 0;             // inline maps
  std::vector<uint32_t> bitmap_pages;  // reference maps: pointers as stored (0 = none)
  std::vector<uint8_t> raw;            // the map row's bytes
  std::vector<uint32_t> pages;         // set bits inside the file, ascending
  uint64_t pages_beyond_file = 0;      // set bits for pages >= page count
  uint64_t pages_covered = 0;          // pages the bitmap(s) describe, including ranges past
                                       // the file whose bitmap page was not read
  // The lowest of the pages beyond the file (when there are any).
  uint64_t first_page_beyond_file = 0;

  bool Contains(uint32_t page) const;
};

// Decodes the map stored in the row `pointer` names (little-endian row pointer
// as found in table definitions). Errors (3049) name the row: a pointer past
// the file, a row out of the page, an unknown map type, a bitmap page of the
// wrong type.
Result<UsageMap> ReadUsageMap(const Pager& pager, const Layout& layout, RowPointer pointer);
// Decodes a map from its row bytes (pager needed for reference maps).
Result<UsageMap> DecodeUsageMap(const Pager& pager, const Layout& layout, ByteSpan row);

}  // namespace engine
