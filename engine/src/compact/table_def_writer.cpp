#include "compact/table_def_writer.h"

#include <algorithm>
#include <string>
#include "base/bytes.h"

namespace engine {
namespace {

bool EndsWithTerminator(const TableDef& def) {
  uint32_t n = def.parsed_length;
  return n >= 2 && n <= def.raw.size() && def.raw[n - 2] == 0xFF && def.raw[n - 1] == 0xFF;
}

}  // namespace

uint32_t WrittenTableDefLength(const TableDef& def) {
  uint32_t n = std::min<uint32_t>(def.parsed_length, static_cast<uint32_t>(def.raw.size()));
  return EndsWithTerminator(def) ? n : n + 2;
}

uint32_t TableDefPageCount(uint32_t length, uint32_t page_size) {
  if (length <= page_size) return 1;
  uint32_t per_page = page_size - 8;
  return 1 + (length - page_size + per_page - 1) / per_page;
}

Result<std::vector<uint8_t>> RewriteTableDef(const TableDef& def, const Layout& L,
                                             const TableDefUpdate& u) {
  if (u.indexes.size() != def.physical_indexes.size()) {
    return Error(ErrorCode::kInvalidArgument,
                 "table definition at page " + std::to_string(def.first_page) + ": " +
                     std::to_string(u.indexes.size()) + " index updates for " +
                     std::to_string(def.physical_indexes.size()) + " physical indexes");
  }
  if (u.long_values.size() != def.long_value_maps.size()) {
    return Error(ErrorCode::kInvalidArgument,
                 "table definition at page " + std::to_string(def.first_page) + ": " +
                     std::to_string(u.long_values.size()) + " long-value map updates for " +
                     std::to_string(def.long_value_maps.size()) + " entries");
  }
  const uint32_t length = WrittenTableDefLength(def);
  std::vector<uint8_t> out(def.raw.begin(),
                           def.raw.begin() + std::min<size_t>(def.parsed_length, def.raw.size()));
  if (out.size() < length) out.resize(length, 0xFF);  // the missing FF FF terminator
  if (out.size() < L.tdef_block_end) {
    return Error(ErrorCode::kInvalidArgument, "table definition at page " +
                                                  std::to_string(def.first_page) +
                                                  " is shorter than its fixed block");
  }
  uint8_t* p = out.data();
  Put32(p + 8, length);
  Put32(p + L.tdef_num_rows, u.num_rows);
  Put32(p + L.tdef_autonumber, u.autonumber);
  Put32(p + L.tdef_owned_map, u.owned_map.ToLe());
  Put32(p + L.tdef_free_map, u.free_map.ToLe());
  for (size_t i = 0; i < def.physical_indexes.size(); ++i) {
    const PhysicalIndex& pi = def.physical_indexes[i];
    Put32(p + pi.counts_offset, u.indexes[i].count_a);
    Put32(p + pi.counts_offset + 4, u.indexes[i].count_b);
    Put32(p + pi.definition_offset + L.pidx_map, u.indexes[i].map.ToLe());
    Put32(p + pi.definition_offset + L.pidx_root, u.indexes[i].root_page);
  }
  for (const LogicalIndex& li : def.logical_indexes) {
    if (li.fk_table == 0 || !u.table_id) continue;
    Put32(p + li.definition_offset + L.lidx_fk_table, u.table_id(li.fk_table));
  }
  for (size_t i = 0; i < def.long_value_maps.size(); ++i) {
    const LongValueMap& m = def.long_value_maps[i];
    Put32(p + m.entry_offset + 2, u.long_values[i].owned_map.ToLe());
    Put32(p + m.entry_offset + 6, u.long_values[i].free_map.ToLe());
  }
  return out;
}

std::vector<std::vector<uint8_t>> SplitTableDef(const std::vector<uint8_t>& definition,
                                                const std::vector<uint32_t>& pages,
                                                const Layout& L) {
  const uint32_t ps = L.page_size;
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
      size_t n = std::min<size_t>(ps - 8, definition.size() - pos);
      std::copy_n(definition.begin() + static_cast<std::ptrdiff_t>(pos), n, page.begin() + 8);
      pos += n;
      used = 8 + n;
    }
    if (L.version == JetVersion::kJet3) {
      page[2] = 'V';
      page[3] = 'C';
    } else {
      Put16(page.data() + 2, used + 8 >= ps ? 0 : static_cast<uint16_t>(ps - used - 8));
    }
    Put32(page.data() + 4, i + 1 < pages.size() ? pages[i + 1] : 0);
    out.push_back(std::move(page));
  }
  return out;
}

}  // namespace engine
