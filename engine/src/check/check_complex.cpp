// ACE complex columns (attachments, multi-valued fields, version history)
// against the tables that hold their values.
//
// A complex column stores a 4-byte id per row; the column's flat table
// (MSysComplexColumns.FlatTableID) holds the items, each naming the id of its
// parent row in its foreign-key column "_<column>". The table
// definition keeps the last id handed out (offset 0x1C of an ACE definition).
// Checked here, after the catalog:
//   complex-column-invalid   an MSysComplexColumns row names no table, no
//                            complex column of it, no flat table or no template
//   complex-item-orphan      an item whose parent id no row of the table holds
//   complex-id-shared        two rows hold the same id in one complex column
//   complex-autonumber-below-max  the definition's last id is below an id in
//                            use: the next row would get items already taken
// An id no item names is no fault: Access hands every row an id, shared by
// its complex columns, whether or not a column has items for it (the corpus
// has hundreds of such rows).
#include <algorithm>
#include <map>
#include <set>

#include "base/bytes.h"
#include "check/check_internal.h"

namespace engine::check {

namespace {

// Offset of the last complex id in an ACE table definition.
constexpr size_t kComplexAutonumberOffset = 0x1C;

std::optional<int32_t> LongField(const FieldRef& f) {
  if (!f.present || f.bytes.size() != 4) return std::nullopt;
  return static_cast<int32_t>(Le32(f.bytes.data()));
}

bool IsComplex(const ColumnDef& c) {
  return c.type == static_cast<uint8_t>(ColumnType::kComplex);
}

// One row of MSysComplexColumns.
struct ComplexLink {
  std::string column;
  int32_t template_id = 0, flat_id = 0, table_id = 0, complex_id = 0;
  RowPointer row;
};

}  // namespace

void Checker::CheckComplexColumns() {
  if (db_ == nullptr || !IsAce(header_.format)) return;
  const CatalogObject* links_table = db_->FindTable("MSysComplexColumns");
  if (links_table == nullptr) return;
  auto links_def = db_->ReadTableDef(links_table->table_page());
  if (!links_def.ok()) return;  // reported with the table's own checks
  const TableDef& ld = links_def.value();
  const ColumnDef* cols[5] = {ld.FindColumn("ColumnName"), ld.FindColumn("ComplexTypeObjectID"),
                              ld.FindColumn("FlatTableID"), ld.FindColumn("ConceptualTableID"),
                              ld.FindColumn("ComplexID")};
  for (const ColumnDef* c : cols) {
    if (c == nullptr) return;
  }
  std::vector<ComplexLink> links;
  {
    RowDecoder decoder(ld, layout_);
    Status st = db_->ScanRows(ld, [&](const RowRef& ref) {
      if (!decoder.Decode(ref.bytes).ok()) return true;  // row-invalid, reported
      const auto& f = decoder.fields();
      auto at = [&](int i) { return f[static_cast<size_t>(cols[i] - ld.columns.data())]; };
      ComplexLink l;
      l.row = ref.location;
      if (at(0).present) text_.DecodeValue(at(0).bytes, l.column);
      l.template_id = LongField(at(1)).value_or(0);
      l.flat_id = LongField(at(2)).value_or(0);
      l.table_id = LongField(at(3)).value_or(0);
      l.complex_id = LongField(at(4)).value_or(0);
      links.push_back(std::move(l));
      return true;
    });
    if (!st.ok()) return;
  }

  std::map<int32_t, const CatalogObject*> tables;
  for (const CatalogObject* t : db_->tables()) tables[t->id] = t;
  auto table_of = [&](int32_t id) -> const CatalogObject* {
    auto it = tables.find(id);
    return it == tables.end() ? nullptr : it->second;
  };

  // Per owning table: its definition, and per complex column the items'
  // parent ids.
  struct Items {
    uint32_t flat_page = 0;
    std::vector<std::pair<int32_t, RowPointer>> list;  // parent id, where the item is
  };
  struct Owner {
    TableDef def;
    std::map<uint16_t, Items> items;  // by complex column number
  };
  std::map<int32_t, Owner> owners;

  for (const ComplexLink& l : links) {
    Where w;
    w.table = links_table->table_page();
    w.page = l.row.page;
    w.row = l.row.row;
    const std::string what = "complex column \"" + l.column + "\"";
    const CatalogObject* table = table_of(l.table_id);
    const CatalogObject* flat = table_of(l.flat_id);
    if (table == nullptr) {
      Report("complex-column-invalid", w,
             what + ": its table id " + std::to_string(l.table_id) + " names no table");
      continue;
    }
    if (flat == nullptr) {
      Report("complex-column-invalid", w,
             what + " of table \"" + table->name + "\": its flat table id " +
                 std::to_string(l.flat_id) + " names no table");
      continue;
    }
    if (table_of(l.template_id) == nullptr) {
      Report("complex-column-invalid", w,
             what + " of table \"" + table->name + "\": its template id " +
                 std::to_string(l.template_id) + " names no table");
    }
    auto [it, inserted] = owners.try_emplace(l.table_id);
    Owner& owner = it->second;
    if (inserted) {
      auto def = db_->ReadTableDef(table->table_page());
      if (!def.ok()) {
        owners.erase(it);
        continue;
      }
      owner.def = std::move(def.value());
    }
    const ColumnDef* column = owner.def.FindColumn(l.column);
    if (column == nullptr || !IsComplex(*column)) {
      Report("complex-column-invalid", w,
             what + ": table \"" + table->name + "\" has no complex column of that name");
      continue;
    }
    // The items' foreign key: "_<column>" (each item's own id is
    // "<table>_<column>").
    auto flat_def = db_->ReadTableDef(flat->table_page());
    if (!flat_def.ok()) continue;
    const TableDef& fd = flat_def.value();
    const ColumnDef* key = fd.FindColumn("_" + l.column);
    if (key == nullptr || key->type != static_cast<uint8_t>(ColumnType::kLong)) {
      continue;  // named otherwise: not checked
    }
    const size_t key_pos = static_cast<size_t>(key - fd.columns.data());
    Items items;
    items.flat_page = flat->table_page();
    RowDecoder decoder(fd, layout_);
    Status st = db_->ScanRows(fd, [&](const RowRef& ref) {
      if (!decoder.Decode(ref.bytes).ok()) return true;
      if (auto id = LongField(decoder.fields()[key_pos])) {
        items.list.emplace_back(*id, ref.location);
      }
      return true;
    });
    if (st.ok()) owner.items[column->number] = std::move(items);
  }

  for (const auto& entry : owners) {
    const Owner& owner = entry.second;
    const TableDef& def = owner.def;
    std::map<uint16_t, size_t> positions;  // complex column number -> field position
    for (size_t i = 0; i < def.columns.size(); ++i) {
      if (IsComplex(def.columns[i])) positions[def.columns[i].number] = i;
    }
    std::map<uint16_t, std::set<int32_t>> row_ids;
    int64_t largest = 0;
    RowDecoder decoder(def, layout_);
    Status st = db_->ScanRows(def, [&](const RowRef& ref) {
      if (!decoder.Decode(ref.bytes).ok()) return true;
      for (const auto& [number, pos] : positions) {
        auto id = LongField(decoder.fields()[pos]);
        if (!id || *id <= 0) continue;
        if (!row_ids[number].insert(*id).second) {
          Where wr;
          wr.table = def.first_page;
          wr.page = ref.location.page;
          wr.row = ref.location.row;
          Report("complex-id-shared", wr,
                 "complex column \"" + def.columns[pos].name + "\" holds id " +
                     std::to_string(*id) + ", which another row of the table holds too");
        }
        largest = std::max<int64_t>(largest, *id);
      }
      return true;
    });
    if (!st.ok()) continue;
    Where w;
    w.table = def.first_page;
    w.page = def.first_page;
    const std::string table_name = TableName(def.first_page);
    if (def.raw.size() >= kComplexAutonumberOffset + 4 && !positions.empty()) {
      const uint32_t last = Le32(def.raw.data() + kComplexAutonumberOffset);
      if (static_cast<int64_t>(last) < largest) {
        Report("complex-autonumber-below-max", w,
               "table \"" + table_name + "\" records " + std::to_string(last) +
                   " as its last complex id, but its rows hold " + std::to_string(largest));
      }
    }
    for (const auto& [number, items] : owner.items) {
      const std::set<int32_t>& held = row_ids[number];
      const std::string column = def.ColumnByNumber(number)->name;
      for (const auto& [id, at] : items.list) {
        if (held.count(id)) continue;
        Where wi;
        wi.table = items.flat_page;
        wi.page = at.page;
        wi.row = at.row;
        Report("complex-item-orphan", wi,
               "an item of complex column \"" + column + "\" of table \"" + table_name +
                   "\" names parent id " + std::to_string(id) + ", which no row holds");
      }
    }
  }
}

}  // namespace engine::check
