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
  t.tdef_len = r.U32(L.tdef_length);
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
    pi.count_a = Le32(block.data() + L.icount_a);
    pi.count_b = Le32(block.data() + L.icount_b);
    pos += L.tdef_index_count_size;
  }

  check_count(t.num_cols, L.column_def_size, pos, "columns");
  t.columns.resize(t.num_cols);
  for (uint32_t i = 0; i < t.num_cols; ++i) {
    ColumnDef& c = t.columns[i];
    ByteSpan d = r.Slice(pos, L.column_def_size);
    c.definition_offset = static_cast<uint32_t>(pos);
    c.raw.assign(d.begin(), d.end());
    c.type = d[L.col_type];
    c.number = Le16(d.data() + L.col_number);
    c.var_index = Le16(d.data() + L.col_var_index);
    c.second_number = Le16(d.data() + L.col_second_number);
    c.flags = d[L.col_flags];
    c.fixed_offset = Le16(d.data() + L.col_fixed_offset);
    c.length = Le16(d.data() + L.col_length);
    if (L.version == JetVersion::kJet4) {
      c.extended_flags = d[L.col_extended_flags];
      if (c.type == static_cast<uint8_t>(ColumnType::kNumeric)) {
        c.precision = d[L.col_precision];
        c.scale = d[L.col_scale];
      } else {
        c.sort_order = Le16(d.data() + L.col_sort_order);
        c.sort_order_version = d[L.col_sort_order_version];
      }
    } else {
      c.page0_copy = Le16(d.data() + L.col_page0_copy);
      c.sort_order = Le16(d.data() + L.col_sort_order);
      c.code_page = Le16(d.data() + L.col_code_page);
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
    for (uint32_t s = 0; s < kIndexColumnSlots; ++s) {
      const uint8_t* slot = d.data() + L.pidx_columns + kIndexColumnSlotSize * s;
      uint16_t number = Le16(slot);
      if (number == kNoIndexColumn) continue;
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
    if (number == kLongValueMapsEnd) {
      pos += 2;
      break;
    }
    if (pos + L.lvmap_entry_size > limit) break;
    LongValueMap m;
    m.column_number = number;
    m.entry_offset = static_cast<uint32_t>(pos);
    m.owned_map = RowPointer::FromLe(Le32(t.raw.data() + pos + L.lvmap_owned));
    m.free_map = RowPointer::FromLe(Le32(t.raw.data() + pos + L.lvmap_free));
    t.long_value_maps.push_back(m);
    pos += L.lvmap_entry_size;
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

Result<TableDef> ReadTableDef(const PageSource& pager, const Layout& layout, const TextCodec& text,
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
      t.page_free_space.push_back(Le16(bytes.data() + layout.tdef_page_free_space));
      if (t.raw.empty()) {
        t.raw.assign(bytes.begin(), bytes.end());
      } else {
        t.raw.insert(t.raw.end(), bytes.begin() + layout.tdef_continuation_header, bytes.end());
      }
      page = Le32(bytes.data() + layout.tdef_next_page);
    }
    DecodeInto(t, layout, text);
    return t;
  });
}

namespace {

// A fresh element's bytes: zeros, with Jet 4's constant at `constant_at`.
std::vector<uint8_t> Fresh(const Layout& L, uint32_t size, uint32_t constant_at,
                           uint32_t constant) {
  std::vector<uint8_t> b(size, 0);
  if (L.version == JetVersion::kJet4) Put32(b.data() + constant_at, constant);
  return b;
}

// An element's starting bytes: its raw bytes, or a fresh element's.
std::vector<uint8_t> Base(const std::vector<uint8_t>& raw, std::vector<uint8_t> fresh,
                          const char* what) {
  if (raw.empty()) return fresh;
  if (raw.size() != fresh.size()) {
    Fail(ErrorCode::kInvalidArgument, std::string(what) + " of " + std::to_string(raw.size()) +
                                          " bytes, not " + std::to_string(fresh.size()));
  }
  return raw;
}

void AppendName(std::vector<uint8_t>& out, const Layout& L, const std::vector<uint8_t>& name) {
  const uint64_t limit = L.column_name_length_size == 1 ? 0xFF : 0xFFFF;
  if (name.size() > limit) {
    Fail(ErrorCode::kInvalidArgument,
         "a name of " + std::to_string(name.size()) + " bytes does not fit its length field");
  }
  for (uint32_t i = 0; i < L.column_name_length_size; ++i) {
    out.push_back(static_cast<uint8_t>(name.size() >> (8 * i)));
  }
  out.insert(out.end(), name.begin(), name.end());
}

// The columns a physical index's slot bytes name, as the decoder reads them.
std::vector<std::pair<uint16_t, uint8_t>> SlotColumns(const std::vector<uint8_t>& d,
                                                      const Layout& L) {
  std::vector<std::pair<uint16_t, uint8_t>> out;
  for (uint32_t s = 0; s < kIndexColumnSlots; ++s) {
    const uint8_t* slot = d.data() + L.pidx_columns + kIndexColumnSlotSize * s;
    if (Le16(slot) != kNoIndexColumn) out.emplace_back(Le16(slot), slot[2]);
  }
  return out;
}

}  // namespace

Result<std::vector<uint8_t>> EncodeTableDef(const TableDef& t, const Layout& L) {
  return Guard([&] {
    const bool jet4 = L.version == JetVersion::kJet4;
    std::vector<uint8_t> fresh_block(L.tdef_block_end, 0);
    fresh_block[0] = static_cast<uint8_t>(PageType::kTableDef);
    fresh_block[1] = 0x01;
    if (jet4) {
      Put32(fresh_block.data() + L.tdef_constant, kJet4TdefConstant);
      fresh_block[L.tdef_autonumber_flag] = 0x01;
    }
    std::vector<uint8_t> out =
        t.raw.size() >= L.tdef_block_end
            ? std::vector<uint8_t>(t.raw.begin(), t.raw.begin() + L.tdef_block_end)
            : fresh_block;
    uint8_t* p = out.data();
    Put32(p + L.tdef_num_rows, t.num_rows);
    Put32(p + L.tdef_autonumber, t.autonumber);
    p[L.tdef_table_type] = t.table_type;
    Put16(p + L.tdef_max_cols, t.max_cols);
    Put16(p + L.tdef_num_var_cols, t.num_var_cols);
    Put16(p + L.tdef_num_cols, static_cast<uint32_t>(t.columns.size()));
    Put32(p + L.tdef_num_idx, static_cast<uint32_t>(t.logical_indexes.size()));
    Put32(p + L.tdef_num_real_idx, static_cast<uint32_t>(t.physical_indexes.size()));
    Put32(p + L.tdef_owned_map, t.owned_map.ToLe());
    Put32(p + L.tdef_free_map, t.free_map.ToLe());

    for (const PhysicalIndex& pi : t.physical_indexes) {
      std::vector<uint8_t> b =
          Base(pi.raw_counts, std::vector<uint8_t>(L.tdef_index_count_size, 0), "an index count");
      Put32(b.data() + L.icount_a, pi.count_a);
      Put32(b.data() + L.icount_b, pi.count_b);
      out.insert(out.end(), b.begin(), b.end());
    }
    for (const ColumnDef& c : t.columns) {
      std::vector<uint8_t> b =
          Base(c.raw, Fresh(L, L.column_def_size, L.col_constant, kJet4TdefConstant), "a column");
      uint8_t* d = b.data();
      d[L.col_type] = c.type;
      Put16(d + L.col_number, c.number);
      Put16(d + L.col_var_index, c.var_index);
      Put16(d + L.col_second_number, c.second_number);
      d[L.col_flags] = c.flags;
      Put16(d + L.col_fixed_offset, c.fixed_offset);
      Put16(d + L.col_length, c.length);
      if (jet4) {
        d[L.col_extended_flags] = c.extended_flags;
        if (c.type == static_cast<uint8_t>(ColumnType::kNumeric)) {
          d[L.col_precision] = c.precision;
          d[L.col_scale] = c.scale;
        } else {
          Put16(d + L.col_sort_order, c.sort_order);
          d[L.col_sort_order_version] = c.sort_order_version;
        }
      } else {
        Put16(d + L.col_page0_copy, c.page0_copy);
        Put16(d + L.col_sort_order, c.sort_order);
        Put16(d + L.col_code_page, c.code_page);
      }
      out.insert(out.end(), b.begin(), b.end());
    }
    for (const ColumnDef& c : t.columns) AppendName(out, L, c.raw_name);
    for (const PhysicalIndex& pi : t.physical_indexes) {
      std::vector<uint8_t> b =
          Base(pi.raw, Fresh(L, L.physical_index_size, L.pidx_constant, kJet4PhysicalIndexConstant),
               "a physical index");
      if (pi.columns.size() > kIndexColumnSlots) {
        Fail(ErrorCode::kInvalidArgument,
             "an index of " + std::to_string(pi.columns.size()) + " columns (at most 10)");
      }
      std::vector<std::pair<uint16_t, uint8_t>> wanted;
      for (const IndexColumn& ic : pi.columns) wanted.emplace_back(ic.column_number, ic.raw_order);
      if (pi.raw.empty() || SlotColumns(b, L) != wanted) {
        for (uint32_t s = 0; s < kIndexColumnSlots; ++s) {
          uint8_t* slot = b.data() + L.pidx_columns + kIndexColumnSlotSize * s;
          Put16(slot, s < wanted.size() ? wanted[s].first : kNoIndexColumn);
          slot[2] = s < wanted.size() ? wanted[s].second : 0;
        }
      }
      Put32(b.data() + L.pidx_map, pi.map.ToLe());
      Put32(b.data() + L.pidx_root, pi.root_page);
      b[L.pidx_flags] = pi.flags;
      out.insert(out.end(), b.begin(), b.end());
    }
    for (const LogicalIndex& li : t.logical_indexes) {
      std::vector<uint8_t> b =
          Base(li.raw, Fresh(L, L.logical_index_size, L.lidx_constant, kJet4TdefConstant),
               "a logical index");
      uint8_t* d = b.data();
      Put32(d + L.lidx_number, li.number);
      Put32(d + L.lidx_physical, li.physical);
      d[L.lidx_fk_role] = li.fk_role;
      Put32(d + L.lidx_fk_index, li.fk_index);
      Put32(d + L.lidx_fk_table, li.fk_table);
      d[L.lidx_cascade_update] = li.cascade_update;
      d[L.lidx_cascade_delete] = li.cascade_delete;
      d[L.lidx_kind] = li.kind;
      out.insert(out.end(), b.begin(), b.end());
    }
    for (const LogicalIndex& li : t.logical_indexes) AppendName(out, L, li.raw_name);
    for (const LongValueMap& m : t.long_value_maps) {
      std::vector<uint8_t> b(L.lvmap_entry_size, 0);
      Put16(b.data(), m.column_number);
      Put32(b.data() + L.lvmap_owned, m.owned_map.ToLe());
      Put32(b.data() + L.lvmap_free, m.free_map.ToLe());
      out.insert(out.end(), b.begin(), b.end());
    }
    out.push_back(static_cast<uint8_t>(kLongValueMapsEnd));
    out.push_back(static_cast<uint8_t>(kLongValueMapsEnd >> 8));
    Put32(out.data() + L.tdef_length, static_cast<uint32_t>(out.size()));
    return out;
  });
}

uint32_t TableDefPageCount(uint32_t length, uint32_t page_size) {
  if (length <= page_size) return 1;
  uint32_t per_page = page_size - 8;
  return 1 + (length - page_size + per_page - 1) / per_page;
}

std::vector<std::vector<uint8_t>> SplitTableDef(const std::vector<uint8_t>& definition,
                                                const std::vector<uint32_t>& pages,
                                                const Layout& L) {
  const uint32_t ps = L.page_size;
  const uint32_t header = L.tdef_continuation_header;
  std::vector<std::vector<uint8_t>> out;
  size_t pos = 0;
  for (size_t i = 0; i < pages.size(); ++i) {
    std::vector<uint8_t> page(ps, 0);
    size_t used;
    if (i == 0) {
      size_t n = std::min<size_t>(ps, definition.size());
      std::copy_n(definition.begin(), n, page.begin());
      pos = n;
      used = n;
    } else {
      page[0] = definition[0];
      page[1] = definition[1];
      size_t n = std::min<size_t>(ps - header, definition.size() - pos);
      std::copy_n(definition.begin() + static_cast<std::ptrdiff_t>(pos), n, page.begin() + header);
      pos += n;
      used = header + n;
    }
    if (L.version == JetVersion::kJet3) {
      page[L.tdef_page_free_space] = 'V';
      page[L.tdef_page_free_space + 1] = 'C';
    } else {
      // Free space as Access counts it: the page less its bytes used and 8.
      Put16(page.data() + L.tdef_page_free_space,
            used + 8 >= ps ? 0 : static_cast<uint16_t>(ps - used - 8));
    }
    Put32(page.data() + L.tdef_next_page, i + 1 < pages.size() ? pages[i + 1] : 0);
    out.push_back(std::move(page));
  }
  return out;
}

}  // namespace engine
