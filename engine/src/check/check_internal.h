// The checker's state, shared by its parts:
//   check.cpp          driver, page 0, global map, page ownership, report text
//   check_tables.cpp   table definitions, data pages, rows, values, long values
//   check_indexes.cpp  index B-trees and their entries against the rows
//   check_catalog.cpp  MSysObjects and the references between objects
//
// Ownership is recorded per page (one PageOwner each). A page claimed by two
// different structures is reported once per extra claim; usage-map rows are
// the one structure that several tables may share on a page.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "check/index_facts.h"
#include "engine/check.h"
#include "reader/database.h"
#include "format/header.h"
#include "format/index_page.h"
#include "format/long_value.h"
#include "io/pager.h"
#include "format/data_page.h"
#include "format/row.h"
#include "format/table_def.h"
#include "format/usage_map.h"
#include "salvage/census.h"
#include "salvage/validate.h"
#include "engine/values.h"
#include "format/text.h"

namespace engine::check {

enum class OwnerKind : uint8_t {
  kNone,
  kHeader,     // page 0
  kGlobalMap,  // page 1
  kTableDef,   // a page of a table definition chain
  kMapRows,    // a data page holding usage-map rows (owner field 0)
  kTableData,  // a data page of a table (its owned map)
  kIndex,      // a page of a physical index
  kLongValue,  // an LVAL page of a memo/OLE column
  kBitmap,     // a 0x05 page of a reference usage map
};

struct PageOwner {
  OwnerKind kind = OwnerKind::kNone;
  uint32_t table = 0;  // first TDEF page of the table, when it has one
  uint32_t sub = 0;    // index position or column number
  bool operator==(const PageOwner&) const = default;
};

// Where a problem is.
struct Where {
  std::optional<uint32_t> page;
  std::optional<uint32_t> row;
  std::optional<uint32_t> entry;  // position of an index entry on its page
  uint32_t table = 0;             // first TDEF page; 0 none
  std::string index;
};

// What is kept of a table after its own checks, for the cross-checks.
struct TableSummary {
  uint32_t page = 0;
  bool readable = false;
  std::vector<LogicalIndex> logical;
};

// A live row of the table under check.
struct LiveRow {
  RowPointer location;  // the slot index entries point at
  ByteSpan bytes;       // the row's data (overflow followed)
  bool decodes = false;
};

inline uint32_t PackRow(RowPointer p) {
  return (p.page << 8) | p.row;
}

class Checker {
 public:
  Checker(const Pager& pager, const DatabaseHeader& header, const TextCodec& text,
          const Database* db, const CheckOptions& options);

  CheckReport Run();

  // --- reporting (check.cpp) ---
  void Report(const char* code, const Where& where, std::string message);
  std::string TableName(uint32_t table_page) const;
  std::string OwnerText(const PageOwner& owner) const;

  // Records that `owner` uses `page`; reports a page past the end of the
  // file, a second owner, or a page type that does not fit the owner.
  // Returns false when the page does not exist.
  bool Claim(uint32_t page, const PageOwner& owner, const Where& where, const char* what);
  // Reads and claims a usage map; claims the page of its row and its bitmap
  // pages. Reports an unreadable map and returns nullopt.
  std::optional<UsageMap> ReadMap(RowPointer pointer, uint32_t table, const Where& where,
                                  const std::string& what);
  // Decoded data page, cached; nullptr (reported) when it cannot be
  // decoded. Its header and slots are checked the first time.
  const DataPage* DataPageAt(uint32_t page, const Where& where);
  void CheckDataPageLayout(const DataPage& page, const Where& where);

  // --- parts ---
  void CheckHeader();
  // Page 0's code page and sort order against the columns' (after the census).
  void CheckHeaderFields();
  // Rows two or more indexes contradict (after the tables).
  void CheckAlteredRows();
  void CheckGlobalMap();
  void CheckCatalog();                           // check_catalog.cpp
  void CheckCrossReferences();                   // check_catalog.cpp
  void CheckComplexColumns();                    // check_complex.cpp (ACE)
  void CheckTable(uint32_t page, bool catalog);  // check_tables.cpp
  // The local definition of an ODBC-linked table (check_tables.cpp).
  void CheckLinkedDefinition(uint32_t page);
  void ClaimDefinitionChain(uint32_t page);
  void CheckPageOwnership();
  void CollectDataPageOwners();  // takes census_, fills data_pages_by_owner_

  // check_tables.cpp
  bool CheckTableDef(const TableDef& t);
  // Each row is decoded once; `facts`, when given, gets it for the indexes.
  void ScanTableRows(const TableDef& t, std::vector<LiveRow>& rows,
                     IndexFactsGatherer* facts = nullptr);
  void CheckRowValues(const TableDef& t, RowDecoder& decoder, const LiveRow& row);
  // A value stored outside its row (single row or chain), its header sound.
  void CheckLongValue(const TableDef& t, const ColumnDef& c, const LongValueHeader& header,
                      const Where& where);
  std::optional<ByteSpan> LvalPiece(const TableDef& t, const ColumnDef& c, RowPointer ptr,
                                    const Where& where);
  void CheckLongValueMaps(const TableDef& t);
  void CollectCatalogRows(const TableDef& t, const std::vector<LiveRow>& rows);
  void CollectIdReferences(const TableDef& t, const std::vector<LiveRow>& rows);

  // Data pages naming `t` as owner that its owned-pages map leaves out:
  // decides which of them hold rows the table would lose (check_tables.cpp).
  void CheckUnmappedPages(const TableDef& t, const std::vector<LiveRow>& rows);

  // check_indexes.cpp
  void CheckIndexes(const TableDef& t, const std::vector<LiveRow>& rows,
                    std::vector<IndexFacts> facts);

  const Pager& pager_;
  const DatabaseHeader& header_;
  const Layout& layout_;
  const TextCodec& text_;
  const Database* db_;  // for reading memo values of index keys; may be null
  CheckOptions options_;
  CheckReport report_;

  uint32_t page_count_ = 0;
  std::vector<PageOwner> owners_;
  std::set<std::pair<uint32_t, uint64_t>> double_claims_;  // (page, second owner) reported
  std::vector<uint8_t> free_;                              // global map: 1 = marked free
  std::vector<uint8_t> layout_checked_;  // data pages whose header and slots were checked
  bool have_global_map_ = false;
  std::unordered_map<uint32_t, DataPage> data_pages_;  // cache of decoded data pages
  std::unordered_set<uint32_t> undecodable_pages_;     // data pages reported as undecodable
  std::unordered_set<uint32_t> lval_rows_used_;        // PackRow of every LVAL row in use
  // LVAL pages found through row references, per (table, column).
  std::map<std::pair<uint32_t, uint32_t>, std::unordered_set<uint32_t>> lval_pages_referenced_;

  PageCensus census_;  // taken before the parts run
  // Data pages (not LVAL, not map rows) by the table their owner field names.
  std::unordered_map<uint32_t, std::vector<uint32_t>> data_pages_by_owner_;
  // Of those, pages left out of their table's map that hold rows it loses.
  std::unordered_set<uint32_t> unmapped_with_rows_;
  // Of the table under check: its owned-pages map, the pages outside it that
  // index entries point into, and whether one complete index lists every row.
  std::vector<uint32_t> owned_pages_;
  std::unordered_set<uint32_t> index_named_pages_;
  bool fully_indexed_ = false;
  // Tables whose check reported nothing, every index key verified against
  // its row: the altered-rows pass leaves them out.
  std::set<uint32_t> keys_agree_;

  std::vector<CatalogObject> catalog_;  // the rows that decoded
  bool catalog_read_ = false;
  std::map<uint32_t, std::string> table_names_;  // first TDEF page -> name
  std::map<uint32_t, TableSummary> tables_;
  // Ids found in MSysACEs.ObjectId and the navigation-pane tables:
  // (table page, column name, row) -> id.
  struct IdReference {
    uint32_t table = 0;
    std::string column;
    RowPointer row;
    int32_t id = 0;
    std::string name;  // the row's Name column, where it has one
  };
  std::vector<IdReference> id_references_;
};

// Hex of a byte string, capped for messages.
std::string Hex(ByteSpan bytes, size_t max = 48);

}  // namespace engine::check
