#include "compact/table_def_writer.h"

#include <algorithm>
#include <string>

namespace engine {
namespace {

// Whether the decoder read the FF FF that ends the long-value map list.
bool EndsWithTerminator(const TableDef& def) {
  uint32_t n = def.parsed_length;
  if (n < 2 || n > def.raw.size() || def.raw[n - 2] != 0xFF || def.raw[n - 1] != 0xFF) return false;
  if (def.long_value_maps.empty()) return true;
  // The last entry's pointer may end in FF FF too.
  const LongValueMap& last = def.long_value_maps.back();
  return n == last.entry_offset + LayoutFor(JetVersion::kJet4).lvmap_entry_size + 2;
}

}  // namespace

uint32_t WrittenTableDefLength(const TableDef& def) {
  uint32_t n = std::min<uint32_t>(def.parsed_length, static_cast<uint32_t>(def.raw.size()));
  return EndsWithTerminator(def) ? n : n + 2;
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
  if (std::min<size_t>(def.parsed_length, def.raw.size()) < L.tdef_block_end) {
    return Error(ErrorCode::kInvalidArgument, "table definition at page " +
                                                  std::to_string(def.first_page) +
                                                  " is shorter than its fixed block");
  }
  TableDef t = def;
  t.num_rows = u.num_rows;
  t.autonumber = u.autonumber;
  t.owned_map = u.owned_map;
  t.free_map = u.free_map;
  for (size_t i = 0; i < t.physical_indexes.size(); ++i) {
    PhysicalIndex& pi = t.physical_indexes[i];
    pi.count_a = u.indexes[i].count_a;
    pi.count_b = u.indexes[i].count_b;
    pi.map = u.indexes[i].map;
    pi.root_page = u.indexes[i].root_page;
  }
  for (LogicalIndex& li : t.logical_indexes) {
    if (li.fk_table == 0 || !u.table_id) continue;
    li.fk_table = u.table_id(li.fk_table);
  }
  for (size_t i = 0; i < t.long_value_maps.size(); ++i) {
    t.long_value_maps[i].owned_map = u.long_values[i].owned_map;
    t.long_value_maps[i].free_map = u.long_values[i].free_map;
  }
  // The format's encoder lays the definition out again from its elements:
  // the same bytes as the source's up to its end (FF FF added when the
  // source lacked it), with the values above.
  return EncodeTableDef(t, L);
}

}  // namespace engine
