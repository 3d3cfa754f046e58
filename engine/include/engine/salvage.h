// Tolerant reading of a damaged database: what can be validated is handed
// over, everything else is reported as a loss, and the reading carries on.
//
//   std::vector<LossRecord> lost;
//   auto s = Salvager::Open(path, {.password = "x"}, [&](const LossRecord& r) { lost.push_back(r);
//   }); for (const SalvagedTable& t : s->tables())
//     s->ScanRows(t, [&](const RowValues& row) { ...; return true; });
//
// Nothing is trusted that cannot be checked:
// - page 0: version and page size are taken from the pages themselves when
//   the header is unreadable or disagrees with them; the password is then the
//   one the caller gives. A file cut inside a page is read up to the cut.
// - the catalog's own definition (page 2), when it is unreadable: the one
//   every file of the version has, if the rows on the catalog's pages fit it.
// - tables: from the catalog (MSysObjects); table definitions that no catalog
//   row names are found by scanning every page, and get a made-up name
//   ("Recovered table N"), reported.
// - data pages: every page whose owner field names the table, not only those
//   in its usage map; the global usage map and the table's own map decide
//   between a live page and a stale free one.
// - rows: validated against the table definition (column count, offsets, null
//   mask, each value's size and form) before they are taken; overflow rows
//   followed only to a sound target on a page of the same table.
// - long values: read chain by chain; a broken one keeps the row with the
//   value NULL and reports the bytes that were recovered.
// - a row whose key duplicates an earlier row's in a unique index (a torn
//   write can repeat a row) is reported with all its bytes; the first is kept.
// A row is carried over with exactly its stored values, or it is reported.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/database.h"
#include "engine/error.h"
#include "engine/file_source.h"
#include "engine/header.h"
#include "engine/page.h"
#include "engine/progress.h"
#include "engine/row.h"
#include "engine/table_def.h"
#include "engine/values.h"

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
using LossSink = std::function<void(const LossRecord&)>;

struct SalvageOptions {
  // The database password. Checked against page 0 when page 0 is readable;
  // used as the password when page 0 had to be rebuilt.
  std::string password;
  ProgressCallback progress;
};

struct SalvagedTable {
  uint32_t page = 0;  // first TDEF page: the table's object id
  std::string name;
  bool name_made_up = false;             // no catalog row names it
  std::optional<CatalogObject> catalog;  // its MSysObjects row, when it validated
  TableDef def;
};

// One row as a writer takes it, whoever read it. fields pairs with
// TableDef::columns (definition order) as RowDecoder gives them, except that
// a Memo or OLE field holds the whole value (not its 12-byte header).
struct RowValues {
  RowPointer location;           // the row's slot
  ByteSpan stored;               // the row's bytes as stored (overflow followed)
  std::vector<FieldRef> fields;  // valid during the visit only
};
using RowVisitor = std::function<bool(const RowValues&)>;

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

class Salvager {
 public:
  // Errors: those of opening the file (3024, 3044, 3051, 3043); 3049 when
  // page 2 is lost and no catalog rows fit the rebuilt definition; 3343 when
  // nothing in the file looks like a Jet 3 / Jet 4 database (an encoded
  // database whose page 0 is lost is such a file: its key went with it);
  // 3031 when an intact page 0 holds another password.
  static Result<std::unique_ptr<Salvager>> Open(const std::string& path,
                                                const SalvageOptions& options, LossSink sink);
  static Result<std::unique_ptr<Salvager>> Open(std::unique_ptr<FileSource> source,
                                                const SalvageOptions& options, LossSink sink);
  ~Salvager();

  // Page 0 as it will be written: the stored one, or one rebuilt from the
  // pages (header_rebuilt()), with `unmasked` holding a whole page 0.
  const DatabaseHeader& header() const;
  bool header_rebuilt() const;
  const Layout& layout() const;
  const Pager& pager() const;
  const TextCodec& text() const;
  // Page 2 was unreadable: the catalog's definition is the rebuilt one
  // (tables()'s MSysObjects, its raw bytes one whole page).
  bool catalog_rebuilt() const;
  // Bytes of the file past the cut, when it ends inside a page: 0 otherwise.
  uint32_t truncated_page_bytes() const;

  // Every table that can be read, system tables included, sorted by name.
  const std::vector<SalvagedTable>& tables() const;
  // The catalog rows that validated, in storage order.
  const std::vector<CatalogObject>& objects() const;

  // Visits every row of the table that validates, in page and slot order.
  // Losses go to the sink the first time a table is scanned only, so a
  // writer may scan twice. visit returns false to stop. Errors: only a
  // cancelled progress callback (3001); damage is reported, not returned.
  Status ScanRows(const SalvagedTable& table, const RowVisitor& visit);

  const SalvageCounts& counts() const;

  struct State;

 private:
  explicit Salvager(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

// The same row shape from the strict reader: long values read whole, any
// damage an error (3049). For a writer that takes rows from either reader.
Status ScanRowValues(const Database& db, const TableDef& table, const RowVisitor& visit);

}  // namespace engine
