// The index keys of a table's rows, for rebuilding its indexes and for
// ordering its rows by primary key.
//
// A key is encoded from the row's values (EncodeIndexKey). Only where the
// encoder has no code for a value (a character or sort order it does not
// know) is the key taken from the source database's own entry for that same
// source row: key bytes depend only on the values, the sort order and the
// direction, never on where the row lives. The source index is walked once,
// lazily, the first time one of its keys is needed; what is kept of it is
// the key of each entry by source row (memory bounded by that one index).
// An entry that can be had neither way is error 3049 naming the table, the
// index and the row; a key is never guessed.
//
// Rows reach the key maker as they will be written, except for their
// long-value headers: those still point into the source database (memo key
// columns are read from there). Id columns may already be remapped, which is
// why keys of covered values are always encoded from the row and not reused.
//
//   IndexKeyMaker keys(source_db, table_name, source_def);
//   std::vector<RowIndexKey> out;
//   keys.MakeKeys(row_bytes, source_location, out);  // one per physical index
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "writer/source_pages.h"
#include "engine/error.h"
#include "keys/index_key.h"
#include "io/pager.h"
#include "format/data_page.h"
#include "format/row.h"
#include "format/table_def.h"

namespace engine {

// The key of one row in one physical index.
struct RowIndexKey {
  bool has_entry = false;    // false: all key columns NULL in an ignore-nulls index
  bool any_null = false;     // some key column is NULL (unique indexes allow repeats then)
  bool reused = false;       // taken from the source's entry
  std::vector<uint8_t> key;  // without the row pointer
};

// Position of the physical index that backs the table's primary key (the
// logical index of kind 1), or nullopt when the table has none.
std::optional<uint32_t> PrimaryKeyIndex(const TableDef& table);

// The logical index name that best names physical index `position` in
// messages: the primary key's, else the first logical index using it, else
// "#position".
std::string IndexDisplayName(const TableDef& table, uint32_t position);

class IndexKeyMaker {
 public:
  // `table` is the source's definition; `source` and `table` must outlive
  // the key maker. Errors from the constructor surface on first use.
  IndexKeyMaker(SourcePages source, std::string table_name, const TableDef& table);
  ~IndexKeyMaker();
  IndexKeyMaker(const IndexKeyMaker&) = delete;
  IndexKeyMaker& operator=(const IndexKeyMaker&) = delete;

  // The keys of one row for every physical index, in physical-index order
  // (out.size() == table.physical_indexes.size()). `source_location` is the
  // row's slot in the source (what the source's index entries point at).
  Status MakeKeys(ByteSpan row, RowPointer source_location, std::vector<RowIndexKey>& out);

  // The key of one row in one physical index.
  Status MakeKey(uint32_t index_position, ByteSpan row, RowPointer source_location,
                 RowIndexKey& out);

  // The primary-key key of a row, for ordering rows; out.has_entry is false
  // when the table has no primary key (see PrimaryKeyIndex).
  Status PrimaryKey(ByteSpan row, RowPointer source_location, RowIndexKey& out);
  std::optional<uint32_t> primary_index() const { return primary_; }

  // The same for a row the caller has decoded (with a RowDecoder of the
  // same table definition and layout), saving a second decoding. `skip`:
  // an index whose key the caller already has; out[*skip] is left alone.
  Status MakeKeysDecoded(const RowDecoder& decoded, RowPointer source_location,
                         std::vector<RowIndexKey>& out, std::optional<uint32_t> skip = {});
  Status PrimaryKeyDecoded(const RowDecoder& decoded, RowPointer source_location, RowIndexKey& out);

  uint64_t keys_reused() const;  // keys taken from source entries so far

  // Text codes to try where the compiled-in tables have none, before the
  // source's entry is reused; null for none. Must outlive the key maker.
  void UseExtraCodes(const ExtraTextCodes* extra);

  // Columns (positions in TableDef::columns) whose sort order the copy has
  // changed: the source's entries of indexes on them are in the old order,
  // so their keys are only ever encoded, never taken from the source.
  void NeverReuseFor(const std::vector<size_t>& columns);

  // After a key could not be had: the column (position in TableDef::columns)
  // of the first value without a code, when that was why; reset by every key.
  std::optional<size_t> uncoded_column() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
  std::optional<uint32_t> primary_;
};

}  // namespace engine
