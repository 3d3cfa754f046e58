#include "check/index_entries.h"

#include <algorithm>
#include <unordered_map>

namespace engine {

Status ForEachIndexEntry(const Database& db,
                         const std::function<void(const IndexEntryContext&)>& visit,
                         const IndexFilter& wanted) {
  for (const CatalogObject* object : db.tables()) {
    auto table = db.ReadTableDef(object->table_page());
    if (!table.ok()) return table.error();
    const TableDef& def = table.value();
    if (def.physical_indexes.empty()) continue;
    if (wanted && std::none_of(def.physical_indexes.begin(), def.physical_indexes.end(),
                               [&](const PhysicalIndex& pi) { return wanted(def, pi); })) {
      continue;
    }

    std::unordered_map<uint32_t, std::vector<uint8_t>> rows;
    Status scanned = db.ScanRows(def, [&rows](const RowRef& row) {
      rows.emplace(row.location.page << 8 | row.location.row,
                   std::vector<uint8_t>(row.bytes.begin(), row.bytes.end()));
      return true;
    });
    if (!scanned.ok()) return scanned;

    RowDecoder decoder(def, db.layout());
    RowKeyValues values;
    for (const PhysicalIndex& index : def.physical_indexes) {
      auto columns = IndexKeyColumns(db.version(), def, index);
      if (!columns.ok()) return columns.error();
      if (index.root_page == 0 || (wanted && !wanted(def, index))) continue;
      Status failure = Status::Ok();
      Status walked = WalkLeafChain(
          db.pager(), db.layout(), index.root_page, [&](const IndexPage&, const IndexEntry& entry) {
            IndexEntryContext context{*object, def, index, entry, columns.value(), false, {}};
            auto row = rows.find(entry.row.page << 8 | entry.row.row);
            if (row != rows.end()) {
              Status st = decoder.Decode(row->second);
              if (st.ok())
                st = GatherKeyValues(db.pager(), db.layout(), def, index, decoder, values);
              if (!st.ok()) {
                failure = st;
                return false;
              }
              context.row_found = true;
              context.values = values.values;
            }
            visit(context);
            return true;
          });
      if (!walked.ok()) return walked;
      if (!failure.ok()) return failure;
    }
  }
  return Status::Ok();
}

}  // namespace engine
