// Usage maps: sets of pages stored as bitmaps in rows of data pages.
//
// Type 0 (inline):    00 | start page (4) | bitmap; bit k of byte b = page start + 8b + k
// Type 1 (reference): 01 | page pointers (4 each) to 0x05 pages; pointer i covers
//                     pages i*R .. (i+1)*R-1, R = (page size - 4) * 8, bitmap at 4.
// The global map (page 1, row 0) marks FREE pages; every other map marks
// the pages owned by a table, an index or a long-value column.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "engine/error.h"
#include "io/pager.h"
#include "format/data_page.h"

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

// Writing maps (writer/usage_map_builder.h chooses the form).
inline constexpr uint8_t kInlineUsageMap = 0;
inline constexpr uint8_t kReferenceUsageMap = 1;
// Bitmap bytes of the usual inline map: 128 (Jet 3) / 64 (Jet 4).
uint32_t StandardInlineBitmapBytes(const Layout& layout);
// Row length of the usual map, inline or reference: 133 / 69.
uint32_t StandardUsageMapRowSize(const Layout& layout);
// Inline map row: type 0, start page, bitmap of `bitmap_bytes` bytes with the
// bits of `pages` set. Errors (3001): start not a multiple of 8, a page
// outside [start, start + 8 * bitmap_bytes).
Result<std::vector<uint8_t>> EncodeInlineUsageMap(const Layout& layout, uint32_t start_page,
                                                  uint32_t bitmap_bytes,
                                                  std::span<const uint32_t> pages);
// An empty inline map of the usual size (start 0, no bits).
std::vector<uint8_t> EmptyUsageMap(const Layout& layout);
// An empty bitmap page (type 0x05) of a reference map.
std::vector<uint8_t> EmptyBitmapPage(const Layout& layout);
// Marks page `first + k` in a bitmap (bit k % 8 of byte k / 8).
inline void SetMapBit(uint8_t* bitmap, uint64_t k) {
  bitmap[k / 8] |= static_cast<uint8_t>(1u << (k % 8));
}

}  // namespace engine
