// Repair: a clean copy of a damaged Jet 3 / Jet 4 database, and a list of
// everything that could not be carried over.
//
//   auto r = engine::RepairDatabase("damaged.mdb", "repaired.mdb", {.password = "x"});
//   if (r.ok() && !r->losses.empty()) ...  // rows, values, tables, pages reported
//
// The source is read with the tolerant reader (salvage.h) and never written.
// Every table that read without loss is copied as a compaction copies it; a
// table that lost anything is rebuilt from exactly the rows that validated
// (a long value whose chain is broken left NULL); a table found without its
// catalog row gets a catalog row under its made-up name. The copy is then
// written by the compactor, so a file with no damage repairs to the very
// bytes CompactDatabase gives. The destination is created exclusively (3204
// when it exists) and removed on any failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/compact.h"
#include "engine/error.h"
#include "engine/progress.h"
#include "engine/salvage.h"

namespace engine {

struct RepairOptions {
  std::string password;  // of the source; the copy gets the same one
  ProgressCallback progress;
  std::size_t sort_budget_bytes = std::size_t{64} << 20;
  // The raw bytes of losses kept in memory; past this, they go to an
  // unlinked file beside the destination (LossRecord::spilled).
  std::size_t loss_bytes_in_memory = std::size_t{16} << 20;
};

class LossSpill;

struct RepairResult {
  CompactStats stats;              // of the copy written
  SalvageCounts counts;            // what the tolerant reading handed over and lost
  std::vector<LossRecord> losses;  // everything not carried over, in the order found
  bool header_rebuilt = false;     // page 0 was made anew from the pages
  // The table of the copy listing every loss, one row each (MSysCompactError
  // unless a table of that name other than a former repair's is there);
  // empty when nothing was lost.
  std::string error_table;
  // Why a copy that lost something has no such table (its catalog's sort
  // order gives no index key for the table's name); the losses are then in
  // `losses` and the report only.
  std::string error_table_note;
  std::shared_ptr<const LossSpill> spill;  // where spilled losses' bytes are

  // Anything lost: rows, values, tables or pages (notes about page 0 and
  // made-up table names are not losses of data).
  bool lost_anything() const;
  // The raw bytes and long values of `loss`, whether kept in memory or
  // spilled. Errors: 3043 when the spill file cannot be read back.
  Status LoadBytes(const LossRecord& loss, std::vector<uint8_t>& raw,
                   std::vector<std::pair<std::string, std::vector<uint8_t>>>& long_values) const;
};

// Errors: those of Salvager::Open (3024, 3044, 3051, 3043, 3343, 3031);
// 3204 the destination exists; 3049 when the catalog's own definition is
// lost and the rows on its pages do not fit the layout every catalog of the
// version has (there is nothing to name the tables by) or a key cannot be
// encoded;
// 3001 cancelled; 3026 / 3043 writing.
Result<RepairResult> RepairDatabase(const std::string& source, const std::string& destination,
                                    const RepairOptions& options = {});

}  // namespace engine
