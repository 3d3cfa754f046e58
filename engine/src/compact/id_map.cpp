#include "compact/id_map.h"

#include <algorithm>
#include <cctype>

namespace engine {
namespace {

constexpr uint32_t kStaleIdTop = 0x00FFFFFF;

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

void IdMap::AddTable(uint32_t old_id, uint32_t new_id) {
  tables_[old_id] = new_id;
  new_ids_.insert(new_id);
}

uint32_t IdMap::TableId(uint32_t old_id) const {
  auto it = tables_.find(old_id);
  return it == tables_.end() ? old_id : it->second;
}

int32_t IdMap::Map(int32_t value) {
  const uint32_t v = static_cast<uint32_t>(value);
  if (auto it = tables_.find(v); it != tables_.end()) return static_cast<int32_t>(it->second);
  if (!new_ids_.count(v)) return value;
  auto [it, inserted] = stale_.emplace(v, 0);
  if (inserted) it->second = kStaleIdTop - static_cast<uint32_t>(stale_.size() - 1);
  return static_cast<int32_t>(it->second);
}

bool IsNavPaneTable(const std::string& table_name) {
  return table_name.size() >= 11 &&
         SameName(std::string_view(table_name).substr(0, 11), "MSysNavPane");
}

bool DropsRowsOfMissingObjects(const std::string& table_name) {
  return IsNavPaneTable(table_name) || SameName(table_name, "MSysACEs");
}

std::vector<size_t> IdColumns(const std::string& table_name, const TableDef& table) {
  static const std::pair<const char*, std::vector<const char*>> kColumns[] = {
      {"MSysObjects", {"Id", "ParentId"}},
      {"MSysACEs", {"ObjectId"}},
      // ACE: each complex column's template, flat table and owning table.
      {"MSysComplexColumns", {"ComplexTypeObjectID", "FlatTableID", "ConceptualTableID"}},
      {"MSysNavPaneObjectIDs", {"Id"}},
      {"MSysNavPaneGroupToObjects", {"ObjectID"}},
  };
  std::vector<size_t> out;
  // The catalog is the table defined at page 2, whatever its row calls it.
  const std::string_view known =
      table.first_page == 2 ? std::string_view("MSysObjects") : std::string_view(table_name);
  for (const auto& [name, columns] : kColumns) {
    if (!SameName(name, known)) continue;
    for (size_t i = 0; i < table.columns.size(); ++i) {
      const ColumnDef& c = table.columns[i];
      if (c.type != static_cast<uint8_t>(ColumnType::kLong)) continue;
      for (const char* wanted : columns) {
        if (SameName(c.name, wanted)) out.push_back(i);
      }
    }
  }
  return out;
}

void RemapRowIds(std::vector<uint8_t>& row, const RowDecoder& decoder,
                 const std::vector<size_t>& columns, IdMap& ids) {
  for (size_t pos : columns) {
    const FieldRef& f = decoder.fields()[pos];
    if (!f.present || f.bytes.size() != 4) continue;
    size_t offset = static_cast<size_t>(f.bytes.data() - row.data());
    if (offset + 4 > row.size()) continue;
    uint8_t* p = row.data() + offset;
    uint32_t old_value = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
    uint32_t v = static_cast<uint32_t>(ids.Map(static_cast<int32_t>(old_value)));
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
  }
}

}  // namespace engine
