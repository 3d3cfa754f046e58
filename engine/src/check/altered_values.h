// Rows whose values disagree with the index entries that point at them.
//
// Access writes a row and its index entries together, so an entry whose key
// is not the one the row's values encode to says that one of the two changed
// afterwards. Where two or more indexes of a table hold keys against the same
// row, the row is what changed (indexes are not damaged in agreement); where
// only one does, that index may as well be the damaged side. A compaction
// rebuilds every index from the rows and so erases the only evidence: the
// compaction stops on the first kind and tells about the second; a repair
// keeps such rows as stored and lists them.
//
// One walk of every index's leaf entries (ForEachIndexEntry); keys whose
// text the encoder has no codes for are passed over, never reported.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "engine/error.h"
#include "keys/index_key.h"
#include "reader/database.h"

namespace engine {

struct AlteredRow {
  uint32_t table = 0;  // first definition page
  std::string table_name;
  RowPointer row;
  // The indexes (logical names, "#n" for a physical index no name leads
  // to) whose entry for the row holds another key, and their key columns.
  std::vector<std::string> indexes;
  std::vector<std::string> columns;
  // Per entry of `indexes`: the value the index holds, in the dump's text
  // form ("; " between key columns), where the key determines it (numbers,
  // currency, dates, GUIDs, Yes/No); empty otherwise.
  std::vector<std::string> index_values;

  // Two or more indexes hold keys against the row: the row changed.
  bool row_changed() const { return indexes.size() >= 2; }
  // "table Orders, row at page 12 row 3: index PrimaryKey (OrderID) holds 10248".
  std::string Describe() const;
};

// Which indexes to hold the rows against: every one, or only those whose
// key columns are all of fixed size (no text to encode: what a compaction
// can afford on top of its own work).
enum class AlteredScope : uint8_t { kEveryIndex, kFixedKeys };

// Every row some index entry contradicts, in table order, then row order.
// Tables (by first definition page) in `agreeing` are known to have every
// entry's key equal to its row's (the checker verified each one): their
// definitions are still read, their rows and leaves not walked again.
// Errors: those of the reader (a table definition it cannot read).
Result<std::vector<AlteredRow>> FindAlteredRows(const Database& db,
                                                AlteredScope scope = AlteredScope::kEveryIndex,
                                                const std::set<uint32_t>& agreeing = {});

// The value a key holds for `columns` (the dump's text forms, "; " between
// columns), when every column's key segment determines its value; empty
// otherwise or when the key is shorter than its segments.
std::string KeyValueText(std::span<const KeyColumn> columns, std::span<const uint8_t> key);

}  // namespace engine
