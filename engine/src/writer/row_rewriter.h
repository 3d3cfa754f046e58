// Turns a source row into the row stored in the copy.
//
//   RowRewriter rewrite(table, source_db.layout(), source_db.pager(), long_values);
//   auto row = rewrite.Rewrite(ref.bytes);   // ref from ScanRows: overflow rows
//                                            // already resolved to their data
//   rows.Add(*row);
//
// What changes: every present Memo / OLE value is read from the source
// (streamed piece by piece) and written afresh through the LongValueWriter;
// the row gets the new 12-byte header (and inline data when the value is
// short and the row has room). Any padding between the variable data and
// the trailer is dropped, and the offsets (and Jet 3 jump table) are
// recomputed.
// What stays: the row's own column count and variable count (a row written
// before columns were added keeps its shorter layout), the fixed area byte
// for byte (deleted columns' bytes included), the null mask, every other
// variable slot's bytes. A row without long values is returned unchanged.
//
// The input is the row's data bytes; for an overflow row that is the bytes
// of its target slot, which become an ordinary row in the copy.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/error.h"
#include "format/layout.h"
#include "io/pager.h"
#include "format/data_page.h"
#include "format/row.h"
#include "format/table_def.h"
#include "writer/long_value_writer.h"

namespace engine {

// Largest row the writer produces by itself: 2012 (Jet 3) / 4060 (Jet 4).
// Long values stay inline only while the row stays within it; rows copied
// from the source may be longer (up to MaxDataRowSize) and are kept.
uint32_t NewRowSizeCap(const Layout& layout);

class RowRewriter {
 public:
  RowRewriter(const TableDef& table, const Layout& layout, const Pager& source,
              LongValueWriter& long_values);

  // Errors: 3049 a row or long value the source cannot give (naming it);
  // writer and sink errors.
  Result<std::vector<uint8_t>> Rewrite(ByteSpan source_row);
  // The same for a row the caller has decoded (a RowDecoder of the same
  // definition and layout). The result is `source_row` itself when the row
  // has no long value, else bytes that stay valid until the next call.
  Result<ByteSpan> RewriteDecoded(ByteSpan source_row, const RowDecoder& decoded);

 private:
  const TableDef& table_;
  const Layout& layout_;
  const Pager& source_;
  LongValueWriter& long_values_;
  RowDecoder decoder_;
  std::vector<const ColumnDef*> long_columns_;  // memo / OLE columns
  std::vector<uint8_t> out_;                    // the last rewritten row
};

}  // namespace engine
