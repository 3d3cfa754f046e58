// Checker part: the catalog (MSysObjects) and the references between
// objects: table ids and TDEF pages, foreign-key index pairs, ids stored in
// MSysACEs and the navigation-pane tables, names within a parent.
#include <algorithm>
#include <cctype>

#include "base/bytes.h"
#include "check/check_internal.h"

namespace engine::check {

namespace {

std::string Num(uint64_t v) {
  return std::to_string(v);
}

std::string HexId(int32_t id) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<uint32_t>(id));
  return buf;
}

// A Long / Integer value of a decoded row; nullopt when NULL or malformed.
std::optional<int64_t> IntField(const FieldRef& f) {
  if (!f.present) return std::nullopt;
  switch (f.bytes.size()) {
    case 1:
      return f.bytes[0];
    case 2:
      return static_cast<int16_t>(Le16(f.bytes.data()));
    case 4:
      return static_cast<int32_t>(Le32(f.bytes.data()));
    default:
      return std::nullopt;
  }
}

std::string FoldCase(const std::string& s) {
  std::string out = s;
  for (char& ch : out) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return out;
}

}  // namespace

void Checker::CheckCatalog() {
  table_names_[2] = "MSysObjects";
  CheckTable(2, true);
  if (!catalog_read_) {
    Where w;
    w.page = 2;
    Report("catalog-unreadable", w,
           "the catalog (MSysObjects) cannot be read; its tables are not checked");
    return;
  }
  // Table ids: the first TDEF page of each local table, listed once.
  std::map<uint32_t, const CatalogObject*> by_page;
  std::vector<uint32_t> to_check;
  for (const CatalogObject& o : catalog_) {
    if (o.type != kObjectTable) continue;
    Where w;
    w.page = o.row.page;
    w.row = o.row.row;
    uint32_t page = static_cast<uint32_t>(o.id) & 0x00FFFFFF;
    const std::string what = "table \"" + o.name + "\" (id " + HexId(o.id) + ")";
    if ((static_cast<uint32_t>(o.id) & 0xFF000000) != 0 || page < 2 || page >= page_count_) {
      Report("catalog-table-id-invalid", w, what + ": the id is not a page of the file");
      continue;
    }
    uint8_t type = pager_.PageOrThrow(page)[0];
    if (type != static_cast<uint8_t>(PageType::kTableDef)) {
      Report("catalog-table-id-invalid", w,
             what + ": page " + Num(page) + " is not a table definition page (type " + Num(type) +
                 ")");
      continue;
    }
    auto [it, inserted] = by_page.emplace(page, &o);
    if (!inserted) {
      Report("catalog-duplicate-table-id", w,
             what + ": the table definition at page " + Num(page) + " is also table \"" +
                 it->second->name + "\"");
      continue;
    }
    table_names_[page] = o.name;
    if (page != 2) to_check.push_back(page);
  }
  // ODBC-linked tables keep a local definition of the remote columns, with
  // no rows here: its pages are owned, and checked as a definition.
  std::vector<std::pair<uint32_t, const CatalogObject*>> linked;
  for (const CatalogObject& o : catalog_) {
    if (o.type != kObjectLinkedOdbc) continue;
    const uint32_t page = static_cast<uint32_t>(o.id);
    if (o.id <= 2 || page >= page_count_ ||
        pager_.PageOrThrow(page)[0] != static_cast<uint8_t>(PageType::kTableDef)) {
      continue;  // a link without a local definition
    }
    auto [it, inserted] = by_page.emplace(page, &o);
    if (!inserted) {
      Where w;
      w.page = o.row.page;
      w.row = o.row.row;
      Report("catalog-duplicate-table-id", w,
             "linked table \"" + o.name + "\" (id " + HexId(o.id) +
                 "): the table definition at page " + Num(page) + " is also table \"" +
                 it->second->name + "\"");
      continue;
    }
    table_names_[page] = o.name;
    linked.emplace_back(page, &o);
  }
  if (!by_page.count(2)) {
    Where w;
    w.page = 2;
    Report("catalog-table-id-invalid", w, "the catalog has no row for MSysObjects itself (id 2)");
  }
  for (uint32_t page : to_check) CheckTable(page, false);
  for (const auto& [page, object] : linked) CheckLinkedDefinition(page);
}

void Checker::CollectCatalogRows(const TableDef& t, const std::vector<LiveRow>& rows) {
  const ColumnDef* cols[5] = {t.FindColumn("Id"), t.FindColumn("ParentId"), t.FindColumn("Name"),
                              t.FindColumn("Type"), t.FindColumn("Flags")};
  Where w;
  w.table = t.first_page;
  w.page = t.first_page;
  for (const ColumnDef* c : cols) {
    if (c == nullptr) {
      Report("catalog-unreadable", w,
             "MSysObjects lacks one of its columns Id, ParentId, Name, Type, Flags");
      return;
    }
  }
  size_t pos[5];
  for (int i = 0; i < 5; ++i) pos[i] = static_cast<size_t>(cols[i] - t.columns.data());
  RowDecoder decoder(t, layout_);
  for (const LiveRow& r : rows) {
    if (!r.decodes || !decoder.Decode(r.bytes).ok()) continue;  // reported as row-invalid
    const auto& f = decoder.fields();
    CatalogObject o;
    o.row = r.location;
    auto id = IntField(f[pos[0]]);
    auto parent = IntField(f[pos[1]]);
    auto type = IntField(f[pos[3]]);
    auto flags = IntField(f[pos[4]]);
    if (!id || !type) {
      Where wr = w;
      wr.page = r.location.page;
      wr.row = r.location.row;
      Report("catalog-row-invalid", wr, "catalog row without a valid Id or Type");
      continue;
    }
    o.id = static_cast<int32_t>(*id);
    o.parent_id = static_cast<int32_t>(parent.value_or(0));
    o.type = static_cast<int16_t>(*type);
    o.flags = static_cast<int32_t>(flags.value_or(0));
    if (f[pos[2]].present) text_.DecodeValue(f[pos[2]].bytes, o.name);
    catalog_.push_back(std::move(o));
  }
  catalog_read_ = true;
}

void Checker::CollectIdReferences(const TableDef& t, const std::vector<LiveRow>& rows) {
  auto name = table_names_.find(t.first_page);
  if (name == table_names_.end()) return;
  const char* column = nullptr;
  if (name->second == "MSysACEs") column = "ObjectId";
  if (name->second == "MSysNavPaneObjectIDs") column = "Id";
  if (name->second == "MSysNavPaneGroupToObjects") column = "ObjectID";
  if (column == nullptr) return;
  const ColumnDef* c = t.FindColumn(column);
  if (c == nullptr) return;
  size_t pos = static_cast<size_t>(c - t.columns.data());
  std::optional<size_t> name_pos;
  if (const ColumnDef* n = t.FindColumn("Name"); n != nullptr && n->type == 0x0A) {
    name_pos = static_cast<size_t>(n - t.columns.data());
  }
  RowDecoder decoder(t, layout_);
  for (const LiveRow& r : rows) {
    if (!r.decodes || !decoder.Decode(r.bytes).ok()) continue;
    auto id = IntField(decoder.fields()[pos]);
    if (!id) continue;
    IdReference ref{t.first_page, column, r.location, static_cast<int32_t>(*id), {}};
    if (name_pos && decoder.fields()[*name_pos].present) {
      text_.DecodeValue(decoder.fields()[*name_pos].bytes, ref.name);
    }
    id_references_.push_back(std::move(ref));
  }
}

void Checker::CheckCrossReferences() {
  if (!catalog_read_) return;
  std::unordered_set<int32_t> ids;
  for (const CatalogObject& o : catalog_) ids.insert(o.id);

  // Names are unique within their parent, ignoring case.
  std::map<std::pair<int32_t, std::string>, const CatalogObject*> names;
  for (const CatalogObject& o : catalog_) {
    auto [it, inserted] = names.emplace(std::make_pair(o.parent_id, FoldCase(o.name)), &o);
    if (!inserted) {
      Where w;
      w.page = o.row.page;
      w.row = o.row.row;
      Report("catalog-duplicate-name", w,
             "object \"" + o.name + "\" (id " + HexId(o.id) + ") has the same name as object " +
                 HexId(it->second->id) + " under the same parent " + HexId(o.parent_id));
    }
  }

  for (const IdReference& ref : id_references_) {
    if (ids.count(ref.id)) continue;
    Where w;
    w.table = ref.table;
    w.page = ref.row.page;
    w.row = ref.row.row;
    // The navigation-pane tables are kept by Access itself and are known to
    // keep rows of objects it has since deleted; they get their own code.
    bool navpane = TableName(ref.table).rfind("MSysNavPane", 0) == 0;
    Report(navpane ? "navpane-stale-id" : "catalog-reference-invalid", w,
           ref.column + " " + HexId(ref.id) +
               (ref.name.empty() ? std::string() : " (\"" + ref.name + "\")") +
               " names no object of the catalog");
  }

  // Foreign keys: both sides exist and point at each other.
  for (const auto& [page, summary] : tables_) {
    if (!summary.readable) continue;
    for (const LogicalIndex& li : summary.logical) {
      if (li.fk_role == 0 && li.fk_table == 0) continue;
      Where w;
      w.table = page;
      w.page = page;
      w.index = li.name;
      auto other = tables_.find(li.fk_table);
      if (li.fk_table == 0 || other == tables_.end()) {
        Report("fk-table-missing", w,
               "foreign key \"" + li.name + "\" refers to the table at page " + Num(li.fk_table) +
                   ", which the catalog does not list");
        continue;
      }
      if (!other->second.readable) continue;
      const LogicalIndex* partner = nullptr;
      for (const LogicalIndex& o : other->second.logical) {
        if (o.number == li.fk_index) partner = &o;
      }
      if (partner == nullptr) {
        Report("fk-index-missing", w,
               "foreign key \"" + li.name + "\" refers to logical index " + Num(li.fk_index) +
                   " of " + TableName(li.fk_table) + ", which it does not have");
        continue;
      }
      if (partner->fk_table != page || partner->fk_index != li.number) {
        Report("fk-not-reciprocal", w,
               "foreign key \"" + li.name + "\" refers to index \"" + partner->name + "\" of " +
                   TableName(li.fk_table) + ", which refers to logical index " +
                   Num(partner->fk_index) + " of the table at page " + Num(partner->fk_table));
      }
    }
  }
}

}  // namespace engine::check
