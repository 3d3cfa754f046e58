#include "format/layout.h"

namespace engine {

std::string_view PageTypeName(uint8_t type) {
  switch (type) {
    case 0x00:
      return "header/empty";
    case 0x01:
      return "data";
    case 0x02:
      return "table definition";
    case 0x03:
      return "index node";
    case 0x04:
      return "index leaf";
    case 0x05:
      return "usage bitmap";
    case 0x08:
      return "leftover definition";
    case 0x09:
      return "leftover data";
    default:
      return "unknown";
  }
}

std::string_view FileFormatName(FileFormat f) {
  switch (f) {
    case FileFormat::kJet3:
      return "jet3";
    case FileFormat::kJet4:
      return "jet4";
    case FileFormat::kAce12:
      return "ace12";
    case FileFormat::kAce14:
      return "ace14";
    case FileFormat::kAce15:
      return "ace15";
    case FileFormat::kAce16:
      return "ace16";
    case FileFormat::kAce17:
      return "ace17";
  }
  return "unknown";
}

std::string_view FileFormatProduct(FileFormat f) {
  switch (f) {
    case FileFormat::kJet3:
      return "Access 97";
    case FileFormat::kJet4:
      return "Access 2000-2003";
    case FileFormat::kAce12:
      return "Access 2007";
    case FileFormat::kAce14:
      return "Access 2010";
    case FileFormat::kAce15:
      return "Access 2013";
    case FileFormat::kAce16:
      return "Access 2016";
    case FileFormat::kAce17:
      return "Access 2019";
  }
  return "unknown";
}

std::string_view ColumnTypeName(uint8_t type) {
  switch (type) {
    case 0x01:
      return "boolean";
    case 0x02:
      return "byte";
    case 0x03:
      return "integer";
    case 0x04:
      return "long";
    case 0x05:
      return "currency";
    case 0x06:
      return "single";
    case 0x07:
      return "double";
    case 0x08:
      return "datetime";
    case 0x09:
      return "binary";
    case 0x0A:
      return "text";
    case 0x0B:
      return "ole";
    case 0x0C:
      return "memo";
    case 0x0F:
      return "guid";
    case 0x10:
      return "numeric";
    case 0x12:
      return "complex";
    case 0x13:
      return "bigint";
    case 0x14:
      return "datetime_extended";
    default:
      return {};
  }
}

uint32_t FixedTypeSize(uint8_t type) {
  switch (type) {
    case 0x02:
      return 1;
    case 0x03:
      return 2;
    case 0x04:
      return 4;
    case 0x05:
      return 8;
    case 0x06:
      return 4;
    case 0x07:
      return 8;
    case 0x08:
      return 8;
    case 0x0F:
      return 16;
    case 0x10:
      return 17;
    case 0x12:
      return 4;
    case 0x13:
      return 8;
    case 0x14:
      return 42;
    default:
      return 0;
  }
}

namespace {

constexpr Layout kJet3{
    .version = JetVersion::kJet3,
    .page_size = 2048,
    .header_mask_start = 0x18,
    .header_mask_length = 126,
    .header_code_page = 0x3C,
    .header_database_key = 0x3E,
    .header_password = 0x42,
    .header_password_length = 20,
    .header_sort_order_offset = 0x3A,
    .header_sort_order_version = 0,
    .header_creation_date = 0,
    .header_tail = 0,
    .data_free_space_offset = 0x02,
    .data_owner_offset = 0x04,
    .data_extra_offset = 0,
    .data_row_count_offset = 0x08,
    .data_header_size = 10,
    .row_count_size = 1,
    .tdef_page_free_space = 0x02,
    .tdef_next_page = 0x04,
    .tdef_continuation_header = 8,
    .tdef_length = 0x08,
    .tdef_constant = 0,
    .tdef_autonumber_flag = 0,
    .tdef_num_rows = 0x0C,
    .tdef_autonumber = 0x10,
    .tdef_table_type = 0x14,
    .tdef_max_cols = 0x15,
    .tdef_num_var_cols = 0x17,
    .tdef_num_cols = 0x19,
    .tdef_num_idx = 0x1B,
    .tdef_num_real_idx = 0x1F,
    .tdef_owned_map = 0x23,
    .tdef_free_map = 0x27,
    .tdef_block_end = 0x2B,
    .tdef_index_count_size = 8,
    .icount_a = 0,
    .icount_b = 4,
    .column_def_size = 18,
    .column_name_length_size = 1,
    .physical_index_size = 39,
    .logical_index_size = 20,
    .col_type = 0,
    .col_constant = 0,
    .col_number = 1,
    .col_var_index = 3,
    .col_second_number = 5,
    .col_page0_copy = 7,
    .col_sort_order = 9,
    .col_code_page = 11,
    .col_precision = 0,
    .col_scale = 0,
    .col_sort_order_version = 0,
    .col_flags = 13,
    .col_extended_flags = 0,
    .col_fixed_offset = 14,
    .col_length = 16,
    .pidx_constant = 0,
    .pidx_columns = 0,
    .pidx_map = 30,
    .pidx_root = 34,
    .pidx_flags = 38,
    .lidx_constant = 0,
    .lidx_number = 0,
    .lidx_physical = 4,
    .lidx_fk_role = 8,
    .lidx_fk_index = 9,
    .lidx_fk_table = 13,
    .lidx_cascade_update = 17,
    .lidx_cascade_delete = 18,
    .lidx_kind = 19,
    .lvmap_owned = 2,
    .lvmap_free = 6,
    .lvmap_entry_size = 10,
    .ipage_prev = 0x08,
    .ipage_next = 0x0C,
    .ipage_tail = 0x10,
    .ipage_prefix = 0x14,
    .ipage_prefix_size = 1,
    .ipage_node_flag = 0x15,
    .ipage_bitmask = 0x16,
    .ipage_entries = 0xF8,
    .map_start_page = 1,
    .map_inline_bitmap = 5,
    .map_bitmap_page_data = 4,
};

constexpr Layout kJet4{
    .version = JetVersion::kJet4,
    .page_size = 4096,
    .header_mask_start = 0x18,
    .header_mask_length = 128,
    .header_code_page = 0x3C,
    .header_database_key = 0x3E,
    .header_password = 0x42,
    .header_password_length = 40,
    .header_sort_order_offset = 0x6E,
    .header_sort_order_version = 0x71,
    .header_creation_date = 0x72,
    .header_tail = 0x98,
    .data_free_space_offset = 0x02,
    .data_owner_offset = 0x04,
    .data_extra_offset = 0x08,
    .data_row_count_offset = 0x0C,
    .data_header_size = 14,
    .row_count_size = 2,
    .tdef_page_free_space = 0x02,
    .tdef_next_page = 0x04,
    .tdef_continuation_header = 8,
    .tdef_length = 0x08,
    .tdef_constant = 0x0C,
    .tdef_autonumber_flag = 0x18,
    .tdef_num_rows = 0x10,
    .tdef_autonumber = 0x14,
    .tdef_table_type = 0x28,
    .tdef_max_cols = 0x29,
    .tdef_num_var_cols = 0x2B,
    .tdef_num_cols = 0x2D,
    .tdef_num_idx = 0x2F,
    .tdef_num_real_idx = 0x33,
    .tdef_owned_map = 0x37,
    .tdef_free_map = 0x3B,
    .tdef_block_end = 0x3F,
    .tdef_index_count_size = 12,
    .icount_a = 0,
    .icount_b = 4,
    .column_def_size = 25,
    .column_name_length_size = 2,
    .physical_index_size = 52,
    .logical_index_size = 28,
    .col_type = 0,
    .col_constant = 1,
    .col_number = 5,
    .col_var_index = 7,
    .col_second_number = 9,
    .col_page0_copy = 0,
    .col_sort_order = 11,
    .col_code_page = 0,
    .col_precision = 11,
    .col_scale = 12,
    .col_sort_order_version = 14,
    .col_flags = 15,
    .col_extended_flags = 16,
    .col_fixed_offset = 21,
    .col_length = 23,
    .pidx_constant = 0,
    .pidx_columns = 4,
    .pidx_map = 34,
    .pidx_root = 38,
    .pidx_flags = 46,
    .lidx_constant = 0,
    .lidx_number = 4,
    .lidx_physical = 8,
    .lidx_fk_role = 12,
    .lidx_fk_index = 13,
    .lidx_fk_table = 17,
    .lidx_cascade_update = 21,
    .lidx_cascade_delete = 22,
    .lidx_kind = 23,
    .lvmap_owned = 2,
    .lvmap_free = 6,
    .lvmap_entry_size = 10,
    .ipage_prev = 0x0C,
    .ipage_next = 0x10,
    .ipage_tail = 0x14,
    .ipage_prefix = 0x18,
    .ipage_prefix_size = 2,
    .ipage_node_flag = 0x1A,
    .ipage_bitmask = 0x1B,
    .ipage_entries = 0x1E0,
    .map_start_page = 1,
    .map_inline_bitmap = 5,
    .map_bitmap_page_data = 4,
};

}  // namespace

const Layout& LayoutFor(JetVersion version) {
  return version == JetVersion::kJet3 ? kJet3 : kJet4;
}

}  // namespace engine
