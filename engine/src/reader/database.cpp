#include "reader/database.h"

#include <algorithm>

#include "base/bytes.h"
#include "format/pages.h"
#include "format/row.h"

namespace engine {

Database::~Database() = default;

Result<std::unique_ptr<Database>> Database::Open(const std::string& path,
                                                 const OpenOptions& options) {
  auto source = FileSource::OpenFile(path);
  if (!source.ok()) return source.error();
  return Open(std::move(source.value()), options);
}

Result<std::unique_ptr<Database>> Database::Open(std::unique_ptr<FileSource> source,
                                                 const OpenOptions& options) {
  auto header = DecodeHeader(source->bytes());
  if (!header.ok()) return header.error();
  std::unique_ptr<Database> db(new Database());
  db->header_ = std::move(header.value());
  auto pages = OpenPages(std::move(source), db->header_, options.password);
  if (!pages.ok()) return pages.error();
  db->layout_ = &LayoutFor(db->header_.version);
  db->pager_ = std::move(pages.value());
  if (db->pager_->page_count() < 3) {
    return Damaged("the file has only " + std::to_string(db->pager_->page_count()) +
                   " whole pages; a database needs at least 3");
  }
  db->text_ = std::make_unique<TextCodec>(db->header_.version, db->header_.code_page);
  Status st = db->LoadCatalog();
  if (!st.ok()) return st.error();
  return db;
}

namespace {

int64_t IntValue(const FieldRef& f, const ColumnDef& c, const char* what) {
  if (!f.present) return 0;
  size_t size = FixedTypeSize(c.type);
  if (size == 0 || size > 8 || f.bytes.size() != size) {
    Fail(ErrorCode::kDamaged,
         std::string("catalog: ") + what + " has " + std::to_string(f.bytes.size()) + " bytes");
  }
  return LeInteger(f.bytes.data(), size);
}

}  // namespace

Status Database::LoadCatalog() {
  auto def = ReadTableDef(2);
  if (!def.ok()) {
    return Damaged("the catalog (MSysObjects) cannot be read: " + def.error().description());
  }
  const TableDef& t = def.value();
  const ColumnDef* id = t.FindColumn("Id");
  const ColumnDef* parent = t.FindColumn("ParentId");
  const ColumnDef* name = t.FindColumn("Name");
  const ColumnDef* type = t.FindColumn("Type");
  const ColumnDef* flags = t.FindColumn("Flags");
  if (!id || !parent || !name || !type || !flags) {
    return Damaged(
        "the catalog (MSysObjects at page 2) lacks one of its columns Id, ParentId, "
        "Name, Type, Flags");
  }
  auto index_of = [&](const ColumnDef* c) { return static_cast<size_t>(c - t.columns.data()); };
  // Where linked tables point; absent from some catalogs.
  const ColumnDef* database = t.FindColumn("Database");
  const ColumnDef* connect = t.FindColumn("Connect");
  const ColumnDef* foreign = t.FindColumn("ForeignName");
  const ColumnDef* properties = t.FindColumn("LvProp");
  std::vector<uint8_t> long_value;
  // Text or memo; a link target that cannot be read stays empty rather
  // than hiding the whole catalog.
  auto read_text = [&](const std::vector<FieldRef>& f, const ColumnDef* c, std::string& out) {
    if (!c || !f[index_of(c)].present) return;
    ByteSpan bytes = f[index_of(c)].bytes;
    if (c->is_long_value()) {
      if (!ReadLongValue(bytes, long_value).ok()) return;
      bytes = ByteSpan(long_value);
    }
    text_->DecodeValue(bytes, out);
  };
  RowDecoder decoder(t, *layout_);
  objects_.clear();
  Status inner;
  Status st = ScanRows(t, [&](const RowRef& row) {
    Status s = GuardStatus([&] {
      decoder.DecodeOrThrow(row.bytes);
      const auto& f = decoder.fields();
      CatalogObject o;
      o.row = row.location;
      o.id = static_cast<int32_t>(IntValue(f[index_of(id)], *id, "Id"));
      o.parent_id = static_cast<int32_t>(IntValue(f[index_of(parent)], *parent, "ParentId"));
      o.type = static_cast<int16_t>(IntValue(f[index_of(type)], *type, "Type"));
      o.flags = static_cast<int32_t>(IntValue(f[index_of(flags)], *flags, "Flags"));
      if (f[index_of(name)].present) text_->DecodeValue(f[index_of(name)].bytes, o.name);
      if (o.is_linked()) {
        read_text(f, database, o.database);
        read_text(f, connect, o.connect);
        read_text(f, foreign, o.foreign_name);
      }
      if (o.is_table()) {
        o.definition_page = o.table_page();
        if (properties && properties->is_long_value() && f[index_of(properties)].present) {
          const ByteSpan p = f[index_of(properties)].bytes;
          o.properties_field.assign(p.begin(), p.end());
        }
      } else if (o.type == kObjectLinkedOdbc && o.id > 2 && o.id < 0x01000000 &&
                 static_cast<uint32_t>(o.id) < pager_->page_count() &&
                 pager_->PageOrThrow(static_cast<uint32_t>(o.id))[0] ==
                     static_cast<uint8_t>(PageType::kTableDef)) {
        o.definition_page = static_cast<uint32_t>(o.id);
      }
      objects_.push_back(std::move(o));
    });
    if (!s.ok()) {
      inner = Damaged("catalog row at page " + std::to_string(row.location.page) + " row " +
                      std::to_string(row.location.row) + ": " + s.error().description());
      return false;
    }
    return true;
  });
  if (!st.ok())
    return Damaged("the catalog (MSysObjects) cannot be read: " + st.error().description());
  return inner;
}

std::vector<const CatalogObject*> Database::tables() const {
  std::vector<const CatalogObject*> out;
  for (const auto& o : objects_) {
    if (o.is_table()) out.push_back(&o);
  }
  // UTF-8 byte order equals code-point order.
  std::stable_sort(out.begin(), out.end(), [](const CatalogObject* a, const CatalogObject* b) {
    return a->name < b->name;
  });
  return out;
}

std::vector<const CatalogObject*> Database::linked_tables() const {
  std::vector<const CatalogObject*> out;
  for (const auto& o : objects_) {
    if (o.is_linked()) out.push_back(&o);
  }
  std::stable_sort(out.begin(), out.end(), [](const CatalogObject* a, const CatalogObject* b) {
    return a->name < b->name;
  });
  return out;
}

namespace {

// Masks the value of every PWD= / Password= key of a connection string.
std::string MaskPasswords(const std::string& connect) {
  std::string out;
  size_t start = 0;
  while (start <= connect.size()) {
    size_t end = connect.find(';', start);
    if (end == std::string::npos) end = connect.size();
    std::string part = connect.substr(start, end - start);
    size_t eq = part.find('=');
    if (eq != std::string::npos) {
      std::string key = part.substr(0, eq);
      while (!key.empty() && key.front() == ' ') key.erase(key.begin());
      while (!key.empty() && key.back() == ' ') key.pop_back();
      for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (key == "pwd" || key == "password") part = part.substr(0, eq + 1) + "***";
    }
    out += part;
    if (end < connect.size()) out += ';';
    start = end + 1;
  }
  return out;
}

}  // namespace

std::string DescribeLinkTarget(const CatalogObject& object) {
  std::string out;
  if (object.type == kObjectLinkedOdbc) {
    std::string connect = object.connect;
    if (connect.rfind("ODBC;", 0) == 0) connect.erase(0, 5);
    out = "ODBC " + MaskPasswords(connect);
  } else {
    out = object.database.empty() ? "(no database named)" : object.database;
    if (!object.connect.empty()) out += " (" + MaskPasswords(object.connect) + ")";
  }
  if (!object.foreign_name.empty()) out += " table " + object.foreign_name;
  return out;
}

std::vector<uint32_t> Database::OwnedDefinitionPages() const {
  std::vector<uint32_t> out;
  for (const auto& o : objects_) {
    if (o.definition_page != 0) out.push_back(o.definition_page);
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

const CatalogObject* Database::FindTable(std::string_view name) const {
  for (const auto& o : objects_) {
    if (o.is_table() && o.name == name) return &o;
  }
  return nullptr;
}

Result<TableDef> Database::ReadTableDef(uint32_t first_page) const {
  return engine::ReadTableDef(*pager_, *layout_, *text_, first_page);
}

Result<DataPage> Database::ReadDataPage(uint32_t page) const {
  auto bytes = pager_->Page(page);
  if (!bytes.ok()) return bytes.error();
  return DecodeDataPage(bytes.value(), *layout_, page);
}

Result<UsageMap> Database::ReadUsageMap(RowPointer pointer) const {
  return engine::ReadUsageMap(*pager_, *layout_, pointer);
}

Result<UsageMap> Database::GlobalUsageMap() const {
  return ReadUsageMap(RowPointer{1, 0});
}

Status Database::ReadLongValue(ByteSpan field, std::vector<uint8_t>& out,
                               std::vector<RowPointer>* pieces) const {
  return engine::ReadLongValue(*pager_, *layout_, field, out, pieces);
}

std::map<std::string, uint8_t> Database::ColumnResultTypes(const CatalogObject& table) const {
  std::map<std::string, uint8_t> out;
  if (table.properties_field.empty()) return out;
  std::vector<uint8_t> blob;
  if (!ReadLongValue(table.properties_field, blob).ok()) return out;
  auto decoded = ReadProperties(blob);
  if (!decoded.ok()) return out;
  for (const PropertyGroup& g : decoded.value().groups) {
    if (g.object_name.empty()) continue;
    for (const Property& p : g.properties) {
      if (p.name == "ResultType" && !p.value.empty()) out[g.object_name] = p.value[0];
    }
  }
  return out;
}

Result<PropertyBlob> Database::ReadProperties(ByteSpan blob) const {
  return DecodePropertyBlob(blob, *text_);
}

const std::map<uint32_t, std::vector<uint32_t>>& Database::DataPagesByOwner() const {
  if (pages_by_owner_) return *pages_by_owner_;
  auto census = std::make_unique<std::map<uint32_t, std::vector<uint32_t>>>();
  const Layout& L = *layout_;
  const uint32_t count = pager_->page_count();
  std::vector<bool> free(count, false);
  auto global = GlobalUsageMap();
  if (global.ok()) {
    for (uint32_t p : global.value().pages) free[p] = true;
  }
  std::vector<uint8_t> scratch;
  for (uint32_t n = 3; n < count; ++n) {
    if (free[n]) continue;
    const SlotTable slots(pager_->PageOnce(n, scratch), L);
    if (!slots.is_data_page()) continue;
    uint32_t owner = slots.owner();
    // 0: usage-map rows, 1: page 1 (the global map); 2 is the catalog.
    if (owner < 2 || owner == kLvalOwner) continue;
    // (A row table that does not fit is not one we can read.)
    if (slots.undeleted_count() > 0) (*census)[owner].push_back(n);
  }
  pages_by_owner_ = std::move(census);
  return *pages_by_owner_;
}

// Access leaves superseded pages behind: marked in use, naming the table,
// still holding the rows they had (seen on MSysNavPaneObjectIDs, whose map
// lists a newer page with the same rows). Such a page is harmless when the
// pages of the map hold at least the table's stored row count; with fewer,
// its rows are missing from the map and the table cannot be read whole.
Status Database::CheckPageMapComplete(const TableDef& table, const UsageMap& owned) const {
  auto by_owner = DataPagesByOwner().find(table.first_page);
  if (by_owner == DataPagesByOwner().end()) return {};
  std::vector<uint32_t> unlisted;
  for (uint32_t page : by_owner->second) {
    if (!owned.Contains(page)) unlisted.push_back(page);
  }
  if (unlisted.empty()) return {};
  const Layout& L = *layout_;
  uint64_t rows = 0;
  std::vector<uint8_t> scratch;
  for (uint32_t number : owned.pages) {
    const SlotTable slots(pager_->PageOnce(number, scratch), L);
    if (!slots.is_data_page()) continue;  // the scan reports it
    rows += slots.undeleted_count();
  }
  if (rows >= table.num_rows) return {};
  return Damaged("data page " + std::to_string(unlisted.front()) +
                 " names the table as its owner and holds live rows, but its page map does not "
                 "list it, and the pages it lists hold " +
                 std::to_string(rows) + " of the " + std::to_string(table.num_rows) +
                 " rows the table definition counts");
}

Status Database::ScanRows(const TableDef& table,
                          const std::function<bool(const RowRef&)>& visit) const {
  const Layout& L = *layout_;
  const std::string where = "table at page " + std::to_string(table.first_page);
  auto owned = ReadUsageMap(table.owned_map);
  if (!owned.ok()) return Damaged(where + ": " + owned.error().description());
  if (owned.value().pages_beyond_file > 0) {
    return Damaged(where + ": page " + std::to_string(owned.value().first_page_beyond_file) +
                   " of its page map lies beyond the end of the file (" +
                   std::to_string(page_count()) + " pages): the file is cut short");
  }
  Status complete = CheckPageMapComplete(table, owned.value());
  if (!complete.ok()) return Damaged(where + ": " + complete.error().description());
  return GuardStatus([&] {
    // Checks a data page of this table and returns its slot table.
    auto check_page = [&](ByteSpan page, uint32_t number) -> SlotTable {
      const SlotTable slots(page, L);
      if (!slots.is_data_page()) {
        Fail(ErrorCode::kDamaged, where + ": page " + std::to_string(number) +
                                      " in its page map is not a data page (type " +
                                      std::to_string(slots.page_type()) + ")");
      }
      uint32_t owner = slots.owner();
      if (owner != table.first_page) {
        Fail(ErrorCode::kDamaged, where + ": data page " + std::to_string(number) +
                                      " belongs to page " + std::to_string(owner));
      }
      const uint32_t count = slots.count();
      // Row pointers have one byte for the row: a page never has more.
      if (!slots.addressable()) {
        Fail(ErrorCode::kDamaged, "data page " + std::to_string(number) + ": row count " +
                                      std::to_string(count) + " does not fit the page (at most " +
                                      std::to_string(kRowPointerSlots) + " rows)");
      }
      // The free-space field is the gap between the row-offset table and
      // the lowest row. A page written only in part (torn) disagrees.
      // (A row reaching into the offset table is reported with its row.)
      const uint32_t lowest = slots.lowest_start();
      const uint32_t table_end = slots.table_end();
      const uint32_t free_field = slots.free_space();
      if (lowest >= table_end && free_field != lowest - table_end) {
        uint32_t gap = lowest - table_end;
        Fail(ErrorCode::kDamaged, "data page " + std::to_string(number) +
                                      ": its free-space field (" + std::to_string(free_field) +
                                      " bytes) disagrees with its " + std::to_string(count) +
                                      " row offsets (" + std::to_string(gap) +
                                      " bytes free): the page is torn or damaged");
      }
      return slots;
    };
    auto slot_bytes = [&](const SlotTable& slots, uint32_t number, uint32_t row) -> ByteSpan {
      if (!slots.in_bounds(row)) {
        Fail(ErrorCode::kDamaged, "data page " + std::to_string(number) + " row " +
                                      std::to_string(row) + ": offsets " +
                                      std::to_string(slots.start(row)) + ".." +
                                      std::to_string(slots.end(row)) + " lie outside the row area");
      }
      return slots.bytes(row);
    };
    RowRef ref;
    const std::vector<uint32_t>& pages = owned.value().pages;
    for (size_t i = 0; i < pages.size(); ++i) {
      const uint32_t number = pages[i];
      // The next page's rows are on their way to the cache while this
      // page's are visited.
      if (i + 1 < pages.size()) pager_->Prefetch(pages[i + 1]);
      const SlotTable slots = check_page(pager_->PageOrThrow(number), number);
      for (uint32_t row = 0; row < slots.count(); ++row) {
        if (slots.deleted(row)) continue;  // deleted, or the target of a moved row
        ref.location = {number, static_cast<uint8_t>(row)};
        ByteSpan bytes = slot_bytes(slots, number, row);
        if (slots.lookup(row)) {
          if (bytes.size() < 4) {
            Fail(ErrorCode::kDamaged, "data page " + std::to_string(number) + " row " +
                                          std::to_string(row) +
                                          ": overflow pointer shorter than 4 bytes");
          }
          RowPointer target = RowPointer::FromLe(Le32(bytes.data()));
          const SlotTable tslots = check_page(pager_->PageOrThrow(target.page), target.page);
          if (target.row >= tslots.count()) {
            Fail(ErrorCode::kDamaged, "data page " + std::to_string(number) + " row " +
                                          std::to_string(row) + ": overflow pointer to page " +
                                          std::to_string(target.page) + " row " +
                                          std::to_string(target.row) + ", which does not exist");
          }
          bytes = slot_bytes(tslots, target.page, target.row);
          if (tslots.lookup(target.row)) {
            Fail(ErrorCode::kDamaged, "data page " + std::to_string(number) + " row " +
                                          std::to_string(row) +
                                          ": overflow pointer leads to another overflow pointer");
          }
          ref.data = target;
        } else {
          ref.data = ref.location;
        }
        ref.bytes = bytes;
        if (!visit(ref)) return;
      }
    }
  });
}

Result<DatabaseSummary> Summarize(const Database& db) {
  DatabaseSummary s;
  s.version = db.version();
  s.format = db.header().format;
  s.page_size = db.page_size();
  s.page_count = db.page_count();
  const Pager& pager = db.pager();
  s.trailing_bytes = pager.trailing_bytes();
  const DatabaseHeader& h = db.header();
  s.creation_date = h.creation_date;
  s.code_page = h.code_page;
  s.sort_order = h.sort_order;
  s.encoded = h.database_key != 0;
  s.has_password = !h.password.empty();
  auto global = db.GlobalUsageMap();
  if (!global.ok()) return Damaged("global usage map: " + global.error().description());
  std::vector<bool> free(s.page_count, false);
  for (uint32_t p : global.value().pages) free[p] = true;
  s.free_pages = static_cast<uint32_t>(global.value().pages.size());
  Status census = GuardStatus([&] {
    for (uint32_t n = 0; n < s.page_count; ++n) {
      ByteSpan page = pager.PageOrThrow(n);
      ++s.page_types[page[0]];
      if (page[0] == static_cast<uint8_t>(PageType::kData) && !free[n]) {
        s.data_free_bytes += SlotTable(page, db.layout()).free_space();
      }
    }
  });
  if (!census.ok()) return census.error();
  for (const CatalogObject* t : db.tables()) {
    TableSummary ts;
    ts.name = t->name;
    ts.system = t->is_system();
    ts.first_page = t->table_page();
    auto fail = [&](const Error& e) {
      ts.error = Error(e.number(), "table " + t->name + ": " + e.description());
    };
    auto def = db.ReadTableDef(ts.first_page);
    if (!def.ok()) {
      fail(def.error());
    } else {
      ts.stored_row_count = def.value().num_rows;
      auto owned = db.ReadUsageMap(def.value().owned_map);
      if (owned.ok()) ts.data_pages = static_cast<uint32_t>(owned.value().pages.size());
      Status st = db.ScanRows(def.value(), [&](const RowRef&) {
        ++ts.rows;
        return true;
      });
      if (!st.ok()) fail(st.error());
    }
    s.tables.push_back(std::move(ts));
  }
  for (const CatalogObject* t : db.linked_tables()) {
    s.linked_tables.push_back({t->name, DescribeLinkTarget(*t)});
  }
  return s;
}

Result<DatabaseSummary> Summarize(const std::string& path, const OpenOptions& options) {
  auto db = Database::Open(path, options);
  if (!db.ok()) return db.error();
  return Summarize(*db.value());
}

}  // namespace engine
