// Every entry of every index with the row it points at, decoded: the walk
// the key checks and the key-code learning share.
#pragma once

#include <functional>
#include <span>

#include "format/index_page.h"
#include "keys/index_key.h"
#include "keys/rows/row_keys.h"
#include "reader/database.h"

namespace engine {

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
// table (system tables included); with `wanted`, of the indexes it accepts
// only (a table without one is not read). Stops at the first error of the
// reader.
using IndexFilter = std::function<bool(const TableDef&, const PhysicalIndex&)>;
Status ForEachIndexEntry(const Database& db,
                         const std::function<void(const IndexEntryContext&)>& visit,
                         const IndexFilter& wanted = {});

}  // namespace engine
