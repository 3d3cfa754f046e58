// Writing a table definition into a compacted file.
//
// The definition is the source's own bytes with every pointer and derived
// value replaced: row count, AutoNumber value, owned and free-space map
// pointers, index-count blocks, each physical index's map and root page,
// each foreign key's other-table page, each long-value column's two map
// pointers, the definition length, and per page the chain pointer and the
// Jet 4 free-space field (Jet 3: "VC"). Every other byte is copied,
// unknown fields included; bytes past the definition's end are dropped.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "engine/error.h"
#include "format/layout.h"
#include "io/pager.h"
#include "format/data_page.h"
#include "format/table_def.h"

namespace engine {

struct TableDefUpdate {
  uint32_t num_rows = 0;
  uint32_t autonumber = 0;
  RowPointer owned_map;
  RowPointer free_map;
  struct Index {
    RowPointer map;
    uint32_t root_page = 0;
    uint32_t count_a = 0;
    uint32_t count_b = 0;
  };
  std::vector<Index> indexes;  // one per physical index, in order
  struct LongValue {
    RowPointer owned_map;
    RowPointer free_map;
  };
  std::vector<LongValue> long_values;  // one per TableDef::long_value_maps entry, in order
  // The new id of a table from its old one (foreign keys' other table).
  std::function<uint32_t(uint32_t)> table_id;
};

// The length in bytes of the definition as it will be written (the source's
// parsed length, plus the FF FF terminator when the source lacked it).
uint32_t WrittenTableDefLength(const TableDef& def);
// The number of pages a definition of `length` bytes takes.
uint32_t TableDefPageCount(uint32_t length, uint32_t page_size);

// The rewritten definition as one concatenated buffer. Errors (3001): an
// update whose index or long-value lists do not match the definition.
Result<std::vector<uint8_t>> RewriteTableDef(const TableDef& def, const Layout& layout,
                                             const TableDefUpdate& update);

// Splits a concatenated definition over `pages` (first page first), filling
// in chain pointers and the per-page free space field. Each returned page is
// page_size bytes, unused bytes zero.
std::vector<std::vector<uint8_t>> SplitTableDef(const std::vector<uint8_t>& definition,
                                                const std::vector<uint32_t>& pages,
                                                const Layout& layout);

}  // namespace engine
