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
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/compact.h"
#include "engine/error.h"
#include "engine/progress.h"
#include "engine/types.h"

namespace engine {

enum class LossKind : uint8_t {
  kHeader,             // page 0 could not be used as stored (nothing lost; what was assumed)
  kPage,               // a page whose rows could not be reached (raw: the page)
  kTable,              // a table whose definition cannot be read
  kCatalogRow,         // an MSysObjects row that does not validate (raw: the row)
  kRow,                // a row that does not validate or cannot be reached (raw: the row)
  kValue,              // a long value whose chain is broken: the row kept, the value NULL
                       // (raw: the bytes recovered from the chain)
  kDuplicateRow,       // a row repeating an earlier row's unique key (raw: the row)
  kTableName,          // a table found without its catalog row, under a made-up name
  kRelationship,       // repair: a relationship whose partner table is lost, kept as an
                       // ordinary index (raw: its logical index definition)
  kMissingRows,        // rows a damaged table's stored row count says it had that were
                       // found nowhere (lost pages, a file cut short): `missing` rows, an
                       // estimate; nothing raw is left of them
  kCatalogDefinition,  // the catalog's own definition (page 2) was unreadable and is
                       // rebuilt from the layout every file of the version shares
                       // (nothing lost; raw: page 2 as found)
  // Kinds added later go here, at the end, so the numbers of those above stay.
  kNullKey,       // a row with a NULL key column in its table's primary key or a required
                  // index: left out, the rest of the table kept (raw: the row; column: the index)
  kSortOrder,     // a text column whose keys could not be made under its sort order,
                  // keyed under General in the copy, every index on it too (nothing
                  // lost; column: the column, reason: its old order and why)
  kAlteredValue,  // a row whose values an index of the source contradicts: kept as
                  // stored (raw: the row); column: the index's key columns; reason: the
                  // indexes and, where the key determines it, the value each holds
  kDefinition,    // a table definition that contradicts itself, set right in the copy
                  // (column: the column or index; reason: what was wrong and what was
                  // done, a dropped index included; raw: the element as found)
};
// "header", "page", "table", ...: the names used in reports.
std::string_view LossKindName(LossKind kind);

struct LossRecord {
  LossKind kind = LossKind::kRow;
  uint32_t table = 0;  // first TDEF page of the table concerned; 0 none
  std::string table_name;
  std::optional<RowPointer> position;  // the page (and row) concerned
  std::string column;                  // kValue: the column; kDuplicateRow: the index
  std::string reason;
  std::vector<uint8_t> raw;  // the bytes that were not carried over
  uint64_t missing = 0;      // kMissingRows: how many rows
  // kDuplicateRow: the row's long values that could be read, by column name.
  std::vector<std::pair<std::string, std::vector<uint8_t>>> long_values;
  // A repair keeps the bytes of many losses on disk rather than in memory:
  // then raw and long_values are empty here and RepairResult::LoadBytes
  // gives them back.
  bool spilled = false;
  uint64_t spill_offset = 0;
  uint64_t spill_size = 0;
};

// Receives every loss as it is found; called from the reading thread.
struct SalvageCounts {
  uint64_t rows = 0;                 // rows handed over
  uint64_t rows_lost = 0;            // kRow and kDuplicateRow records (catalog rows included),
                                     // plus the rows kMissingRows records estimate
  uint64_t rows_lost_estimated = 0;  // the part of rows_lost that is an estimate
  uint64_t values_lost = 0;          // kValue records
  uint64_t pages_lost = 0;           // kPage records
  uint64_t tables_lost = 0;          // kTable records
  uint64_t tables_renamed = 0;       // kTableName records
};

struct RepairOptions {
  std::string password;  // of the source; the copy gets the same one
  ProgressCallback progress;
  std::size_t sort_budget_bytes = std::size_t{32} << 20;  // as CompactOptions's
  // The raw bytes of losses kept in memory; past this, they go to an
  // unlinked file beside the destination (LossRecord::spilled).
  std::size_t loss_bytes_in_memory = std::size_t{16} << 20;
};

class LossSpill;

// Text codes the repair worked out from the damaged file's own index entries
// for characters its built-in tables lack (counts of distinct characters).
struct KeyCodeLearning {
  // In indexed text of kept rows, not in the built-in tables (Jet 3: or
  // with an accent weight they leave open where it matters).
  uint32_t missing = 0;
  uint64_t observations = 0;       // intact entries holding such a character, learned from
  uint32_t learned = 0;            // learned from those entries, each reproducing every one of them
  uint32_t derived = 0;            // from base letter + accent code, used
  uint32_t derived_confirmed = 0;  // of those, reproducing at least one entry
  uint32_t derived_dropped = 0;    // derived but contradicted by an entry: not used
  // The split check: codes derived from half the entries, held against the
  // other half.
  uint32_t held_out_confirmed = 0;
  uint32_t held_out_contradicted = 0;
  // And every code worked out from half the entries (learned, derived,
  // confirmed) encoding the keys of the other half: keys that come out as
  // stored, and keys that do not.
  uint64_t held_out_keys_reproduced = 0;
  uint64_t held_out_keys_mismatched = 0;
  // Sort orders without built-in codes: characters whose General code that
  // order's own keys confirm.
  uint32_t confirmed_general = 0;
  // Jet 3 letters whose accent weight the built-in table leaves open, taken
  // as one placeholder where the keys in which it matters confirm it.
  uint32_t weights_confirmed = 0;
  uint32_t unresolved = 0;  // still without a (usable) code
};

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
  KeyCodeLearning key_codes;

  // Anything lost: rows, values, tables or pages (notes about page 0 and
  // made-up table names are not losses of data).
  bool lost_anything() const;
  // The raw bytes and long values of `loss`, whether kept in memory or
  // spilled. Errors: 3043 when the spill file cannot be read back.
  Status LoadBytes(const LossRecord& loss, std::vector<uint8_t>& raw,
                   std::vector<std::pair<std::string, std::vector<uint8_t>>>& long_values) const;
};

// Errors: those of Salvager::Open (3024, 3044, 3051, 3043, 3031; 3343 for anything
// not Jet 3 / Jet 4, an ACE file whose page 0 still says so among them);
// 3204 the destination exists; 3049 when the catalog's own definition is
// lost and the rows on its pages do not fit the layout every catalog of the
// version has (there is nothing to name the tables by) or a key cannot be
// encoded;
// 3001 cancelled; 3026 / 3043 writing.
Result<RepairResult> RepairDatabase(const std::string& source, const std::string& destination,
                                    const RepairOptions& options = {});

}  // namespace engine
