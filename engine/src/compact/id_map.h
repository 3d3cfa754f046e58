// Object ids across a compaction.
//
// A table's id is the page number of its first definition page, so moving
// definitions changes ids. IdMap holds old id -> new id for every table and
// rewrites the id columns of the system tables that hold object ids:
//   MSysObjects.Id, MSysObjects.ParentId, MSysACEs.ObjectId,
//   MSysNavPaneObjectIDs.Id, MSysNavPaneGroupToObjects.ObjectID and, in
//   ACE files, MSysComplexColumns' ComplexTypeObjectID, FlatTableID and
//   ConceptualTableID (the complex id itself is no object id and stays).
//
// Stale references. Navigation-pane rows whose id names no object of the
// source (Access leaves them for deleted objects) are left out of the copy.
// Any other value that names no object (a permission row's) is kept as it
// is, so the copy holds the same rows. It must not come to name a table of
// the copy: the compactor never starts a table definition on a page whose
// number is such a value (that page takes other contents), and in the copy
// it names no object either. Should a kept value still equal a new table id
// (it cannot when the planner did its part), it is replaced by an id
// counting down from 0x00FFFFFF: no Jet file has that many pages, so the
// replacement can never be a table id, and ids of other objects always have
// a non-zero high byte. Replacements are handed out in the order the values
// are first met, so the same source always gives the same copy.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "format/row.h"
#include "format/table_def.h"

namespace engine {

class IdMap {
 public:
  void AddTable(uint32_t old_id, uint32_t new_id);

  // The id a value of an id column gets in the copy.
  int32_t Map(int32_t value);
  // The new id of a table (old_id itself when it is no table of the source).
  uint32_t TableId(uint32_t old_id) const;

  // How many stale values had to be replaced.
  size_t stale_replaced() const { return stale_.size(); }

 private:
  std::map<uint32_t, uint32_t> tables_;
  std::set<uint32_t> new_ids_;
  std::map<uint32_t, uint32_t> stale_;
};

// Whether `table_name` is one of the navigation-pane tables
// (MSysNavPane*), whose rows naming no object the copy leaves out.
bool IsNavPaneTable(const std::string& table_name);
// Whether the copy leaves out the rows of `table_name` that name no object:
// the navigation-pane tables and MSysACEs (permissions of objects deleted
// since, which nothing can reach).
bool DropsRowsOfMissingObjects(const std::string& table_name);

// The columns of `table` (named `table_name`) holding object ids, as
// positions in TableDef::columns; empty for tables without any. Only Long
// columns qualify. The table defined at page 2 is the catalog by place,
// whatever name its catalog row gives it.
std::vector<size_t> IdColumns(const std::string& table_name, const TableDef& table);

// Rewrites the id columns of one decoded row in place. `decoder` must have
// decoded exactly `row`.
void RemapRowIds(std::vector<uint8_t>& row, const RowDecoder& decoder,
                 const std::vector<size_t>& columns, IdMap& ids);

}  // namespace engine
