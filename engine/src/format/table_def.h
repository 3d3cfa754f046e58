// Table definitions (TDEF, page type 0x02), possibly spanning several pages:
// read (ReadTableDef, DecodeTableDef) and written (EncodeTableDef,
// SplitTableDef) here and nowhere else. Every offset is in Layout (tdef_*,
// col_*, pidx_*, lidx_*, lvmap_*, icount_*).
//
// The first page holds bytes 0..PS-1 of the definition; each continuation
// page (linked through the 4-byte pointer at 0x04) adds its bytes 8..PS-1.
// Bytes 0x02..0x03 of each page: Jet 4 the page's free space, Jet 3 "VC".
// Layout of the concatenation, in order: fixed block (offsets in Layout),
// num_real_idx index-count blocks, num_cols column definitions, num_cols
// names, num_real_idx physical index definitions, num_idx logical index
// definitions, num_idx logical index names, long-value map list ended by FF FF.
//
// Every decoded element keeps its raw bytes so a writer can copy unknown
// fields unchanged.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/error.h"
#include "engine/values.h"
#include "format/data_page.h"
#include "format/text.h"
#include "io/pager.h"

namespace engine {

struct ColumnDef {
  uint8_t type = 0;
  uint16_t number = 0;         // null-mask bit and index reference
  uint16_t var_index = 0;      // slot in the variable offset table (variable columns)
  uint16_t second_number = 0;  // unknown field after var_index: the number in most columns
  uint16_t page0_copy = 0;     // Jet 3 unknown field: 1 in most files
  uint16_t fixed_offset = 0;   // position in the fixed area (fixed columns)
  uint16_t length = 0;
  uint8_t flags = 0;
  uint8_t extended_flags = 0;      // Jet 4
  uint16_t sort_order = 0;         // collating order (LCID); 0 for Jet 4 Decimal
  uint8_t sort_order_version = 0;  // Jet 4
  uint16_t code_page = 0;          // Jet 3
  uint8_t precision = 0;           // Jet 4 Decimal
  uint8_t scale = 0;               // Jet 4 Decimal
  // A calculated column's result type from its ResultType property (set by
  // readers that looked it up; 0: unknown, the declared type stands).
  uint8_t result_type = 0;
  std::string name;                // UTF-8
  uint32_t definition_offset = 0;  // in TableDef::raw
  std::vector<uint8_t> raw;        // the column definition as stored
  std::vector<uint8_t> raw_name;   // the name as stored (without length)

  bool fixed() const { return flags & kColumnFixed; }
  bool is_boolean() const { return type == static_cast<uint8_t>(ColumnType::kBoolean); }
  bool calculated() const { return (extended_flags & kColumnCalculated) == kColumnCalculated; }
  // A calculated text column without a length: its wrapped results are
  // long values.
  bool calculated_long_value() const {
    return calculated() && type == static_cast<uint8_t>(ColumnType::kText) && length == 0;
  }
  // Memo and OLE columns, and calculated_long_value ones.
  bool holds_long_values() const { return is_long_value() || calculated_long_value(); }
  bool is_long_value() const {
    return type == static_cast<uint8_t>(ColumnType::kMemo) ||
           type == static_cast<uint8_t>(ColumnType::kOle);
  }
};

struct IndexColumn {
  uint16_t column_number = 0;
  bool ascending = true;
  uint8_t raw_order = 0;
};

inline constexpr uint8_t kIndexUnique = 0x01;
inline constexpr uint8_t kIndexIgnoreNulls = 0x02;
inline constexpr uint8_t kIndexRequired = 0x08;

struct PhysicalIndex {
  uint32_t position = 0;             // 0-based among the physical indexes
  std::vector<IndexColumn> columns;  // used slots, key order
  RowPointer map;                    // usage map of its pages
  uint32_t root_page = 0;
  uint8_t flags = 0;
  uint32_t count_a = 0, count_b = 0;  // index-count block
  std::vector<uint8_t> raw;           // definition bytes
  std::vector<uint8_t> raw_counts;    // index-count block bytes
  uint32_t definition_offset = 0;     // of `raw` in TableDef::raw
  uint32_t counts_offset = 0;         // of `raw_counts` in TableDef::raw
};

struct LogicalIndex {
  uint32_t number = 0;
  uint32_t physical = 0;           // position of the physical index
  uint8_t fk_role = 0;             // 1 referenced side, 2 referencing side, 0 none
  uint32_t fk_index = 0xFFFFFFFF;  // logical index number in the other table
  uint32_t fk_table = 0;           // TDEF page of the other table
  uint8_t cascade_update = 0;
  uint8_t cascade_delete = 0;
  uint8_t kind = 0;  // 0 ordinary, 1 primary key, 2 foreign key
  std::string name;
  std::vector<uint8_t> raw;
  std::vector<uint8_t> raw_name;
  uint32_t definition_offset = 0;  // of `raw` in TableDef::raw
};

struct LongValueMap {
  uint16_t column_number = 0;
  RowPointer owned_map;  // page 0: none
  RowPointer free_map;
  uint32_t entry_offset = 0;  // of the 10-byte entry in TableDef::raw
};

struct TableDef {
  uint32_t first_page = 0;                // the table's object id
  std::vector<uint32_t> pages;            // the chain, first page first
  std::vector<uint8_t> raw;               // concatenated definition (see top)
  std::vector<uint16_t> page_free_space;  // Jet 4 per-page field; Jet 3: "VC" as 0x4356

  uint32_t tdef_len = 0;
  uint32_t num_rows = 0;
  uint32_t autonumber = 0;
  uint8_t table_type = 0;  // 'S' Jet system table, 'N' other
  uint16_t max_cols = 0;
  uint16_t num_var_cols = 0;
  uint16_t num_cols = 0;
  uint32_t num_idx = 0;
  uint32_t num_real_idx = 0;
  RowPointer owned_map;
  RowPointer free_map;
  uint32_t parsed_length = 0;  // bytes used up to and including FF FF

  std::vector<ColumnDef> columns;  // definition order (Jet 4: not by number)
  std::vector<PhysicalIndex> physical_indexes;
  std::vector<LogicalIndex> logical_indexes;
  std::vector<LongValueMap> long_value_maps;

  // Columns sorted by column number.
  std::vector<const ColumnDef*> ColumnsByNumber() const;
  const ColumnDef* FindColumn(std::string_view name) const;
  const ColumnDef* ColumnByNumber(uint16_t number) const;
};

// Reads the chain starting at first_page and decodes it. Errors (3049)
// name the page: wrong page type, a cycle, counts or lengths that do not
// fit the definition. Column numbers are taken as stored (rows are decoded
// within each row's own column count, so odd numbers cannot read out of
// bounds); the checker reports numbers >= max_cols and duplicates.
Result<TableDef> ReadTableDef(const PageSource& pager, const Layout& layout, const TextCodec& text,
                              uint32_t first_page);
// Decodes an already concatenated definition (tests; repair of a broken chain).
Result<TableDef> DecodeTableDef(ByteSpan raw, const Layout& layout, const TextCodec& text,
                                uint32_t first_page);

// Encodes `def` as one concatenated definition, laid out in the order above:
// the element vectors give the counts, every field the decoder reads is
// written where it reads it, and tdef_len is the result's length. Each
// element starts from its raw bytes when it has them (so unknown fields
// survive a rewrite: decoding and encoding again gives the same bytes) and
// otherwise from what Access writes in a fresh one (Jet 4's constants,
// zeros). Names are written from raw_name (the caller encodes the text);
// a physical index's column slots are rewritten only when they do not
// already hold its columns. Errors (3001): raw bytes of the wrong size,
// more than ten index columns, a name too long for its length field.
Result<std::vector<uint8_t>> EncodeTableDef(const TableDef& def, const Layout& layout);

// The number of pages a definition of `length` bytes takes.
uint32_t TableDefPageCount(uint32_t length, uint32_t page_size);
// Splits a concatenated definition over `pages` (first page first), filling
// in chain pointers and the per-page free space field (Jet 3: "VC"). Each
// returned page is page_size bytes, unused bytes zero.
std::vector<std::vector<uint8_t>> SplitTableDef(const std::vector<uint8_t>& definition,
                                                const std::vector<uint32_t>& pages,
                                                const Layout& layout);

// Jet 4's constants in a fresh definition, column and index.
inline constexpr uint32_t kJet4TdefConstant = 1625;
inline constexpr uint32_t kJet4PhysicalIndexConstant = 1923;
// Slots of a physical index's column list (2-byte column number, 1-byte order).
inline constexpr uint32_t kIndexColumnSlots = 10;
inline constexpr uint32_t kIndexColumnSlotSize = 3;
inline constexpr uint16_t kNoIndexColumn = 0xFFFF;
inline constexpr uint16_t kLongValueMapsEnd = 0xFFFF;

}  // namespace engine
