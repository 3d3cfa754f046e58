// Data pages: the page header and the row-slot table, read (SlotTable,
// DecodeDataPage) and written (PutDataPageHeader, PutSlotEntry,
// EncodeDataPage) here and nowhere else.
//
// Data page (type 0x01) header, offsets named in Layout (data_*):
//   Jet 3  Jet 4
//   0x00   0x00   1  page type 0x01
//   0x01   0x01   1  0x01
//   0x02   0x02   2  free space: bytes between the row-offset table and the lowest row
//   0x04   0x04   4  owner: TDEF page of the table, "LVAL", 0 (usage-map rows), 1 (page 1)
//   -      0x08   4  unknown (non-zero on some LVAL pages)
//   0x08   0x0C   2  number of row slots n
//   0x0A   0x0E   2n row-offset table: bits 0-12 start (kRowOffsetMask),
//                    0x4000 lookup (kRowLookupFlag), 0x8000 deleted (kRowDeletedFlag)
// Row i occupies [start(i), end(i)) with end(i) = start(i-1) and end(0) =
// page size: rows are packed down from the page end in slot order.
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
  uint16_t flags() const { return raw & ~kRowOffsetMask & 0xFFFF; }  // the bits above the start
};

inline constexpr uint32_t kLvalOwner = 0x4C41564C;  // "LVAL" read little-endian

// Where the row-offset table of a page with `rows` slots ends.
inline uint32_t SlotTableEnd(const Layout& layout, uint32_t rows) {
  return layout.data_header_size + 2 * rows;
}

// Slots a row pointer can address: its row byte names rows 0..255, so no
// reader looks past slot 255 and a page with more slots is damaged.
inline constexpr uint32_t kRowPointerSlots = 256;

// The one reading of a data page's header and row-offset table. A view over
// the page's bytes (which must outlive it); it never throws and never reads
// past the bytes it was given: callers choose what a bad slot means (the
// strict reader fails, salvage reports it and goes on).
//
// `valid` is how many of the page's bytes are really there (a page cut
// short at the end of the file); a row must end inside them.
class SlotTable {
 public:
  SlotTable(ByteSpan page, const Layout& layout)
      : SlotTable(page, layout, static_cast<uint32_t>(page.size())) {}
  SlotTable(ByteSpan page, const Layout& layout, uint32_t valid);

  uint8_t page_type() const { return page_[0]; }
  bool is_data_page() const { return page_[0] == static_cast<uint8_t>(PageType::kData); }
  uint16_t free_space() const;
  uint32_t owner() const;
  uint32_t extra() const;  // Jet 4's field at 0x08; 0 on Jet 3
  bool is_lval() const { return owner() == kLvalOwner; }

  // The row count as stored, and where the offset table ends.
  uint32_t count() const { return count_; }
  uint32_t table_end() const { return SlotTableEnd(layout_, count_); }
  // The offset table lies inside the valid bytes (every other accessor but
  // the header fields assumes it does, or asks `has`).
  bool fits() const { return table_end() <= valid_; }
  // It fits, and has no more slots than row pointers can address.
  bool addressable() const { return fits() && count_ <= kRowPointerSlots; }
  // Slot i exists in a table that fits.
  bool has(uint32_t i) const { return fits() && i < count_; }

  uint16_t raw(uint32_t i) const;  // the entry as stored
  uint32_t start(uint32_t i) const { return raw(i) & kRowOffsetMask; }
  // One past the row's last byte: where the slot before it starts.
  uint32_t end(uint32_t i) const { return i == 0 ? layout_.page_size : start(i - 1); }
  bool deleted(uint32_t i) const { return raw(i) & kRowDeletedFlag; }
  bool lookup(uint32_t i) const { return raw(i) & kRowLookupFlag; }
  // Neither deleted (nor an overflow target) nor a pointer to a moved row.
  bool live(uint32_t i) const { return (raw(i) & (kRowDeletedFlag | kRowLookupFlag)) == 0; }
  // The row lies between the offset table and the valid bytes' end, and
  // does not end before it starts.
  bool in_bounds(uint32_t i) const {
    uint32_t s = start(i), e = end(i);
    return s >= table_end() && s <= e && e <= valid_;
  }
  // The row's bytes; empty when it is not in bounds.
  ByteSpan bytes(uint32_t i) const;

  // The tolerant reading, for when slot i-1's entry may be the damaged one:
  // the row ends at the lowest start above its own (page size when none).
  uint32_t nearest_end(uint32_t i) const;
  // The row's bytes up to nearest_end, empty when they lie out of bounds.
  ByteSpan nearest_bytes(uint32_t i) const;
  // The row starts inside the row area (between the offset table and the
  // valid bytes' end), wherever it ends.
  bool starts_in_row_area(uint32_t i) const { return start(i) >= table_end() && start(i) < valid_; }

  // Slots not flagged deleted (live rows and pointers to moved rows); 0 when
  // the table does not fit.
  uint32_t undeleted_count() const;
  // The lowest row start at or above the offset table's end (page size when
  // there is none): the free space is the gap between the two.
  uint32_t lowest_row_start() const;
  // The lowest start of all slots, wherever it points (page size when none).
  uint32_t lowest_start() const;

 private:
  ByteSpan page_;
  const Layout& layout_;
  uint32_t valid_;
  uint32_t count_;
};

struct DataPage {
  uint32_t number = 0;
  uint16_t free_space = 0;
  uint32_t owner = 0;
  uint32_t extra = 0;  // Jet 4 offset 0x08
  std::vector<RowSlot> slots;

  bool is_lval() const { return owner == kLvalOwner; }
};

// Decodes a data page's header and row-offset table through SlotTable: the
// strict reading. Errors (3049): wrong page size or type, a row-offset table
// that does not fit the page. Slots out of bounds are kept, flagged; unlike
// SlotTable::end, a start beyond the page does not bound the next row.
Result<DataPage> DecodeDataPage(ByteSpan page, const Layout& layout, uint32_t number);

// Writing data pages. A page gets at most 255 row slots (one fewer than a
// row pointer's row byte could address, and what Access itself writes).
inline constexpr uint32_t kMaxRowsPerDataPage = 255;
// Largest row that fits on an empty data page: 2036 (Jet 3) / 4080 (Jet 4).
uint32_t MaxDataRowSize(const Layout& layout);
// Free space of a data page holding `rows` slots with `row_bytes` bytes of rows.
uint32_t DataPageFreeSpace(const Layout& layout, uint32_t rows, uint32_t row_bytes);
// The header of a data page: type, owner, free space and row count (the
// Jet 4 field at 0x08 stays as it is, zero on a fresh page).
void PutDataPageHeader(const Layout& layout, std::span<uint8_t> page, uint32_t owner, uint32_t rows,
                       uint32_t free_space);
// Slot i's entry in the row-offset table (the table must hold slot i).
void PutSlotEntry(const Layout& layout, std::span<uint8_t> page, uint32_t i, uint16_t raw);
void PutDataPageOwner(const Layout& layout, std::span<uint8_t> page, uint32_t owner);
void PutDataPageFreeSpace(const Layout& layout, std::span<uint8_t> page, uint32_t free_space);
// Jet 4's field at 0x08 (no-op on Jet 3).
void PutDataPageExtra(const Layout& layout, std::span<uint8_t> page, uint32_t extra);
// One whole page (page_size bytes, unused bytes zero) holding `rows` in slot
// order, packed down from the page end. Errors (3001): the rows do not fit
// one page, more than kMaxRowsPerDataPage.
Result<std::vector<uint8_t>> EncodeDataPage(const Layout& layout, uint32_t owner,
                                            std::span<const ByteSpan> rows);

}  // namespace engine
