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

#include "base/bytes.h"
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

void Put(std::vector<uint8_t>& d, size_t at, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) d[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void Append(std::vector<uint8_t>& d, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) d.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void AppendName(std::vector<uint8_t>& d, const Layout& L, const std::string& name) {
  const bool wide = L.version == JetVersion::kJet4;
  Append(d, static_cast<uint32_t>(name.size() * (wide ? 2 : 1)), L.column_name_length_size);
  for (char c : name) Append(d, static_cast<uint8_t>(c), wide ? 2 : 1);
}

}  // namespace

std::vector<uint8_t> CatalogDefinitionPage(const Layout& L, const DatabaseHeader& header) {
  const bool jet4 = L.version == JetVersion::kJet4;
  const uint16_t sort_order = header.sort_order != 0 ? header.sort_order : 0x0409;
  std::vector<uint8_t> d(L.tdef_block_end, 0);
  d[0] = static_cast<uint8_t>(PageType::kTableDef);
  d[1] = 0x01;
  if (jet4) {
    Put(d, 0x0C, 1625, 4);
    d[0x18] = 1;
  }
  d[L.tdef_table_type] = 'S';
  Put(d, L.tdef_max_cols, std::size(kColumns), 2);
  Put(d, L.tdef_num_var_cols, kVarColumns, 2);
  Put(d, L.tdef_num_cols, std::size(kColumns), 2);
  Put(d, L.tdef_num_idx, 2, 4);
  Put(d, L.tdef_num_real_idx, 2, 4);
  d.resize(d.size() + 2 * L.tdef_index_count_size, 0);

  // Jet 4 lists the columns by name, Jet 3 by number.
  std::vector<CatalogColumn> columns(std::begin(kColumns), std::end(kColumns));
  if (jet4) {
    std::sort(columns.begin(), columns.end(), [](const CatalogColumn& a, const CatalogColumn& b) {
      return std::string(a.name) < std::string(b.name);
    });
  }
  for (const CatalogColumn& c : columns) {
    std::vector<uint8_t> col(L.column_def_size, 0);
    col[0] = c.type;
    if (jet4) Put(col, 1, 1625, 4);
    Put(col, L.col_number, c.number, 2);
    Put(col, L.col_var_index, c.var_index, 2);
    Put(col, L.col_sort_order, sort_order, 2);
    if (!jet4) {
      Put(col, 7, 1, 2);
      Put(col, 11, header.code_page != 0 ? header.code_page : 1252, 2);
    }
    col[L.col_flags] = c.flags;
    Put(col, L.col_fixed_offset, c.fixed_offset, 2);
    uint32_t length = FixedTypeSize(c.type);
    if (c.text_length != 0) length = jet4 ? 2u * c.text_length : c.text_length;
    Put(col, L.col_length, length, 2);
    d.insert(d.end(), col.begin(), col.end());
  }
  for (const CatalogColumn& c : columns) AppendName(d, L, c.name);

  // Physical indexes: 0 over (ParentId, Name), 1 over Id; both unique.
  const std::vector<std::vector<uint16_t>> physical = {{1, 2}, {0}};
  for (const auto& keys : physical) {
    std::vector<uint8_t> p(L.physical_index_size, 0);
    if (jet4) Put(p, 0, 1923, 4);
    for (size_t s = 0; s < 10; ++s) {
      const size_t at = L.pidx_columns + 3 * s;
      Put(p, at, s < keys.size() ? keys[s] : 0xFFFF, 2);
      p[at + 2] = s < keys.size() ? 1 : 0;
    }
    p[L.pidx_flags] = jet4 ? 0x81 : 0x01;
    d.insert(d.end(), p.begin(), p.end());
  }
  // Logical indexes: "Id" (number 1, the primary key, on physical 1) and
  // "ParentIdName" (number 0, on physical 0).
  struct Logical {
    uint32_t number, physical;
    uint8_t kind;
  };
  for (const Logical& li : {Logical{1, 1, 1}, Logical{0, 0, 0}}) {
    std::vector<uint8_t> l(L.logical_index_size, 0);
    if (jet4) Put(l, 0, 1625, 4);
    Put(l, L.lidx_number, li.number, 4);
    Put(l, L.lidx_physical, li.physical, 4);
    Put(l, L.lidx_fk_index, 0xFFFFFFFFu, 4);
    l[L.lidx_cascade_update] = 4;
    l[L.lidx_cascade_delete] = 4;
    l[L.lidx_kind] = li.kind;
    d.insert(d.end(), l.begin(), l.end());
  }
  AppendName(d, L, "Id");
  AppendName(d, L, "ParentIdName");
  for (uint16_t c : kLongValueColumns) {
    Append(d, c, 2);
    Append(d, 0, 4);
    Append(d, 0, 4);
  }
  Append(d, 0xFFFF, 2);
  const auto length = static_cast<uint32_t>(d.size());
  Put(d, 8, length, 4);
  if (jet4) {
    Put(d, 2, L.page_size - length - 8, 2);
  } else {
    d[2] = 'V';
    d[3] = 'C';
  }
  d.resize(L.page_size, 0);
  return d;
}

}  // namespace engine
