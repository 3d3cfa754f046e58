// The catalog's own definition, for a file whose page 2 is lost. Every
// Jet 3 and every Jet 4 file defines MSysObjects alike: the same seventeen
// columns with the same numbers, slots, offsets and lengths, the same two
// indexes (ParentIdName over ParentId and Name; the primary key Id) and the
// same long-value columns. What differs between files is the collating order
// of the columns (the database's own) and, in Jet 3, their code page; both
// come from page 0.
#include <algorithm>
#include <string>
#include <vector>

#include "format/table_def.h"
#include "salvage/salvage_internal.h"

namespace engine {

namespace {

struct CatalogColumn {
  uint8_t number;
  const char* name;
  uint8_t type;
  uint8_t var_index;  // as Access writes it, fixed columns included
  uint8_t flags;
  uint16_t fixed_offset;
  uint16_t text_length;  // in characters; fixed columns: 0 (their size)
};

constexpr CatalogColumn kColumns[] = {
    {0, "Id", 0x04, 0, 0x13, 0, 0},
    {1, "ParentId", 0x04, 0, 0x13, 4, 0},
    {2, "Name", 0x0A, 0, 0x12, 0, 255},
    {3, "Type", 0x03, 1, 0x13, 8, 0},
    {4, "DateCreate", 0x08, 1, 0x13, 10, 0},
    {5, "DateUpdate", 0x08, 1, 0x13, 18, 0},
    {6, "Owner", 0x09, 1, 0x32, 0, 255},
    {7, "Flags", 0x04, 2, 0x13, 26, 0},
    {8, "Database", 0x0C, 2, 0x12, 0, 0},
    {9, "Connect", 0x0C, 3, 0x12, 0, 0},
    {10, "ForeignName", 0x0A, 4, 0x12, 0, 255},
    {11, "RmtInfoShort", 0x09, 5, 0x12, 0, 255},
    {12, "RmtInfoLong", 0x0B, 6, 0x12, 0, 0},
    {13, "Lv", 0x0B, 7, 0x12, 0, 0},
    {14, "LvProp", 0x0B, 8, 0x12, 0, 0},
    {15, "LvModule", 0x0B, 9, 0x12, 0, 0},
    {16, "LvExtra", 0x0B, 10, 0x12, 0, 0},
};
constexpr uint16_t kVarColumns = 11;
// Long-value columns in the order their map entries are listed.
constexpr uint16_t kLongValueColumns[] = {9, 8, 13, 16, 15, 14, 12};

// Names are ASCII: Jet 3 stores them as they are, Jet 4 as UCS-2.
std::vector<uint8_t> StoredName(const Layout& L, const std::string& name) {
  std::vector<uint8_t> out;
  for (char c : name) {
    out.push_back(static_cast<uint8_t>(c));
    if (L.version == JetVersion::kJet4) out.push_back(0);
  }
  return out;
}

}  // namespace

std::vector<uint8_t> CatalogDefinitionPage(const Layout& L, const DatabaseHeader& header) {
  const bool jet4 = L.version == JetVersion::kJet4;
  const uint16_t sort_order = header.sort_order != 0 ? header.sort_order : 0x0409;
  TableDef t;
  t.first_page = 2;
  t.table_type = 'S';
  t.max_cols = static_cast<uint16_t>(std::size(kColumns));
  t.num_var_cols = kVarColumns;

  // Jet 4 lists the columns by name, Jet 3 by number.
  std::vector<CatalogColumn> columns(std::begin(kColumns), std::end(kColumns));
  if (jet4) {
    std::sort(columns.begin(), columns.end(), [](const CatalogColumn& a, const CatalogColumn& b) {
      return std::string(a.name) < std::string(b.name);
    });
  }
  for (const CatalogColumn& c : columns) {
    ColumnDef col;
    col.type = c.type;
    col.number = c.number;
    col.var_index = c.var_index;
    col.sort_order = sort_order;
    if (!jet4) {
      col.page0_copy = 1;
      col.code_page = header.code_page != 0 ? header.code_page : 1252;
    }
    col.flags = c.flags;
    col.fixed_offset = c.fixed_offset;
    uint32_t length = FixedTypeSize(c.type);
    if (c.text_length != 0) length = jet4 ? 2u * c.text_length : c.text_length;
    col.length = static_cast<uint16_t>(length);
    col.name = c.name;
    col.raw_name = StoredName(L, c.name);
    t.columns.push_back(std::move(col));
  }

  // Physical indexes: 0 over (ParentId, Name), 1 over Id; both unique.
  const std::vector<std::vector<uint16_t>> physical = {{1, 2}, {0}};
  for (const auto& keys : physical) {
    PhysicalIndex p;
    p.position = static_cast<uint32_t>(t.physical_indexes.size());
    for (uint16_t k : keys) p.columns.push_back({k, true, 1});
    p.flags = jet4 ? 0x81 : 0x01;
    t.physical_indexes.push_back(std::move(p));
  }
  // Logical indexes: "Id" (number 1, the primary key, on physical 1) and
  // "ParentIdName" (number 0, on physical 0).
  struct Logical {
    uint32_t number, physical;
    uint8_t kind;
    const char* name;
  };
  for (const Logical& li : {Logical{1, 1, 1, "Id"}, Logical{0, 0, 0, "ParentIdName"}}) {
    LogicalIndex l;
    l.number = li.number;
    l.physical = li.physical;
    l.fk_index = 0xFFFFFFFFu;
    l.cascade_update = 4;
    l.cascade_delete = 4;
    l.kind = li.kind;
    l.name = li.name;
    l.raw_name = StoredName(L, li.name);
    t.logical_indexes.push_back(std::move(l));
  }
  for (uint16_t c : kLongValueColumns) {
    LongValueMap m;
    m.column_number = c;
    t.long_value_maps.push_back(m);
  }
  // A definition of fixed elements always encodes and fits one page.
  auto d = EncodeTableDef(t, L);
  return std::move(SplitTableDef(d.value(), {2}, L).front());
}

}  // namespace engine
