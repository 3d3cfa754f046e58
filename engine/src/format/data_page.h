// Data pages: the row-slot table and the page header.
//
// Data page (type 0x01) header:
//   Jet 3  Jet 4
//   0x02   0x02   2  free space
//   0x04   0x04   4  owner: TDEF page of the table, "LVAL", 0 (usage-map rows), 1 (page 1)
//   -      0x08   4  unknown (non-zero on some LVAL pages)
//   0x08   0x0C   2  number of row slots n
//   0x0A   0x0E   2n row-offset table: bits 0-12 start, 0x4000 lookup, 0x8000 deleted
// Row i occupies [start(i), start(i-1)) with start(-1) = page size.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "engine/error.h"
#include "engine/types.h"
#include "format/layout.h"

namespace engine {


struct RowSlot {
  uint16_t raw = 0;    // offset-table entry as stored
  uint16_t start = 0;  // first byte of the row in the page
  uint16_t end = 0;    // one past its last byte
  // False when the entry points into the header / offset table or past the
  // next row's start (possible for deleted slots; an error for live ones).
  bool in_bounds = false;

  bool deleted() const { return raw & kRowDeletedFlag; }
  bool lookup() const { return raw & kRowLookupFlag; }
  // An ordinary live row (neither deleted, nor an overflow target, nor a pointer).
  bool live() const { return (raw & (kRowDeletedFlag | kRowLookupFlag)) == 0; }
  uint16_t length() const { return in_bounds ? static_cast<uint16_t>(end - start) : 0; }
};

inline constexpr uint32_t kLvalOwner = 0x4C41564C;  // "LVAL" read little-endian

struct DataPage {
  uint32_t number = 0;
  uint16_t free_space = 0;
  uint32_t owner = 0;
  uint32_t extra = 0;  // Jet 4 offset 0x08
  std::vector<RowSlot> slots;

  bool is_lval() const { return owner == kLvalOwner; }
};

// Decodes a data page's header and row-offset table. Errors (3049): wrong
// page type, a row-offset table that does not fit the page.
Result<DataPage> DecodeDataPage(ByteSpan page, const Layout& layout, uint32_t number);

// Writing data pages. A page gets at most 255 row slots (a row pointer's row
// byte, and what Access itself writes).
inline constexpr uint32_t kMaxRowsPerDataPage = 255;
// Largest row that fits on an empty data page: 2036 (Jet 3) / 4080 (Jet 4).
uint32_t MaxDataRowSize(const Layout& layout);
// Free space of a data page holding `rows` slots with `row_bytes` bytes of rows.
uint32_t DataPageFreeSpace(const Layout& layout, uint32_t rows, uint32_t row_bytes);
// The header of a data page: type, owner, free space and row count (the
// Jet 4 field at 0x08 stays as it is, zero on a fresh page).
void PutDataPageHeader(const Layout& layout, std::span<uint8_t> page, uint32_t owner, uint32_t rows,
                       uint32_t free_space);
// One whole page (page_size bytes, unused bytes zero) holding `rows` in slot
// order, packed down from the page end. Errors (3001): the rows do not fit
// one page, more than kMaxRowsPerDataPage.
Result<std::vector<uint8_t>> EncodeDataPage(const Layout& layout, uint32_t owner,
                                            std::span<const ByteSpan> rows);

}  // namespace engine
