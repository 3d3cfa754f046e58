// The tolerant reader's state, shared by its parts:
//   salvage.cpp          opening: page 0, the page census, the catalog, the tables
//   salvage_rows.cpp     data pages, rows, overflow rows, long values, duplicates
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "salvage/census.h"
#include "salvage/salvage.h"

namespace engine {

inline LossRecord Loss(LossKind kind, uint32_t table, std::string table_name,
                       std::optional<RowPointer> position, std::string column, std::string reason,
                       std::vector<uint8_t> raw) {
  LossRecord r;
  r.kind = kind;
  r.table = table;
  r.table_name = std::move(table_name);
  r.position = position;
  r.column = std::move(column);
  r.reason = std::move(reason);
  r.raw = std::move(raw);
  return r;
}

struct Salvager::State {
  State() = default;
  State(const State&) = delete;
  State& operator=(const State&) = delete;

  SalvageOptions options;
  LossSink sink;

  std::unique_ptr<Pager> pager;
  DatabaseHeader header;
  bool header_rebuilt = false;
  const Layout* layout = nullptr;
  std::unique_ptr<TextCodec> text;
  // A file cut inside a page is padded to a whole page; bytes of the last
  // page from cut_offset on are not the file's.
  uint32_t truncated_bytes = 0;
  uint32_t cut_offset = 0;  // within the last page; 0 when the file ends on a page boundary

  PageCensus census;
  std::vector<uint8_t>& page_type = census.type;  // first byte of every page
  std::vector<uint32_t>& owner = census.owner;    // of data pages, kNoOwner for other pages
  std::vector<uint8_t> free;                      // 1: marked free in the global usage map
  bool have_global_map = false;
  // The file lost its end: cut inside a page, or pages past the end are in
  // use according to the global map.
  bool file_truncated = false;

  std::vector<SalvagedTable> tables;
  std::vector<CatalogObject> objects;
  std::set<uint32_t> table_pages;  // first TDEF pages of every readable table
  std::set<uint32_t> scanned;      // tables whose losses have been reported
  bool reporting = true;           // false while rescanning a table
  SalvageCounts counts;
  // Evidence that rows went without a trace: the file is cut short, or a
  // table's page map lists pages that are no longer its data pages.
  bool cut_evident = false;
  // Page 2 was lost and the catalog's definition rebuilt: its pages are
  // those that name it, as it has no page map.
  bool catalog_rebuilt = false;
  // The newest DateCreate / DateUpdate of the catalog's rows.
  std::optional<double> newest_catalog_date;
  std::set<uint32_t> lost_pages;               // tables whose map shows lost pages
  std::set<uint32_t> touched;                  // tables with any loss reported
  std::map<uint32_t, uint64_t> rows_reported;  // rows reported lost, by table

  void Lose(LossRecord record);
  // After a table's first whole scan that handed over `handed` rows: the rows
  // its stored count has beyond those found and those reported, when the
  // table shows damage.
  void ReportMissingRows(const SalvagedTable& table, uint64_t handed);
  bool OnCutPage(uint32_t page) const { return cut_offset != 0 && page + 1 == pager->page_count(); }
  // Bytes of page `page` that come from the file.
  uint32_t ValidBytes(uint32_t page) const {
    return OnCutPage(page) ? cut_offset : layout->page_size;
  }

  // salvage_rows.cpp
  // Scans one table's rows; `catalog` marks MSysObjects, whose losses are
  // catalog-row losses.
  Status Scan(const SalvagedTable& table, const RowVisitor& visit);
  // The table's data pages; pages that may or may not be the table's go to
  // `doubtful`.
  std::vector<uint32_t> DataPagesOf(const SalvagedTable& table, std::vector<uint32_t>* doubtful);
};

// The catalog's (MSysObjects') definition as every Jet 3 / Jet 4 file has
// it, for a file whose page 2 is lost: one whole plain TDEF page, without
// page maps or index roots.
std::vector<uint8_t> CatalogDefinitionPage(const Layout& layout, const DatabaseHeader& header);

}  // namespace engine
