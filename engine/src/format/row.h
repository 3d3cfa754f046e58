// Row codec: split and decoded here (SplitRow, RowDecoder), encoded in
// row_encode.cpp (EncodeRow); where rows sit on a page is data_page.h's.
//
// Jet 4 row:  count(2) | fixed area | variable data | ... |
//             eod(2) off[v-1](2) .. off[0](2) | v(2) | null mask ceil(count/8)
// Jet 3 row:  count(1) | fixed area | variable data | ... |
//             eod(1) off[v-1](1) .. off[0](1) | jump table | v(1) | null mask
// A table with num_var_cols == 0 has no variable part at all (no eod, no v),
// nor has a row whose column count covers none of the table's variable
// columns (written before the first of them was added).
// Null-mask bit n (byte n/8, bit n%8) is column number n: set = present.
// Booleans have no bytes: the bit is the value.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "engine/error.h"
#include "format/table_def.h"

namespace engine {

struct FieldRef {
  // Booleans: the value. Others: false means NULL (absent from the row,
  // null-mask bit clear, or the row predates the column).
  bool present = false;
  ByteSpan bytes;  // the stored value (empty for booleans and NULLs)
};

// Decodes rows of one table. Reuse one decoder for many rows: it allocates
// only when constructed.
class RowDecoder {
 public:
  RowDecoder(const TableDef& table, const Layout& layout);

  // Decodes `row`; fields() then holds one FieldRef per entry of
  // TableDef::columns (definition order), pointing into `row`.
  // Errors (3049): counts, offsets or the jump table out of the row, a fixed
  // value past the fixed area.
  Status Decode(ByteSpan row);
  void DecodeOrThrow(ByteSpan row);  // same, throwing EngineFailure

  const std::vector<FieldRef>& fields() const { return fields_; }
  uint16_t row_column_count() const { return row_columns_; }
  uint16_t row_var_count() const { return row_vars_; }
  // Whether the last row has a variable part (offsets, count): false for
  // tables without variable columns and for rows older than the first one.
  bool row_has_var_part() const { return has_var_part_; }
  // Variable offsets of the last row, entries 0..v (eod last), real values.
  const std::vector<uint16_t>& var_offsets() const { return offsets_; }

 private:
  const TableDef& table_;
  const Layout& layout_;
  std::vector<FieldRef> fields_;
  std::vector<uint16_t> offsets_;
  uint16_t row_columns_ = 0;
  uint16_t row_vars_ = 0;
  bool has_var_part_ = false;
  uint32_t lowest_var_number_ = UINT32_MAX;  // column number of the first variable column
};

// A row split into its parts, for re-encoding.
struct RowParts {
  uint16_t column_count = 0;               // the row's own count (may be below max_cols)
  std::vector<uint8_t> fixed;              // bytes after the count, before the variable data
  std::vector<std::vector<uint8_t>> vars;  // by variable index (the row's own count of them)
  std::vector<uint8_t> null_mask;          // ceil(column_count / 8) bytes
  bool var_part = true;                    // false: no variable part (see row_has_var_part)
};

// Splits a stored row: the fixed area runs from the count to the first
// variable offset (or further, to the end of the last fixed value stored);
// each variable slot keeps its bytes; padding before the trailer is dropped.
// Errors (3049): what RowDecoder refuses.
// The result inside a calculated column's stored value: 16 bytes the
// engine keeps for itself, the result's length (4), the result as its type
// stores it, then 3 bytes of padding. Empty when `stored` is not such a
// wrapper (too short, or the length runs past it).
std::optional<ByteSpan> CalculatedResult(ByteSpan stored);
inline constexpr size_t kCalculatedHeader = 20;    // before the result
inline constexpr size_t kCalculatedOverhead = 23;  // around it

Result<RowParts> SplitRow(const TableDef& table, const Layout& layout, ByteSpan row);

// Lays the parts out as a row, with offsets, variable count and (Jet 3) jump
// table. Errors (3001): a null mask of the wrong size, more variable slots
// than the count field holds, offsets past what the version can address,
// a row longer than a data page can hold.
Result<std::vector<uint8_t>> EncodeRow(const Layout& layout, const RowParts& parts);

}  // namespace engine
