// From a table's rows to index key values: the glue between the reader and
// the key encoder, for whoever compares stored keys with computed ones (the
// code-table generator, the corpus test, the checker).
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "format/long_value.h"
#include "format/table_def.h"
#include "io/pager.h"
#include "format/index_page.h"
#include "keys/index_key.h"
#include "format/row.h"

namespace engine {

KeyFormat KeyFormatOf(JetVersion version);

// Describes the key columns of `index`. Errors (3049): an index column that
// the table does not have.
Result<std::vector<KeyColumn>> IndexKeyColumns(JetVersion version, const TableDef& table,
                                               const PhysicalIndex& index);

// The key values of one decoded row, owning what it had to convert (Jet 4
// compressed text, memo data). Reused from row to row, its buffers keep
// their capacity.
struct RowKeyValues {
  std::vector<KeyValue> values;
  std::vector<std::vector<uint8_t>> storage;  // by key column, where needed
  std::string expanded;                       // scratch for compressed text
};

// Fills `out` for `index` from the row in `decoder` (Decode already called).
// Errors: a memo value that cannot be read.
Status GatherKeyValues(const Pager& pager, const Layout& layout, const TableDef& table, const PhysicalIndex& index,
                       const RowDecoder& decoder, RowKeyValues& out);

}  // namespace engine
