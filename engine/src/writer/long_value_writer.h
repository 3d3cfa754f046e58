// Lays out Memo / OLE values afresh on long-value (LVAL) pages.
//
// One LongValueWriter serves one table. Each long-value column gets its own
// LVAL pages (owner "LVAL"), shared by that column's values only. A value
// is stored in one of three forms (the row keeps a 12-byte header):
//   inline   kind 0x80: the bytes follow the header inside the row; for
//            values of at most kInlineLimit bytes when the caller allows it;
//   single   kind 0x40: one LVAL row holding exactly the value, for values
//            up to 2032 (Jet 3) / 4076 (Jet 4) bytes;
//   chain    kind 0x00: LVAL rows of (next row pointer, data); every piece
//            but the last holds 2032 / 4072 data bytes and sits alone on its
//            page, the last holds the rest; the last pointer is 0.
// Header bytes 8..11 and Jet 4's LVAL page field at 0x08 hold a value of
// unknown meaning that Access repeats between a chain's header and its first
// page; the caller passes the source's (`chain_extra`) and the writer puts it
// in both places for a chain, 0 elsewhere.
// A zero-length value is an inline header of length 0.
//
// Values can be streamed: the writer pulls the bytes in order through a
// LongValueSource, one piece at a time, so memory stays at one page.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <vector>

#include "engine/error.h"
#include "format/layout.h"
#include "format/long_value.h"
#include "io/pager.h"
#include "format/data_page.h"
#include "writer/data_page_builder.h"
#include "writer/page_sink.h"

namespace engine {

// Longest value the writer stores inline (when the caller allows inline).
inline constexpr uint32_t kInlineLimit = 64;

// Data bytes of a single-row value at most / of every non-last chain piece.
uint32_t MaxSingleRowValue(const Layout& layout);  // 2032 / 4076
uint32_t ChainPieceData(const Layout& layout);     // 2032 / 4072

// Fills `out` with the next out.size() bytes of a value. Called repeatedly
// until the declared length is reached; an error stops the write.
using LongValueSource = std::function<Status(std::span<uint8_t> out)>;

// Where one column's values went, for its usage maps (the long-value map
// list of the table definition).
struct LongValueColumnPages {
  uint16_t column_number = 0;
  std::vector<uint32_t> pages;      // every LVAL page of the column, ascending
  std::vector<uint32_t> with_room;  // those with room for another value
  uint64_t values = 0;              // values stored off the row
};

class LongValueWriter {
 public:
  explicit LongValueWriter(PageSink& sink);
  ~LongValueWriter();
  LongValueWriter(const LongValueWriter&) = delete;
  LongValueWriter& operator=(const LongValueWriter&) = delete;

  // Stores a value of `column_number` and returns the field to put in the
  // row: the 12-byte header, followed by the data when stored inline.
  // allow_inline: false when the row has no room for the value's bytes.
  // Errors: 3001 length above kMaxLongValueLength; the source's errors;
  // sink errors 3026 / 3043.
  Result<std::vector<uint8_t>> Write(uint16_t column_number, ByteSpan value,
                                     bool allow_inline = true);
  Result<std::vector<uint8_t>> Write(uint16_t column_number, uint32_t length,
                                     const LongValueSource& source, bool allow_inline = true,
                                     uint32_t chain_extra = 0);

  // Writes every column's partly filled LVAL page. Call once at the end of
  // the table; Write must not be called afterwards.
  Status Finish();

  // Per column, ascending column number; complete after Finish.
  std::vector<LongValueColumnPages> Columns() const;

 private:
  struct Column;
  Column& ColumnFor(uint16_t number);

  PageSink& sink_;
  std::map<uint16_t, std::unique_ptr<Column>> columns_;
  bool finished_ = false;
};

}  // namespace engine
