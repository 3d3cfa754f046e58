// The structural checker: verifies every invariant of a Jet 3 / Jet 4 file
// that can be tested from its bytes, and reports each violation with where
// it is.
//
// What is verified, in order:
//   page 0 (type, engine name, version, file length a multiple of the page
//   size); the global usage map (page 1 row 0); the catalog (MSysObjects) and
//   every table it lists: table definition chain and fields, owned and
//   free-space maps, data pages and row slots, every row and value, overflow
//   rows, long values (inline, single rows, chains), row counts; every
//   physical index: tree shape, sibling links, order, one entry per live row,
//   key bytes recomputed from the row wherever the key encoder covers the
//   values; catalog cross-references (table ids, foreign keys, MSysACEs and
//   navigation-pane ids, names); and finally page ownership: every page has
//   exactly one owner of a matching page type, or is free in the global map.
//
// The checker never stops at the first finding: a damaged structure becomes
// a problem and the walk moves on. Memory is bounded by the file size (one
// owner record per page, the rows and index entries of one table at a
// time); no allocation is sized by a field that has not been checked.
//
// ODBC-linked tables keep a local definition (with empty index trees): its
// pages are owned and checked like a table's definition.
//
// Problem codes (stable; tests and scripts may match on them; the JSON that
// `quorlen-cli check --json` prints is described in cli/check_command.cpp).
// Every code has
// one severity, fixed here and returned by ProblemSeverity():
//
//   damage    a reader could trip over it, data is lost or unreachable, or the
//             engine that next writes the file could overwrite live data.
//             `quorlen-cli check` exits 3 when it finds any.
//   leftover  what Access itself leaves behind and works with, or a harmless
//             habit of another writer that no reader depends on; every row
//             is still found and read the same way. Listed, exit status 0.
//             A compacted copy has none of these either.
//
// Damage:
//   file and pages   file-size (cut mid-page) file-too-short header-invalid
//                    header-code-page header-sort-order (page 0 names a code
//                    page / sort order no text column holds while the columns
//                    agree on another: text and keys are read by the wrong one)
//                    page-out-of-range page-type-mismatch page-double-owner
//                    page-owned-but-free (the engine may hand the page out
//                    again while it is in use)
//                    data-page-unmapped (a data page names the table as owner
//                    and holds rows no mapped page repeats, or rows an index
//                    points at, but the owned-pages map leaves it out: readers
//                    that go by the map lose those rows)
//   usage maps       global-map-invalid usage-map-invalid map-page-owner
//                    free-map-not-subset (rows would be inserted on a page the
//                    table does not own) lv-map-wrong-page (a long-value map
//                    lists a page that is not an LVAL page)
//   definitions      tdef-invalid tdef-length tdef-free-space tdef-counts
//                    column-number-invalid column-var-index-invalid
//                    column-fixed-overlap column-length-invalid
//                    index-definition-invalid index-column-missing
//                    logical-index-invalid lv-map-list-mismatch
//   data and rows    data-page-invalid data-page-owner data-page-free-space
//                    row-slot-invalid row-invalid value-invalid
//                    autonumber-below-max (the next AutoNumber repeats a value)
//                    overflow-invalid overflow-chain overflow-target-not-flagged
//                    overflow-target-shared
//   long values      lv-invalid lv-pointer-invalid lv-length-mismatch lv-chain-short
//                    lv-chain-cycle lv-row-shared
//   indexes          index-page-invalid index-page-owner index-free-space
//                    index-tree-invalid index-node-entry-mismatch (a node entry
//                    is below the greatest entry of its child, or not below the
//                    least entry of the next child: a search misses rows)
//                    index-sibling-invalid index-leaf-chain index-leaf-cycle
//                    index-order index-entry-dangling index-entry-duplicate-row
//                    index-missing-row index-null-entry index-required-null
//                    index-unique-duplicate index-key-mismatch
//                    row-value-altered (two or more indexes hold keys against
//                    the row: its values changed after they were written)
//   catalog          catalog-unreadable catalog-row-invalid catalog-table-id-invalid
//                    catalog-duplicate-table-id catalog-duplicate-name
//                    fk-table-missing fk-index-missing fk-not-reciprocal
//   complex columns  complex-column-invalid (an MSysComplexColumns row names
//   (ACE)            no table, complex column, flat table or template)
//                    complex-item-orphan (an item of a flat table names a
//                    parent id no row holds) complex-id-shared (two rows hold
//                    one id: they share their items) complex-autonumber-below-max
//                    (the table's last complex id is below one in use)
//
// Leftovers:
//   page-orphan           pages owned by nothing and not marked free: Access
//                         leaves them after deletions until a compaction
//   lv-page-unreferenced  LVAL pages of deleted memo/OLE values
//   tdef-unreferenced     definitions of dropped tables no catalog row leads to
//   global-map-tail       the global map's bits for pages past the end of the
//                         file are not all set; Access extends the file there
//   usage-map-disagrees   a map and what is reachable differ without a row
//                         being lost: index pages the tree reaches that the
//                         index's map leaves out, map pages the tree does not
//                         reach (another writer leaves discarded index pages,
//                         wiped to type 0 and marked free, in the map), memo
//                         pages the column's map leaves out, and data pages
//                         that still name a table after Access dropped them
//                         from its map (empty, or holding only copies of rows
//                         the table has elsewhere, or rows no index of the
//                         table knows, or rows of a navigation-pane table,
//                         which Access rewrites whole)
//   row-count-mismatch    the row count in the definition is stale; readers
//                         count the rows they find
//   navpane-stale-id      navigation-pane rows of deleted objects
//   catalog-reference-invalid  MSysACEs rows of deleted objects
//   physical-index-unused an index tree no logical index uses; nothing reads it
//   index-node-flag       the byte at 0x15 (Jet 3) / 0x1A (Jet 4) of an index
//                         page does not say node/leaf as Access writes it;
//                         readers go by the page type, another writer leaves 0
//   column-length-ignored a variable-stored column of a fixed-size type
//                         declares a different length; readers take each
//                         value's length from the row (a Decimal declared 9
//                         bytes whose rows all hold the 17 a Decimal takes)
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/error.h"

namespace engine {

class FileSource;  // the engine's own input (io/file_source.h)

enum class Severity : uint8_t {
  kDamage,    // exit status 3: a reader could trip over it or data is lost
  kLeftover,  // listed only: Access leaves and tolerates it; a compaction clears it
};

// The severity of a problem code (see the list above). Codes not in the list
// are damage.
Severity ProblemSeverity(std::string_view code);
// "damage" or "leftover".
const char* SeverityName(Severity severity);

// One violated invariant.
struct CheckProblem {
  std::string code;  // stable short name of the condition, e.g. "page-double-owner"
  Severity severity = Severity::kDamage;  // ProblemSeverity(code)
  std::string message;                    // what is wrong, in words, with the values found
  std::optional<uint32_t> page;
  std::optional<uint32_t> row;    // row slot on `page`
  std::optional<uint32_t> entry;  // position of an index entry on index page `page`
  std::string table;              // table name (or "table at page N"), empty if none
  std::string index;              // index name, empty if none
};

// What the checker looked at.
struct CheckCounts {
  uint32_t pages = 0;
  uint32_t free_pages = 0;
  uint32_t tables = 0;  // table definitions read
  uint64_t rows = 0;    // live rows (overflow rows counted once)
  uint64_t overflow_rows = 0;
  uint64_t long_values = 0;  // memo/OLE values stored outside the row
  uint32_t indexes = 0;      // physical indexes walked
  uint64_t index_entries = 0;
  uint64_t keys_verified = 0;          // entries whose key was recomputed and compared
  uint64_t keys_not_verifiable = 0;    // the encoder has no code for the values
  uint64_t keys_other_sort_order = 0;  // text keys in a sort order other than General
  uint64_t keys_invalid_value = 0;     // the row's values cannot be encoded (bad value)
};

struct CheckReport {
  std::string format;  // "jet3", "jet4", "ace12", ... (FileFormatName)
  uint32_t page_size = 0;
  std::vector<CheckProblem> problems;        // in the order found, at most the cap per code
  std::map<std::string, uint64_t> per_code;  // every problem counted, shown or not
  CheckCounts counts;

  uint64_t total_problems() const;
  uint64_t damage_count() const;    // problems of damage codes, shown or not
  uint64_t leftover_count() const;  // problems of leftover codes, shown or not
  // Problems of `code` found beyond the cap (counted, not listed).
  uint64_t not_shown(const std::string& code) const;
};

struct CheckOptions {
  std::string password;
  uint32_t max_per_code = 100;  // problems listed per code; the rest are counted
};

// Errors (returned, not reported as problems): the file cannot be opened
// (3024, 3044, 3051, 3043), is not a Jet 3 / Jet 4 database (3343), or has
// a password that was not given (3031).
Result<CheckReport> CheckDatabase(const std::string& path, const CheckOptions& options = {});
Result<CheckReport> CheckDatabase(std::unique_ptr<FileSource> source,
                                  const CheckOptions& options = {});

// The human-readable report: one line per listed problem, a line per code
// whose problems were cut off, a summary of what was verified, and last the
// line "N problems (D damage, L leftovers)", or "0 problems".
std::string FormatCheckReport(const CheckReport& report);

}  // namespace engine
