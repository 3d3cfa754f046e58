// The engine's reader: an open Jet 3 / Jet 4 database, read-only.
//
// API overview (namespace engine; nothing throws across it: fallible calls
// return Result<T> or Status, whose Error carries a number and a description):
//
//   auto db = Database::Open(path, {.password = "..."});     // reader/database.h
//   db->header()        page 0 decoded (header.h): version, code page, key...
//   db->pager()         pages by number, decrypted (page.h); DecodeDataPage()
//                       gives a data page's row-slot table with its flags
//   db->objects()       every MSysObjects row (id, parent, name, type, flags)
//   db->tables()        the local tables (system ones included), sorted by name
//   db->linked_tables() tables linked to another database or an ODBC source
//   db->ReadTableDef(id)  columns, physical/logical indexes, long-value maps,
//                       raw bytes of everything (table_def.h)
//   db->ScanRows(def, fn)  live rows in storage order: owned-map page order,
//                       then slot order; overflow rows followed (RowRef)
//   RowDecoder          splits a row into fields by column (row.h)
//   db->ReadLongValue(field, out)   memo/OLE data (long_value.h)
//   db->text()          TextCodec: stored text -> UTF-8 (values.h)
//   db->ReadUsageMap(ptr), db->GlobalUsageMap()   (usage_map.h)
//   DecodeIndexPage, WalkLeafChain, WalkTree      B-trees (index.h)
//   DecodePropertyBlob  LvProp blobs (properties.h)
//   WriteDump           the canonical JSON dump (dump.h)
//   Summarize           page census and table row counts for `info`
//
// Error numbers: 3024 file not found, 3044 invalid path, 3051 no permission,
// 3343 not a Jet 3 / Jet 4 / ACE database (other versions and engines, too short),
// 3049 damaged (the description names the page / row / table), 3031 wrong
// password, 3043 other I/O failures. A Database is read-only and, once
// open, safe to read from one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/database.h"
#include "engine/error.h"
#include "format/data_page.h"
#include "format/header.h"
#include "format/long_value.h"
#include "format/properties.h"
#include "format/table_def.h"
#include "format/text.h"
#include "format/usage_map.h"
#include "io/file_source.h"
#include "io/pager.h"

namespace engine {

// Object types in MSysObjects.Type.
inline constexpr int16_t kObjectTable = 1;
inline constexpr int16_t kObjectLinkedOdbc = 4;
inline constexpr int16_t kObjectQuery = 5;
inline constexpr int16_t kObjectLinkedTable = 6;
inline constexpr int32_t kFlagJetSystem = static_cast<int32_t>(0x80000000u);
inline constexpr int32_t kFlagAccessSystem = 0x2;

struct CatalogObject {
  int32_t id = 0;
  int32_t parent_id = 0;
  std::string name;
  int16_t type = 0;
  int32_t flags = 0;
  RowPointer row;  // where its MSysObjects row is
  // Linked tables: where the data lives. Type 6 (another database file):
  // `database` is its path, `connect` its driver prefix ("" for Access,
  // "Excel 8.0;..."); type 4 (ODBC): `connect` is the connection string.
  // `foreign_name` is the table's name there.
  std::string database;
  std::string connect;
  std::string foreign_name;
  // The first page of the table definition this object owns: local tables,
  // and ODBC-linked tables, which keep a local definition of the remote
  // columns (0 when the object owns none).
  uint32_t definition_page = 0;
  // Tables: the LvProp field as stored (a long-value reference), empty when
  // NULL; ColumnResultTypes reads it.
  std::vector<uint8_t> properties_field;

  bool is_table() const { return type == kObjectTable; }
  bool is_linked() const { return type == kObjectLinkedOdbc || type == kObjectLinkedTable; }
  // System table per the catalog flags (Jet-internal or created by Access).
  bool is_system() const { return (flags & (kFlagJetSystem | kFlagAccessSystem)) != 0; }
  // The first TDEF page of a local table.
  uint32_t table_page() const { return static_cast<uint32_t>(id) & 0x00FFFFFF; }
};

// Where a linked table's data lives, in one line for people:
// "ODBC DSN=Sales;UID=ann;PWD=***; table dbo.Orders" or
// "C:\data\other.mdb table Orders" (a driver prefix such as "Excel 8.0;"
// in parentheses). Passwords in a connection string are masked.
std::string DescribeLinkTarget(const CatalogObject& object);

// One live row as found by ScanRows.
struct RowRef {
  RowPointer location;  // the row's slot (what index entries point at)
  RowPointer data;      // where its bytes are: differs for overflow rows
  ByteSpan bytes;
};

class Database {
 public:
  static Result<std::unique_ptr<Database>> Open(const std::string& path,
                                                const OpenOptions& options = {});
  static Result<std::unique_ptr<Database>> Open(std::unique_ptr<FileSource> source,
                                                const OpenOptions& options = {});
  ~Database();

  const DatabaseHeader& header() const { return header_; }
  JetVersion version() const { return header_.version; }
  const Layout& layout() const { return *layout_; }
  const Pager& pager() const { return *pager_; }
  const TextCodec& text() const { return *text_; }
  uint32_t page_size() const { return pager_->page_size(); }
  uint32_t page_count() const { return pager_->page_count(); }

  // Every row of MSysObjects, in storage order.
  const std::vector<CatalogObject>& objects() const { return objects_; }
  // Local tables (type 1), system tables included, sorted by name in
  // code-point order.
  std::vector<const CatalogObject*> tables() const;
  const CatalogObject* FindTable(std::string_view name) const;
  // Linked tables (types 4 and 6), sorted by name like tables().
  std::vector<const CatalogObject*> linked_tables() const;
  // Every table-definition page a catalog object owns (its first page), for
  // local and ODBC-linked tables alike, ascending.
  std::vector<uint32_t> OwnedDefinitionPages() const;

  Result<TableDef> ReadTableDef(uint32_t first_page) const;
  Result<DataPage> ReadDataPage(uint32_t page) const;
  Result<UsageMap> ReadUsageMap(RowPointer pointer) const;
  Result<UsageMap> GlobalUsageMap() const;  // page 1 row 0: set bit = free page

  // Calls visit for every live row of the table: pages in the order of the
  // table's owned map, slots in order; deleted slots and overflow targets
  // skipped, overflow pointers followed (one hop). visit returns false to
  // stop early. A read that would not be complete is an error (3049 naming
  // the page), never fewer rows: a page of the map that is not a data page
  // of this table or lies past the end of the file, a data page in use that
  // names the table as owner and holds live rows but is missing from its
  // map while the map's pages hold fewer rows than the definition counts,
  // a page whose free-space field disagrees with its rows (torn).
  // Every reader of whole tables (dump, compaction) goes through here.
  Status ScanRows(const TableDef& table, const std::function<bool(const RowRef&)>& visit) const;

  // Data pages in use (not free in the global map) holding at least one
  // live row, by the table page their owner field names; long-value and
  // usage-map pages left out. One pass over the first bytes of every page,
  // made on first use and kept. When the global map cannot be read, every
  // page counts as in use.
  const std::map<uint32_t, std::vector<uint32_t>>& DataPagesByOwner() const;

  Status ReadLongValue(ByteSpan field, std::vector<uint8_t>& out,
                       std::vector<RowPointer>* pieces = nullptr) const;
  Result<PropertyBlob> ReadProperties(ByteSpan blob) const;
  // The result types of a table's calculated columns (ACE): column name ->
  // type code, from the ResultType properties of the table's catalog row.
  // Empty when the row holds none or they cannot be read.
  std::map<std::string, uint8_t> ColumnResultTypes(const CatalogObject& table) const;

 private:
  Database() = default;
  Status LoadCatalog();
  Status CheckPageMapComplete(const TableDef& table, const UsageMap& owned) const;

  std::unique_ptr<Pager> pager_;
  DatabaseHeader header_;
  const Layout* layout_ = nullptr;
  std::unique_ptr<TextCodec> text_;
  std::vector<CatalogObject> objects_;
  mutable std::unique_ptr<std::map<uint32_t, std::vector<uint32_t>>> pages_by_owner_;
};

// The summary of an open database (the public Summarize opens and calls this).
Result<DatabaseSummary> Summarize(const Database& db);

}  // namespace engine
