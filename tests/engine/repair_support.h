// What a repair test compares a copy by: the rows of every user table.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "reader/database.h"
#include "salvage/salvage.h"
#include "salvage_damage.h"

namespace repair_test {

// Rows of every user table of a file, as table name -> multiset of signatures.
inline std::map<std::string, std::multiset<std::string>> RowsOf(const std::string& path,
                                                                const std::string& password = "") {
  using namespace engine;
  std::map<std::string, std::multiset<std::string>> out;
  auto db = Database::Open(path, OpenOptions{password});
  EXPECT_TRUE(db.ok()) << db.error().ToString();
  if (!db.ok()) return out;
  for (const CatalogObject* t : (*db)->tables()) {
    if (t->is_system()) continue;
    auto def = (*db)->ReadTableDef(t->table_page());
    EXPECT_TRUE(def.ok());
    if (!def.ok()) continue;
    auto& rows = out[t->name];
    Status st = ScanRowValues(**db, *def, [&](const RowValues& row) {
      rows.insert(salvage_test::Signature(*def, row.fields));
      return true;
    });
    EXPECT_TRUE(st.ok()) << st.error().ToString();
  }
  return out;
}

}  // namespace repair_test
