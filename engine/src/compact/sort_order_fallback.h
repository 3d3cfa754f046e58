// Text columns the copy keys under General instead of their own sort order.
//
// "General" is the file's own: that of 2010 in an ACE file of Access 2010 or
// later, legacy in older files.
//
// Each Jet 4 text column carries its own sort order, and a compaction may
// change it (Access itself does so). With SortOrderPolicy::kGeneral every
// text column whose order is not General becomes General; with
// kGeneralAsNeeded a table whose indexes have text columns under an order
// the encoder does not cover is first walked with the key maker (learned
// codes, then the source's own entries), and only the columns with a key that
// cannot be had that way change. The change is made in the table definition
// the copy is built from, so every index on the column is built under General
// and the written definition says so.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "engine/compact.h"
#include "engine/error.h"
#include "format/table_def.h"
#include "reader/database.h"

namespace engine {

struct RekeyedColumns {
  std::vector<size_t> columns;  // positions in TableDef::columns
  std::vector<SortOrderChange> changes;
};

// The sort-order version of General in `db`'s format: that of 2010 in ACE
// files of Access 2010 and later, legacy before.
uint8_t FileGeneralVersion(const Database& db);

// Changes `def` (the source's definition of table `name`) as `policy` asks
// and says what changed. Jet 3 columns change only where General's codes
// apply to their code page (1252).
Result<RekeyedColumns> RekeyUnderGeneral(const Database& db, const std::string& name, TableDef& def,
                                         SortOrderPolicy policy, const ExtraTextCodes* extra);

}  // namespace engine
