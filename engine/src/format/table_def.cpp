#include "format/table_def.h"

#include <algorithm>
#include <unordered_set>

#include "base/bytes.h"

namespace engine {

std::vector<const ColumnDef*> TableDef::ColumnsByNumber() const {
  std::vector<const ColumnDef*> out;
  out.reserve(columns.size());
  for (const auto& c : columns) out.push_back(&c);
  std::stable_sort(out.begin(), out.end(),
                   [](const ColumnDef* a, const ColumnDef* b) { return a->number < b->number; });
  return out;
}

const ColumnDef* TableDef::FindColumn(std::string_view name) const {
  for (const auto& c : columns) {
    if (c.name == name) return &c;
  }
  return nullptr;
}

const ColumnDef* TableDef::ColumnByNumber(uint16_t number) const {
  for (const auto& c : columns) {
    if (c.number == number) return &c;
  }
  return nullptr;
}

namespace {

std::string Where(uint32_t first_page) {
  return "table definition at page " + std::to_string(first_page);
}

void DecodeInto(TableDef& t, const Layout& L, const TextCodec& text) {
  const std::string where = Where(t.first_page);
  Reader r(t.raw, where);
  t.tdef_len = r.U32(8);
  t.num_rows = r.U32(L.tdef_num_rows);
  t.autonumber = r.U32(L.tdef_autonumber);
  t.table_type = r.U8(L.tdef_table_type);
  t.max_cols = r.U16(L.tdef_max_cols);
  t.num_var_cols = r.U16(L.tdef_num_var_cols);
  t.num_cols = r.U16(L.tdef_num_cols);
  t.num_idx = r.U32(L.tdef_num_idx);
  t.num_real_idx = r.U32(L.tdef_num_real_idx);
  t.owned_map = RowPointer::FromLe(r.U32(L.tdef_owned_map));
  t.free_map = RowPointer::FromLe(r.U32(L.tdef_free_map));

  // Counts are checked against the bytes they need before anything is
  // allocated for them.
  auto check_count = [&](uint64_t count, uint64_t each, size_t at, const char* what) {
    if (count * each > t.raw.size() - std::min(at, t.raw.size())) {
      Fail(ErrorCode::kDamaged, where + ": " + std::to_string(count) + " " + what +
                                    " do not fit the definition (" + std::to_string(t.raw.size()) +
                                    " bytes)");
    }
  };
  size_t pos = L.tdef_block_end;
  check_count(t.num_real_idx, L.tdef_index_count_size, pos, "physical indexes");
  std::vector<std::pair<ByteSpan, uint32_t>> counts;
  t.physical_indexes.resize(t.num_real_idx);
  for (uint32_t i = 0; i < t.num_real_idx; ++i) {
    PhysicalIndex& pi = t.physical_indexes[i];
    ByteSpan block = r.Slice(pos, L.tdef_index_count_size);
    pi.raw_counts.assign(block.begin(), block.end());
    pi.counts_offset = static_cast<uint32_t>(pos);
    pi.count_a = Le32(block.data());
    pi.count_b = Le32(block.data() + 4);
    pos += L.tdef_index_count_size;
  }

  check_count(t.num_cols, L.column_def_size, pos, "columns");
  t.columns.resize(t.num_cols);
  for (uint32_t i = 0; i < t.num_cols; ++i) {
    ColumnDef& c = t.columns[i];
    ByteSpan d = r.Slice(pos, L.column_def_size);
    c.definition_offset = static_cast<uint32_t>(pos);
    c.raw.assign(d.begin(), d.end());
    c.type = d[0];
    c.number = Le16(d.data() + L.col_number);
    c.var_index = Le16(d.data() + L.col_var_index);
    c.flags = d[L.col_flags];
    c.fixed_offset = Le16(d.data() + L.col_fixed_offset);
    c.length = Le16(d.data() + L.col_length);
    if (L.version == JetVersion::kJet4) {
      c.extended_flags = d[16];
      if (c.type == static_cast<uint8_t>(ColumnType::kNumeric)) {
        c.precision = d[11];
        c.scale = d[12];
      } else {
        c.sort_order = Le16(d.data() + 11);
        c.sort_order_version = d[14];
      }
    } else {
      c.sort_order = Le16(d.data() + 9);
      c.code_page = Le16(d.data() + 11);
    }
    pos += L.column_def_size;
  }

  auto read_name = [&](std::string& name, std::vector<uint8_t>& raw_name) {
    uint32_t len = r.UInt(pos, L.column_name_length_size);
    pos += L.column_name_length_size;
    ByteSpan bytes = r.Slice(pos, len);
    raw_name.assign(bytes.begin(), bytes.end());
    name = text.Name(bytes);
    pos += len;
  };
  for (auto& c : t.columns) read_name(c.name, c.raw_name);

  for (uint32_t i = 0; i < t.num_real_idx; ++i) {
    PhysicalIndex& pi = t.physical_indexes[i];
    pi.position = i;
    ByteSpan d = r.Slice(pos, L.physical_index_size);
    pi.raw.assign(d.begin(), d.end());
    pi.definition_offset = static_cast<uint32_t>(pos);
    for (int s = 0; s < 10; ++s) {
      const uint8_t* slot = d.data() + L.pidx_columns + 3 * s;
      uint16_t number = Le16(slot);
      if (number == 0xFFFF) continue;
      pi.columns.push_back({number, slot[2] != 0, slot[2]});
    }
    pi.map = RowPointer::FromLe(Le32(d.data() + L.pidx_map));
    pi.root_page = Le32(d.data() + L.pidx_root);
    pi.flags = d[L.pidx_flags];
    pos += L.physical_index_size;
  }

  check_count(t.num_idx, L.logical_index_size, pos, "logical indexes");
  t.logical_indexes.resize(t.num_idx);
  for (uint32_t i = 0; i < t.num_idx; ++i) {
    LogicalIndex& li = t.logical_indexes[i];
    ByteSpan d = r.Slice(pos, L.logical_index_size);
    li.raw.assign(d.begin(), d.end());
    li.definition_offset = static_cast<uint32_t>(pos);
    li.number = Le32(d.data() + L.lidx_number);
    li.physical = Le32(d.data() + L.lidx_physical);
    li.fk_role = d[L.lidx_fk_role];
    li.fk_index = Le32(d.data() + L.lidx_fk_index);
    li.fk_table = Le32(d.data() + L.lidx_fk_table);
    li.cascade_update = d[L.lidx_cascade_update];
    li.cascade_delete = d[L.lidx_cascade_delete];
    li.kind = d[L.lidx_kind];
    pos += L.logical_index_size;
  }
  for (auto& li : t.logical_indexes) read_name(li.name, li.raw_name);

  // Long-value column maps, ended by FF FF. Older writers may leave the
  // list out; stop quietly at the end of the definition.
  size_t limit = std::min<size_t>(t.raw.size(), std::max<size_t>(t.tdef_len, pos));
  while (pos + 2 <= limit) {
    uint16_t number = Le16(t.raw.data() + pos);
    if (number == 0xFFFF) {
      pos += 2;
      break;
    }
    if (pos + 10 > limit) break;
    LongValueMap m;
    m.column_number = number;
    m.entry_offset = static_cast<uint32_t>(pos);
    m.owned_map = RowPointer::FromLe(Le32(t.raw.data() + pos + 2));
    m.free_map = RowPointer::FromLe(Le32(t.raw.data() + pos + 6));
    t.long_value_maps.push_back(m);
    pos += 10;
  }
  t.parsed_length = static_cast<uint32_t>(pos);
}

}  // namespace

Result<TableDef> DecodeTableDef(ByteSpan raw, const Layout& layout, const TextCodec& text,
                                uint32_t first_page) {
  return Guard([&] {
    TableDef t;
    t.first_page = first_page;
    t.raw.assign(raw.begin(), raw.end());
    DecodeInto(t, layout, text);
    return t;
  });
}

Result<TableDef> ReadTableDef(const Pager& pager, const Layout& layout, const TextCodec& text,
                              uint32_t first_page) {
  return Guard([&] {
    TableDef t;
    t.first_page = first_page;
    const std::string where = Where(first_page);
    std::unordered_set<uint32_t> seen;
    uint32_t page = first_page;
    while (page != 0) {
      if (!seen.insert(page).second) {
        Fail(ErrorCode::kDamaged,
             where + ": the page chain loops back to page " + std::to_string(page));
      }
      ByteSpan bytes = pager.PageOrThrow(page);
      if (bytes[0] != static_cast<uint8_t>(PageType::kTableDef)) {
        Fail(ErrorCode::kDamaged, where + ": page " + std::to_string(page) +
                                      " is not a table definition page (type " +
                                      std::to_string(bytes[0]) + ")");
      }
      t.pages.push_back(page);
      t.page_free_space.push_back(Le16(bytes.data() + 2));
      if (t.raw.empty()) {
        t.raw.assign(bytes.begin(), bytes.end());
      } else {
        t.raw.insert(t.raw.end(), bytes.begin() + 8, bytes.end());
      }
      page = Le32(bytes.data() + 4);
    }
    DecodeInto(t, layout, text);
    return t;
  });
}

}  // namespace engine
