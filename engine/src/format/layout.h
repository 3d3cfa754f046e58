// Per-version constants of the Jet 3 / Jet 4 file layout.
//
// Every byte offset the reader, the writer and the checker use
// lives here, side by side for both versions, so no decoder hard-codes an
// offset. Offsets are from the start of the structure named in the comment.
#pragma once

#include <cstdint>
#include <string_view>

#include "engine/types.h"

namespace engine {

// First byte of every page.
enum class PageType : uint8_t {
  kHeader = 0x00,       // page 0, or a page that was never written
  kData = 0x01,         // table rows, long-value rows or usage-map rows
  kTableDef = 0x02,     // table definition (first or continuation page)
  kIndexNode = 0x03,    // index intermediate page
  kIndexLeaf = 0x04,    // index leaf page
  kUsageBitmap = 0x05,  // bitmap page of a reference usage map
  kLeftoverTdef = 0x08,
  kLeftoverData = 0x09,
};

// Column type codes as stored in a column definition.
enum class ColumnType : uint8_t {
  kBoolean = 0x01,
  kByte = 0x02,
  kInteger = 0x03,
  kLong = 0x04,
  kCurrency = 0x05,
  kSingle = 0x06,
  kDouble = 0x07,
  kDateTime = 0x08,
  kBinary = 0x09,
  kText = 0x0A,
  kOle = 0x0B,
  kMemo = 0x0C,
  kGuid = 0x0F,
  kNumeric = 0x10,
  // ACE only.
  kComplex = 0x12,           // 4-byte id of the row's values in the column's flat table
  kBigInt = 0x13,            // 8-byte signed integer (Access 2016 and later)
  kDateTimeExtended = 0x14,  // 42 ASCII bytes: days, seconds and 100 ns (Access 2019)
};
// "long", "text", ...; empty for codes we have no name for.
std::string_view ColumnTypeName(uint8_t type);
// Size in bytes of a fixed-size type's value, 0 when the size comes from the
// column definition (text, binary, unknown types) or the type has no bytes.
uint32_t FixedTypeSize(uint8_t type);

// Column flag bits (column definition, flags byte).
inline constexpr uint8_t kColumnFixed = 0x01;
inline constexpr uint8_t kColumnAutoLong = 0x04;
inline constexpr uint8_t kColumnAutoGuid = 0x40;
inline constexpr uint8_t kColumnHyperlink = 0x80;
// Jet 4 extended flag: Unicode compression allowed.
inline constexpr uint8_t kColumnCompressedUnicode = 0x01;
// ACE extended flags: a calculated column (both bits set), whose stored
// values wrap the expression's result (CalculatedResult in row.h).
inline constexpr uint8_t kColumnCalculated = 0xC0;

// Row-offset table entry bits on data pages.
inline constexpr uint16_t kRowOffsetMask = 0x1FFF;
inline constexpr uint16_t kRowLookupFlag = 0x4000;   // slot holds a pointer to the moved row
inline constexpr uint16_t kRowDeletedFlag = 0x8000;  // deleted, or the target of a moved row

struct Layout {
  JetVersion version;
  uint32_t page_size;

  // Page 0 (format/header.h), offsets from the page start.
  uint32_t header_mask_start;   // the RC4-masked region
  uint32_t header_mask_length;  // its bytes
  uint32_t header_code_page;
  uint32_t header_database_key;
  uint32_t header_password;
  uint32_t header_password_length;
  uint32_t header_sort_order_offset;
  uint32_t header_sort_order_version;  // 0 when the version has none
  uint32_t header_creation_date;       // 0 when the version has none
  uint32_t header_tail;                // the version's constant bytes after the masked region

  // Data pages.
  uint32_t data_free_space_offset;
  uint32_t data_owner_offset;
  uint32_t data_extra_offset;  // Jet 4's unknown field; 0 when the version has none
  uint32_t data_row_count_offset;
  uint32_t data_header_size;  // bytes before the row-offset table

  // Rows.
  uint32_t row_count_size;  // size of the column count / variable count fields (1 or 2)

  // Table definitions (format/table_def.h). Page header: the free space
  // (Jet 4; Jet 3 holds "VC" there), the next page of the chain; a
  // continuation page's bytes start after its header.
  uint32_t tdef_page_free_space;
  uint32_t tdef_next_page;
  uint32_t tdef_continuation_header;
  // Definition block, offsets from the start of the concatenation.
  uint32_t tdef_length;
  uint32_t tdef_constant;         // Jet 4 only: 1625 in every file
  uint32_t tdef_autonumber_flag;  // Jet 4 only: 0x01 in every file
  uint32_t tdef_num_rows;
  uint32_t tdef_autonumber;
  uint32_t tdef_table_type;
  uint32_t tdef_max_cols;
  uint32_t tdef_num_var_cols;
  uint32_t tdef_num_cols;
  uint32_t tdef_num_idx;
  uint32_t tdef_num_real_idx;
  uint32_t tdef_owned_map;
  uint32_t tdef_free_map;
  uint32_t tdef_block_end;         // start of the index-count blocks
  uint32_t tdef_index_count_size;  // per physical index
  uint32_t icount_a;               // in an index-count block
  uint32_t icount_b;
  uint32_t column_def_size;
  uint32_t column_name_length_size;  // 1 or 2
  uint32_t physical_index_size;
  uint32_t logical_index_size;

  // Column definition fields. Fields marked "Jet 4" / "Jet 3" exist only in
  // that version (the other's value is 0 and unused).
  uint32_t col_type;
  uint32_t col_constant;  // Jet 4: 1625
  uint32_t col_number;
  uint32_t col_var_index;
  uint32_t col_second_number;       // unknown: the column number in most columns
  uint32_t col_page0_copy;          // Jet 3: unknown, 1 in most files
  uint32_t col_sort_order;          // not in Jet 4 Decimal columns
  uint32_t col_code_page;           // Jet 3
  uint32_t col_precision;           // Jet 4 Decimal
  uint32_t col_scale;               // Jet 4 Decimal
  uint32_t col_sort_order_version;  // Jet 4, not Decimal
  uint32_t col_flags;
  uint32_t col_extended_flags;  // Jet 4
  uint32_t col_fixed_offset;
  uint32_t col_length;

  // Physical index definition fields.
  uint32_t pidx_constant;  // Jet 4: 1923
  uint32_t pidx_columns;   // ten (column number, order) slots
  uint32_t pidx_map;
  uint32_t pidx_root;
  uint32_t pidx_flags;

  // Logical index definition fields.
  uint32_t lidx_constant;  // Jet 4: 1625
  uint32_t lidx_number;
  uint32_t lidx_physical;
  uint32_t lidx_fk_role;
  uint32_t lidx_fk_index;
  uint32_t lidx_fk_table;
  uint32_t lidx_cascade_update;
  uint32_t lidx_cascade_delete;
  uint32_t lidx_kind;

  // Long-value map list entries: column number, owned map, free-space map.
  uint32_t lvmap_owned;
  uint32_t lvmap_free;
  uint32_t lvmap_entry_size;

  // Index pages.
  uint32_t ipage_prev;
  uint32_t ipage_next;
  uint32_t ipage_tail;
  uint32_t ipage_prefix;
  uint32_t ipage_prefix_size;  // 1 or 2
  uint32_t ipage_node_flag;
  uint32_t ipage_bitmask;
  uint32_t ipage_entries;

  // Usage maps: an inline row's start page and bitmap, a bitmap page's bitmap.
  uint32_t map_start_page;
  uint32_t map_inline_bitmap;
  uint32_t map_bitmap_page_data;
  // Pages covered by one bitmap page of a reference map.
  uint32_t pages_per_bitmap_page() const { return (page_size - map_bitmap_page_data) * 8; }
};

const Layout& LayoutFor(JetVersion version);

}  // namespace engine
