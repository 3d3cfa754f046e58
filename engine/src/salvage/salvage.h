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

#include "engine/error.h"
#include "engine/progress.h"
#include "engine/repair.h"
#include "engine/values.h"
#include "format/data_page.h"
#include "format/header.h"
#include "format/row.h"
#include "format/table_def.h"
#include "format/text.h"
#include "io/file_source.h"
#include "io/pager.h"
#include "reader/database.h"

namespace engine {

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
  bool definition_mended = false;        // def differs from the stored one (kDefinition)
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
  // A date the file itself holds, in days since 1899-12-30, for anything a
  // repair writes that needs one (so equal files repair to equal bytes):
  // page 0's creation date when it was readable, else the newest date of the
  // catalog's rows, else 0.
  double file_date() const;

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
