// Packs rows onto fresh data pages (type 0x01) for a new database file.
//
//   DataPageBuilder rows(sink, table.first_page);     // owner: TDEF page, kLvalOwner or 0
//   auto where = rows.Add(row_bytes);                 // where the row will be
//   ...
//   rows.Finish();                                    // writes the last page
//   rows.pages();                                     // every page written, in page order
//
// Rows are placed densely from the end of the page down, in the order they
// are added; row i of a page ends where row i-1 starts (row 0 ends at the
// page end). The header carries the owner, the row count and the free space
// (the gap between the row-offset table and the lowest row). No slot is
// deleted or a lookup; unused bytes are zero; Jet 4's unknown field at 0x08
// is 0. The same input always gives the same bytes.
//
// Errors (3001) when the file grows past the pages a row pointer can name.
//
// Pages are allocated from the sink when a row first lands on them, so a
// page number is known as soon as Add returns; the page is written when the
// next row does not fit (or 255 slots are used) and on Finish. Pages of
// several builders (a table's rows, each long-value column, map rows) may
// therefore interleave in the file.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "engine/error.h"
#include "format/layout.h"
#include "io/pager.h"
#include "format/data_page.h"
#include "writer/page_sink.h"

namespace engine {

struct WrittenDataPage {
  uint32_t number = 0;
  uint16_t rows = 0;
  uint16_t free_space = 0;
};

// The error for a page number no row pointer can hold (3001, the database
// has grown past its limit).
Error PageBeyondRowPointers(uint32_t page);

class DataPageBuilder {
 public:
  // owner: the page header's owner field (the table's first TDEF page,
  // kLvalOwner for long-value pages, 0 for pages of usage-map rows).
  DataPageBuilder(PageSink& sink, uint32_t owner);
  DataPageBuilder(const DataPageBuilder&) = delete;
  DataPageBuilder& operator=(const DataPageBuilder&) = delete;

  // Places the row (copied) and returns its final address. A row longer
  // than MaxDataRowSize is refused with 3049 (no page can hold it). Sink
  // errors (3026, 3043) come back from writing the previous, full page.
  Result<RowPointer> Add(ByteSpan row);

  // Reserves `length` bytes for a row whose contents come later through
  // Fill (before the page is written, i.e. before the next Add, Reserve,
  // StartOnPage or Finish). Used for the last piece of a long-value chain,
  // whose address the earlier pieces need. The bytes are zero until filled.
  Result<RowPointer> Reserve(uint32_t length);
  // Copies `bytes` into a reserved row (bytes.size() must equal its length).
  // Errors (3001): `at` is not a reserved row of the current page, wrong size.
  Status Fill(RowPointer at, ByteSpan bytes);

  // Room for one more row of `length` bytes on the current page (false when
  // no page is open).
  bool Fits(uint32_t length) const;

  // Writes the current page, if it holds rows. The builder can be used again
  // afterwards (the next row opens a new page).
  Status Finish();

  uint32_t owner() const { return owner_; }
  // Every page written so far, in the order written (ascending page numbers).
  const std::vector<WrittenDataPage>& pages() const { return written_; }
  std::vector<uint32_t> page_numbers() const;
  // Pages with at least `min_free` bytes free (for free-space maps).
  std::vector<uint32_t> PagesWithRoom(uint32_t min_free) const;
  uint64_t rows_added() const { return rows_added_; }

 private:
  Status WriteCurrent();
  void OpenPage();

  PageSink& sink_;
  const Layout& layout_;
  uint32_t owner_;
  bool open_ = false;
  uint32_t page_number_ = 0;
  std::vector<uint8_t> page_;     // the page being filled
  std::vector<uint16_t> starts_;  // start offset of each row placed
  std::vector<bool> reserved_;    // rows awaiting Fill
  uint32_t low_ = 0;              // lowest row start so far
  std::vector<WrittenDataPage> written_;
  uint64_t rows_added_ = 0;
};

}  // namespace engine
