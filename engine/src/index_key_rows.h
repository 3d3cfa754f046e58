// From a table's rows to index key values: the glue between the reader and
// the key encoder, for whoever compares stored keys with computed ones (the
// code-table generator, the corpus test, the checker).
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "engine/database.h"
#include "engine/index.h"
#include "engine/index_key.h"
#include "engine/row.h"

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
Status GatherKeyValues(const Database& db, const TableDef& table, const PhysicalIndex& index,
                       const RowDecoder& decoder, RowKeyValues& out);

// One leaf entry with the row it points to.
struct IndexEntryContext {
  const CatalogObject& table_object;
  const TableDef& table;
  const PhysicalIndex& index;
  const IndexEntry& entry;
  std::span<const KeyColumn> columns;
  bool row_found = false;            // the entry points at a live row of the table
  std::span<const KeyValue> values;  // when row_found
};

// Calls visit for every leaf entry of every physical index of every local
// table (system tables included). Stops at the first error of the reader.
Status ForEachIndexEntry(const Database& db,
                         const std::function<void(const IndexEntryContext&)>& visit);

}  // namespace engine
