// Compaction: a fresh, densely packed copy of a Jet 3 / Jet 4 database.
//
//   auto stats = engine::CompactDatabase("in.mdb", "out.mdb", {.password = "x"});
//
// The source is opened read-only and never written. The destination must not
// exist: it is created exclusively (error 3204 when it exists, and it is left
// alone). On any failure the partial destination is removed. The copy has the
// source's format, password, code page, sort order and encoding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/error.h"
#include "engine/progress.h"

namespace engine {

struct ExtraTextCodes;  // index_key.h

// How the copy treats text columns whose sort order's keys cannot be made.
enum class SortOrderPolicy : uint8_t {
  kKeep,             // keep every column's sort order; a key that cannot be made is error 3049
  kGeneralAsNeeded,  // re-key under General the text columns with a key that cannot be made
  kGeneral,          // re-key every text column under General (re-sorts the whole database)
};

// A text column the copy keys under General instead of its own sort order.
struct SortOrderChange {
  std::string table;
  std::string column;
  uint16_t old_sort_order = 0;  // LCID
  uint8_t old_version = 0;      // Jet 4 sort-order version
  std::string reason;           // why: the key that could not be made, or asked for
};

struct CompactOptions {
  std::string password;  // of the source; the copy gets the same one
  ProgressCallback progress;
  // Memory for sorting the keys of one table's indexes (shared among them)
  // before they spill to disk in runs; with what else a compaction holds,
  // the default keeps its own memory within 64 MiB.
  std::size_t sort_budget_bytes = std::size_t{32} << 20;
  // Text codes for characters the compiled-in tables lack (the repair learns
  // them from the damaged file's own keys); null for none.
  std::shared_ptr<const ExtraTextCodes> extra_text_codes;
  SortOrderPolicy sort_order = SortOrderPolicy::kKeep;
};

struct CompactStats {
  uint32_t pages_before = 0;
  uint32_t pages_after = 0;
  uint64_t bytes_before = 0;
  uint64_t bytes_after = 0;
  uint32_t tables = 0;
  uint64_t rows = 0;
  uint32_t indexes = 0;  // physical indexes rebuilt
  uint64_t index_entries = 0;
  uint64_t keys_reused = 0;                         // keys taken from the source's entries
  std::vector<SortOrderChange> sort_order_changes;  // in table order
  // Rows a single index of the source held another key for (that index, or
  // the row, was damaged; the copy's indexes follow the rows), and the first
  // of them ("table T, row at page 12 row 3: index ... holds ...").
  uint64_t rows_one_index_disagrees = 0;
  std::string first_disagreeing_row;
};

// Errors besides those above: 3049 when two or more indexes of a table hold
// keys against a row (the row's values changed after they were written):
// rebuilding the indexes would erase that evidence, so the file is to be
// repaired instead.
Result<CompactStats> CompactDatabase(const std::string& source, const std::string& destination,
                                     const CompactOptions& options = {});

}  // namespace engine
