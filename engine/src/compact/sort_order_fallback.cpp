#include "compact/sort_order_fallback.h"

#include <algorithm>
#include <map>

#include "keys/index_key.h"
#include "keys/rows/row_keys.h"
#include "writer/index_key_maker.h"

namespace engine {

namespace {

bool IsText(const ColumnDef& c) {
  return c.type == static_cast<uint8_t>(ColumnType::kText) ||
         c.type == static_cast<uint8_t>(ColumnType::kMemo);
}

KeyColumn AsKeyColumn(JetVersion version, const ColumnDef& c) {
  KeyColumn k;
  k.type = c.type;
  k.format = KeyFormatOf(version);
  k.sort_order = c.sort_order;
  k.sort_order_version = c.sort_order_version;
  k.code_page = c.code_page;
  return k;
}

bool IsGeneral(const ColumnDef& c, uint8_t general) {
  return c.sort_order == kGeneralSortOrder && c.sort_order_version == general;
}

// Whether General's codes apply to the column once its order says General
// (not to Jet 3 text of another code page).
bool GeneralApplies(JetVersion version, const ColumnDef& c, uint8_t general) {
  KeyColumn k = AsKeyColumn(version, c);
  k.sort_order = kGeneralSortOrder;
  k.sort_order_version = general;
  return KeysAsGeneral(k);
}

bool Indexed(const TableDef& def, const ColumnDef& c) {
  for (const PhysicalIndex& pi : def.physical_indexes) {
    for (const IndexColumn& ic : pi.columns) {
      if (ic.column_number == c.number) return true;
    }
  }
  return false;
}

}  // namespace

uint8_t FileGeneralVersion(const Database& db) {
  return db.header().format >= FileFormat::kAce14 ? kGeneral2010Version : kGeneralLegacyVersion;
}

Result<RekeyedColumns> RekeyUnderGeneral(const Database& db, const std::string& name, TableDef& def,
                                         SortOrderPolicy policy, const ExtraTextCodes* extra) {
  RekeyedColumns out;
  if (policy == SortOrderPolicy::kKeep) return out;
  const JetVersion version = db.version();
  const uint8_t general = FileGeneralVersion(db);
  // Column position -> why it changes.
  std::map<size_t, std::string> change;
  for (size_t k = 0; k < def.columns.size(); ++k) {
    const ColumnDef& c = def.columns[k];
    if (policy == SortOrderPolicy::kGeneral && IsText(c) && !IsGeneral(c, general) &&
        GeneralApplies(version, c, general)) {
      change[k] = "asked for (--sort-order general)";
    }
  }
  if (policy == SortOrderPolicy::kGeneralAsNeeded) {
    std::vector<size_t> suspects;
    for (size_t k = 0; k < def.columns.size(); ++k) {
      const ColumnDef& c = def.columns[k];
      if (IsText(c) && Indexed(def, c) && !KeysAsGeneral(AsKeyColumn(version, c)) &&
          GeneralApplies(version, c, general)) {
        suspects.push_back(k);
      }
    }
    if (!suspects.empty()) {
      // The keys as the copy would make them; the first one each column
      // cannot have names the reason.
      IndexKeyMaker keys(db, name, def);
      keys.UseExtraCodes(extra);
      RowIndexKey key;
      const uint32_t indexes = static_cast<uint32_t>(def.physical_indexes.size());
      Status scan = db.ScanRows(def, [&](const RowRef& ref) {
        for (uint32_t i = 0; i < indexes; ++i) {
          const Status made = keys.MakeKey(i, ref.bytes, ref.location, key);
          if (made.ok()) continue;
          const auto column = keys.uncoded_column();
          if (!column || change.count(*column) ||
              std::find(suspects.begin(), suspects.end(), *column) == suspects.end()) {
            continue;  // a fault of another kind: the copy itself reports it
          }
          change[*column] = made.error().description();
        }
        return change.size() < suspects.size();
      });
      if (!scan.ok()) return scan.error();
    }
  }
  for (const auto& [k, why] : change) {
    ColumnDef& c = def.columns[k];
    SortOrderChange record;
    record.table = name;
    record.column = c.name;
    record.old_sort_order = c.sort_order;
    record.old_version = c.sort_order_version;
    record.reason = why;
    c.sort_order = kGeneralSortOrder;
    c.sort_order_version = general;
    out.columns.push_back(k);
    out.changes.push_back(std::move(record));
  }
  return out;
}

}  // namespace engine
