#include "repair/error_table.h"

#include <iconv.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <set>

#include "base/bytes.h"
#include "engine/values.h"
#include "format/data_page.h"
#include "format/long_value.h"
#include "format/row.h"
#include "format/text.h"
#include "format/usage_map.h"
#include "keys/index_key.h"
#include "keys/rows/row_keys.h"
#include "reader/database.h"
#include "writer/data_page_builder.h"
#include "writer/index_key_maker.h"

namespace engine {
namespace {

constexpr uint32_t kTablesContainer = 0x0F000001u;
constexpr uint32_t kSystemFlags = 0x80000002u;  // Jet-internal or made by Access
// Long values up to this many bytes stay inside the row in the mended file;
// the compactor lays them out anew either way.
constexpr size_t kInlineLimit = 64;

// What the error table lists: what was lost, and the columns whose sort
// order the copy changed.
bool IsDataLoss(LossKind kind) {
  return kind != LossKind::kHeader && kind != LossKind::kTableName &&
         kind != LossKind::kCatalogDefinition;
}

std::string Lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

// Text as the file stores it: Jet 4 plain UCS-2, Jet 3 the code page (a
// character the code page lacks becomes '?').
class TextEncoder {
 public:
  TextEncoder(JetVersion version, uint16_t code_page) : version_(version) {
    if (version == JetVersion::kJet3 && code_page != 0) {
      cd_ = iconv_open(("CP" + std::to_string(code_page)).c_str(), "UTF-8");
    }
  }
  ~TextEncoder() {
    if (cd_ != reinterpret_cast<iconv_t>(-1)) iconv_close(cd_);
  }
  TextEncoder(const TextEncoder&) = delete;
  TextEncoder& operator=(const TextEncoder&) = delete;

  std::vector<uint8_t> Encode(const std::string& utf8) const {
    std::vector<uint8_t> out;
    for (uint32_t cp : Utf8CodePoints(utf8)) {
      if (version_ == JetVersion::kJet4) {
        if (cp >= 0x10000) {
          cp -= 0x10000;
          PutUnit(out, 0xD800 + (cp >> 10));
          PutUnit(out, 0xDC00 + (cp & 0x3FF));
        } else {
          PutUnit(out, cp);
        }
      } else if (cp < 0x80) {
        out.push_back(static_cast<uint8_t>(cp));
      } else {
        out.push_back(InCodePage(cp).value_or('?'));
      }
    }
    return out;
  }

 private:
  static void PutUnit(std::vector<uint8_t>& out, uint32_t unit) {
    out.push_back(static_cast<uint8_t>(unit));
    out.push_back(static_cast<uint8_t>(unit >> 8));
  }
  std::optional<uint8_t> InCodePage(uint32_t cp) const {
    if (cd_ == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
    std::string in;
    AppendUtf8(cp, in);
    char out[8];
    char* inp = in.data();
    char* outp = out;
    size_t inleft = in.size(), outleft = sizeof out;
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd_, &inp, &inleft, &outp, &outleft) == static_cast<size_t>(-1)) return std::nullopt;
    if (sizeof out - outleft != 1) return std::nullopt;  // multi-byte code pages: not here
    return static_cast<uint8_t>(out[0]);
  }

  JetVersion version_;
  iconv_t cd_ = reinterpret_cast<iconv_t>(-1);
};

std::vector<uint8_t> Le32Bytes(uint32_t v) {
  std::vector<uint8_t> b(4);
  Put32(b.data(), v);
  return b;
}

// A row of `def` holding `values` (by column name); columns not named are
// NULL. Long-value columns take the 12-byte header (and inline data). With
// `skip_missing`, values for columns the table lacks are left out.
Result<std::vector<uint8_t>> RowOf(
    const TableDef& def, const Layout& L,
    const std::vector<std::pair<std::string, std::vector<uint8_t>>>& values,
    bool skip_missing = false) {
  RowParts parts;
  parts.column_count = def.max_cols;
  parts.var_part = def.num_var_cols > 0;
  parts.vars.resize(def.num_var_cols);
  parts.null_mask.assign((def.max_cols + 7) / 8, 0);
  size_t fixed_end = 0;
  for (const ColumnDef& c : def.columns) {
    if (!c.fixed() || c.is_boolean()) continue;
    size_t size = FixedTypeSize(c.type);
    if (size == 0) size = c.length;
    fixed_end = std::max<size_t>(fixed_end, c.fixed_offset + size);
  }
  parts.fixed.assign(fixed_end, 0);
  for (const auto& [name, value] : values) {
    const ColumnDef* c = def.FindColumn(name);
    if (c == nullptr && skip_missing) continue;
    if (c == nullptr || c->number >= def.max_cols) {
      return Damaged("table definition at page " + std::to_string(def.first_page) +
                     " has no usable column " + name);
    }
    if (c->fixed()) {
      if (c->fixed_offset + value.size() > parts.fixed.size()) {
        return Damaged("column " + name + " does not fit its table's fixed area");
      }
      std::memcpy(parts.fixed.data() + c->fixed_offset, value.data(), value.size());
    } else if (c->var_index < parts.vars.size()) {
      parts.vars[c->var_index] = value;
    } else {
      return Damaged("column " + name + " has no variable slot in its table");
    }
    parts.null_mask[c->number / 8] |= static_cast<uint8_t>(1u << (c->number % 8));
  }
  return EncodeRow(L, parts);
}

// Adds rows to a table of the mended file: fresh pages of its own, listed
// in a new page map together with the pages it had, and its row count
// raised.
Status AppendRows(MendedImage& file, const Layout& L, uint32_t table,
                  const std::vector<std::vector<uint8_t>>& rows) {
  if (rows.empty()) return Status::Ok();
  std::vector<uint8_t> first = file.Plain(table);
  auto listed = ReadUsageMap(file, L, RowPointer::FromLe(Le32(first.data() + L.tdef_owned_map)));
  if (!listed.ok()) {
    return Damaged("table at page " + std::to_string(table) + ": " + listed.error().description());
  }
  DataPageBuilder packer(file.sink(), table);
  for (const auto& row : rows) {
    auto at = packer.Add(row);
    if (!at.ok()) return at.error();
  }
  if (Status st = packer.Finish(); !st.ok()) return st;
  std::vector<uint32_t> pages = listed.value().pages;
  for (const WrittenDataPage& p : packer.pages()) pages.push_back(p.number);
  std::sort(pages.begin(), pages.end());
  pages.erase(std::unique(pages.begin(), pages.end()), pages.end());
  auto map = AddUsageMap(file.sink(), pages);
  if (!map.ok()) return map.error();
  Put32(first.data() + L.tdef_owned_map, map.value().ToLe());
  Put32(first.data() + L.tdef_num_rows,
        Le32(first.data() + L.tdef_num_rows) + static_cast<uint32_t>(rows.size()));
  file.Store(table, std::move(first));
  return Status::Ok();
}

// Long values of one column written to LVAL pages of their own: each value
// becomes the field the row holds (12-byte header, inline data when short).
class LongValues {
 public:
  LongValues(MendedImage& file, const Layout& L) : packer_(file.sink(), kLvalOwner), L_(L) {}

  Result<std::vector<uint8_t>> Add(const std::vector<uint8_t>& value) {
    const uint32_t length = static_cast<uint32_t>(value.size());
    if (value.size() > kMaxLongValueLength) return Damaged("a value too long to store");
    if (value.size() <= kInlineLimit) {
      auto field = EncodeLongValueHeader(LongValueKind::kInline, length, {});
      field.insert(field.end(), value.begin(), value.end());
      return field;
    }
    const size_t piece = MaxDataRowSize(L_) - kChainPointerSize;
    if (value.size() <= piece) {
      auto at = packer_.Add(value);
      if (!at.ok()) return at.error();
      return EncodeLongValueHeader(LongValueKind::kSingle, length, at.value());
    }
    // A chain, written last piece first so each piece knows the next.
    RowPointer next{0, 0};
    const size_t pieces = (value.size() + piece - 1) / piece;
    std::vector<uint8_t> row;
    for (size_t i = pieces; i-- > 0;) {
      const size_t from = i * piece;
      const size_t n = std::min(piece, value.size() - from);
      row = EncodeChainPiece(next, ByteSpan(value.data() + from, n));
      auto at = packer_.Add(row);
      if (!at.ok()) return at.error();
      next = at.value();
    }
    return EncodeLongValueHeader(LongValueKind::kChain, length, next);
  }
  Status Finish() { return packer_.Finish(); }
  std::vector<uint32_t> pages() const { return packer_.page_numbers(); }

 private:
  DataPageBuilder packer_;
  const Layout& L_;
};

// The definition of a new error table: ErrorCode (fixed), then the three
// variable columns, numbered in that order; no index.
TableDef NewErrorTableDef(const Layout& L, uint32_t page) {
  TableDef d;
  d.first_page = page;
  d.pages = {page};
  d.max_cols = 4;
  d.num_cols = 4;
  d.num_var_cols = 3;
  struct Spec {
    const char* name;
    ColumnType type;
    uint16_t length;
  };
  const uint16_t text = L.version == JetVersion::kJet4 ? 510 : 255;
  const Spec specs[] = {{"ErrorCode", ColumnType::kLong, 4},
                        {"ErrorDescription", ColumnType::kMemo, 0},
                        {"ErrorRecid", ColumnType::kOle, 0},
                        {"ErrorTable", ColumnType::kText, text}};
  for (uint16_t i = 0; i < 4; ++i) {
    ColumnDef c;
    c.name = specs[i].name;
    c.type = static_cast<uint8_t>(specs[i].type);
    c.number = i;
    c.var_index = i == 0 ? 0 : static_cast<uint16_t>(i - 1);
    c.fixed_offset = 0;
    c.length = specs[i].length;
    c.flags = i == 0 ? 0x03 : 0x02;
    d.columns.push_back(std::move(c));
  }
  return d;
}

// The bytes of that definition on one page. Sort order, code page and the
// unknown fields of each column come from the catalog's Name column, so the
// new table sorts as the file's own tables do.
Result<std::vector<uint8_t>> ErrorTableDefPage(const TableDef& d, const Layout& L,
                                               const ColumnDef& model, const TextEncoder& text,
                                               RowPointer owned, RowPointer free_space,
                                               const std::vector<RowPointer>& lv_maps,
                                               uint32_t rows) {
  const bool jet4 = L.version == JetVersion::kJet4;
  if (model.raw.size() != L.column_def_size) {
    return Damaged("the catalog's Name column definition has an unexpected size");
  }
  TableDef t;
  t.num_rows = rows;
  t.table_type = 'N';
  t.max_cols = d.max_cols;
  t.num_var_cols = d.num_var_cols;
  t.owned_map = owned;
  t.free_map = free_space;
  size_t lv = 0;
  for (const ColumnDef& c : d.columns) {
    // The model's bytes and collating fields; this column's own values.
    ColumnDef col = model;
    col.type = c.type;
    col.number = c.number;
    col.var_index = c.var_index;
    col.second_number = c.number;
    col.flags = c.flags;
    if (jet4) {
      // Unicode compression allowed on the text columns, as a new table has it.
      col.extended_flags = (c.type == static_cast<uint8_t>(ColumnType::kText) ||
                            c.type == static_cast<uint8_t>(ColumnType::kMemo))
                               ? kColumnCompressedUnicode
                               : 0x00;
    }
    col.fixed_offset = c.fixed_offset;
    col.length = c.length;
    col.name = c.name;
    col.raw_name = text.Encode(c.name);
    t.columns.push_back(std::move(col));
    if (!c.is_long_value()) continue;
    if (lv >= lv_maps.size()) return Damaged("a long-value column without its page map");
    LongValueMap m;
    m.column_number = c.number;
    m.owned_map = lv_maps[lv++];
    t.long_value_maps.push_back(m);
  }
  auto b = EncodeTableDef(t, L);
  if (!b.ok()) return b.error();
  if (b.value().size() > L.page_size) {
    return Damaged("the error table's definition does not fit a page");
  }
  return std::move(SplitTableDef(b.value(), {d.first_page}, L).front());
}

// Whether an existing table is one a former repair made: exactly the four
// columns with their types, room for a table name, and no index.
bool IsErrorTableShape(const TableDef& d, const Layout& L) {
  if (d.columns.size() != 4 || !d.physical_indexes.empty() || !d.logical_indexes.empty()) {
    return false;
  }
  auto is = [&](const char* name, ColumnType type) {
    const ColumnDef* c = d.FindColumn(name);
    return c != nullptr && c->type == static_cast<uint8_t>(type);
  };
  const ColumnDef* table = d.FindColumn("ErrorTable");
  const uint16_t text = L.version == JetVersion::kJet4 ? 510 : 255;
  return is("ErrorCode", ColumnType::kLong) && is("ErrorDescription", ColumnType::kMemo) &&
         is("ErrorRecid", ColumnType::kOle) && is("ErrorTable", ColumnType::kText) &&
         table->length >= text;
}

// Why the catalog's indexes could not hold a key for a row of `values`, or
// nothing when they can: the compactor encodes every key of a row it did
// not read from the source, so a text the encoder has no codes for would
// stop the whole repair.
std::optional<std::string> CatalogKeyProblem(
    const TableDef& catalog, const Layout& L,
    const std::vector<std::pair<std::string, std::vector<uint8_t>>>& values,
    const ExtraTextCodes* extra) {
  for (const PhysicalIndex& pi : catalog.physical_indexes) {
    auto columns = IndexKeyColumns(L.version, catalog, pi);
    if (!columns.ok()) return columns.error().description();
    std::vector<KeyValue> key;
    for (const IndexColumn& ic : pi.columns) {
      const ColumnDef* c = catalog.ColumnByNumber(ic.column_number);
      KeyValue v = KeyValue::Null();
      for (const auto& [name, bytes] : values) {
        if (c != nullptr && c->name == name) v = KeyValue::Bytes(bytes);
      }
      key.push_back(v);
    }
    if (key.size() != columns.value().size()) return "an index of the catalog does not decode";
    // Segment by segment, as the compactor's key maker encodes them, with
    // the codes learned from the file where the built-in ones fall short.
    for (size_t k = 0; k < key.size(); ++k) {
      EncodedKey encoded = EncodeKeySegment(columns.value()[k], key[k], extra);
      if (encoded.status == KeyStatus::kNotCovered) {
        // The compaction keys such a text column under General instead.
        KeyColumn general = columns.value()[k];
        general.sort_order = kGeneralSortOrder;
        general.sort_order_version = 0;
        if (KeysAsGeneral(general)) encoded = EncodeKeySegment(general, key[k]);
      }
      if (!encoded.ok()) {
        return "the catalog index " + IndexDisplayName(catalog, pi.position) +
               " has no key for its row: " + encoded.reason;
      }
    }
  }
  return std::nullopt;
}

std::string Where(const std::optional<RowPointer>& p, bool row) {
  if (!p) return "";
  std::string s = " at page " + std::to_string(p->page);
  if (row) s += " row " + std::to_string(p->row);
  return s;
}

}  // namespace

int32_t ErrorTableCode(LossKind kind) {
  if (kind == LossKind::kDuplicateRow) return 3022;
  if (kind == LossKind::kNullKey) return 3058;  // the engine's "key cannot be NULL"
  return static_cast<int32_t>(ErrorCode::kDamaged);
}

std::string ErrorTableDescription(const LossRecord& r) {
  const std::string table = r.table_name.empty() ? "" : " of table " + r.table_name;
  std::string what;
  switch (r.kind) {
    case LossKind::kPage:
      what = "Page" + Where(r.position, false) + table + " could not be read";
      break;
    case LossKind::kTable:
      what = "Table " + r.table_name + " (definition" + Where(r.position, false) + ") is lost";
      break;
    case LossKind::kCatalogRow:
      what = "Catalog row" + Where(r.position, true) + " is lost";
      break;
    case LossKind::kRow:
      what = "Row" + table + Where(r.position, true) + " is lost";
      break;
    case LossKind::kValue:
      what = "Value of column " + r.column + " in the row" + table + Where(r.position, true) +
             " is lost; the row is kept with the value empty";
      break;
    case LossKind::kDuplicateRow:
      what = "Row" + table + Where(r.position, true) + " repeats a key of index " + r.column +
             " and is left out";
      if (!r.long_values.empty()) {
        what += " (its " + std::to_string(r.long_values.size()) +
                " long values are in the repair report)";
      }
      break;
    case LossKind::kNullKey:
      what = "Row" + table + Where(r.position, true) + " has no value in a key column of index " +
             r.column + " and is left out";
      break;
    case LossKind::kRelationship:
      what = "Relationship " + r.column + table + " is kept as an ordinary index";
      break;
    case LossKind::kMissingRows:
      what = "About " + std::to_string(r.missing) + " rows" + table +
             " that its stored row count holds were found nowhere";
      break;
    case LossKind::kAlteredValue:
      what = "Row" + table + Where(r.position, true) +
             " holds values its index entries contradict; it is kept as stored";
      break;
    case LossKind::kHeader:
    case LossKind::kTableName:
    case LossKind::kCatalogDefinition:
      what = "Note" + table;
      break;
    case LossKind::kSortOrder:
      what = "Column " + r.column + table + " is sorted and indexed under General";
      break;
    case LossKind::kDefinition:
      what = "The definition" + table + " is set right";
      break;
  }
  if (!r.reason.empty()) what += ": " + r.reason;
  return what;
}

namespace {

// What the catalog says that a new table needs: the names taken under the
// Tables container, the ordinary tables (in catalog order) and their owners,
// and the latest change date.
struct CatalogFacts {
  std::set<std::string> taken;  // lower case
  std::vector<uint32_t> user_tables;
  std::map<uint32_t, std::vector<uint8_t>> owners;
  std::optional<double> latest;
};

Result<CatalogFacts> ReadCatalog(Salvager& sv, const SalvagedTable& catalog) {
  const TableDef& cdef = catalog.def;
  CatalogFacts facts;
  std::set<uint32_t> present;
  for (const SalvagedTable& t : sv.tables()) {
    present.insert(t.page);
    facts.taken.insert(Lower(t.name));
  }
  auto column = [&](const char* name) -> std::optional<size_t> {
    for (size_t k = 0; k < cdef.columns.size(); ++k) {
      if (cdef.columns[k].name == name) return k;
    }
    return std::nullopt;
  };
  const auto c_id = column("Id"), c_parent = column("ParentId"), c_name = column("Name"),
             c_type = column("Type"), c_flags = column("Flags"), c_owner = column("Owner"),
             c_date = column("DateUpdate");
  auto le32_of = [](const RowValues& row, std::optional<size_t> k) -> std::optional<uint32_t> {
    if (!k || !row.fields[*k].present || row.fields[*k].bytes.size() != 4) return std::nullopt;
    return Le32(row.fields[*k].bytes.data());
  };
  Status st = sv.ScanRows(catalog, [&](const RowValues& row) {
    const auto id = le32_of(row, c_id), parent = le32_of(row, c_parent),
               flags = le32_of(row, c_flags);
    if (!id) return true;
    int16_t type = 0;
    if (c_type && row.fields[*c_type].present && row.fields[*c_type].bytes.size() == 2) {
      type = static_cast<int16_t>(Le16(row.fields[*c_type].bytes.data()));
    }
    // Tables are in sv.tables() already; a table whose definition is lost
    // leaves the catalog, and its name with it.
    if (parent == kTablesContainer && type != kObjectTable && c_name &&
        row.fields[*c_name].present) {
      std::string name;
      sv.text().DecodeValue(row.fields[*c_name].bytes, name);
      facts.taken.insert(Lower(name));
    }
    if (type == kObjectTable && present.count(*id) && !(flags.value_or(0) & kSystemFlags)) {
      facts.user_tables.push_back(*id);
    }
    if (c_owner && row.fields[*c_owner].present) {
      const ByteSpan owner = row.fields[*c_owner].bytes;
      facts.owners[*id].assign(owner.begin(), owner.end());
    }
    if (c_date && row.fields[*c_date].present && row.fields[*c_date].bytes.size() == 8) {
      double d;
      std::memcpy(&d, row.fields[*c_date].bytes.data(), 8);
      if (d == d && (!facts.latest || d > *facts.latest)) facts.latest = d;
    }
    return true;
  });
  if (!st.ok()) return st.error();
  return facts;
}

// The rows listing `listed` in a table of definition `def`: long values go
// to the two LongValues first, one column at a time.
Result<std::vector<std::vector<uint8_t>>> LossRows(const TableDef& def, const Layout& L,
                                                   const TextEncoder& text,
                                                   const std::vector<const LossRecord*>& listed,
                                                   const LossBytesLoader& load,
                                                   LongValues& description_pages,
                                                   LongValues& recid_pages) {
  // A record whose bytes were moved out of memory, whole again for a moment.
  LossRecord loaded;
  auto whole = [&](const LossRecord* r) -> Result<const LossRecord*> {
    if (!r->spilled) return r;
    loaded = *r;
    if (Status s = load(*r, loaded.raw, loaded.long_values); !s.ok()) return s.error();
    return &loaded;
  };
  std::vector<std::vector<uint8_t>> descriptions, recids;
  for (const LossRecord* listed_record : listed) {
    auto r = whole(listed_record);
    if (!r.ok()) return r.error();
    auto field = description_pages.Add(text.Encode(ErrorTableDescription(*r.value())));
    if (!field.ok()) return field.error();
    descriptions.push_back(std::move(field.value()));
  }
  if (Status s = description_pages.Finish(); !s.ok()) return s.error();
  for (const LossRecord* listed_record : listed) {
    recids.emplace_back();
    auto r = whole(listed_record);
    if (!r.ok()) return r.error();
    if (r.value()->raw.empty()) continue;
    auto field = recid_pages.Add(r.value()->raw);
    if (!field.ok()) return field.error();
    recids.back() = std::move(field.value());
  }
  if (Status s = recid_pages.Finish(); !s.ok()) return s.error();
  const ColumnDef* table_column = def.FindColumn("ErrorTable");
  if (table_column == nullptr) return Damaged("the error table has no ErrorTable column");
  std::vector<std::vector<uint8_t>> rows;
  for (size_t i = 0; i < listed.size(); ++i) {
    const LossRecord& r = *listed[i];
    std::vector<std::pair<std::string, std::vector<uint8_t>>> values = {
        {"ErrorCode", Le32Bytes(static_cast<uint32_t>(ErrorTableCode(r.kind)))},
        {"ErrorDescription", descriptions[i]}};
    if (!recids[i].empty()) values.emplace_back("ErrorRecid", recids[i]);
    if (!r.table_name.empty()) {
      // Names are at most 64 characters; one read from a damaged catalog is
      // cut to the column rather than make the row one no reader takes.
      std::vector<uint8_t> table = text.Encode(r.table_name);
      if (table.size() > table_column->length) {
        table.resize(table_column->length & (L.version == JetVersion::kJet4 ? ~1u : ~0u));
      }
      values.emplace_back("ErrorTable", std::move(table));
    }
    auto row = RowOf(def, L, values);
    if (!row.ok()) return row.error();
    rows.push_back(std::move(row.value()));
  }
  return rows;
}

// The permission rows of the first ordinary table that has any (else the
// Tables container's), made the new table's. `sibling` receives whose.
Result<std::vector<std::vector<uint8_t>>> PermissionRows(Salvager& sv, const SalvagedTable& aces,
                                                         const std::vector<uint32_t>& user_tables,
                                                         uint32_t page, uint32_t& sibling) {
  sibling = kTablesContainer;
  std::optional<size_t> k;
  for (size_t i = 0; i < aces.def.columns.size(); ++i) {
    if (aces.def.columns[i].name == "ObjectId" && aces.def.columns[i].fixed()) k = i;
  }
  if (!k) return std::vector<std::vector<uint8_t>>{};
  std::map<uint32_t, std::vector<std::vector<uint8_t>>> by_object;
  Status st = sv.ScanRows(aces, [&](const RowValues& row) {
    const FieldRef& f = row.fields[*k];
    if (!f.present || f.bytes.size() != 4) return true;
    // The value lies inside the stored row; its offset there is rewritten.
    const auto base = reinterpret_cast<std::uintptr_t>(row.stored.data());
    const auto at = reinterpret_cast<std::uintptr_t>(f.bytes.data());
    if (at < base || at - base + 4 > row.stored.size()) return true;
    std::vector<uint8_t> copy(row.stored.begin(), row.stored.end());
    Put32(copy.data() + (at - base), page);
    by_object[Le32(f.bytes.data())].push_back(std::move(copy));
    return true;
  });
  if (!st.ok()) return st.error();
  auto pick = std::find_if(user_tables.begin(), user_tables.end(),
                           [&](uint32_t id) { return by_object.count(id) != 0; });
  if (pick != user_tables.end()) sibling = *pick;
  return std::move(by_object[sibling]);
}

}  // namespace

Result<ErrorTableOutcome> AddErrorTable(Salvager& sv, MendedImage& file,
                                        const std::vector<LossRecord>& losses,
                                        const LossBytesLoader& load, const ExtraTextCodes* extra) {
  const Layout& L = sv.layout();
  const SalvagedTable* catalog = nullptr;
  const SalvagedTable* aces = nullptr;
  for (const SalvagedTable& t : sv.tables()) {
    if (t.page == 2) catalog = &t;
    if (t.catalog && Lower(t.name) == "msysaces") aces = &t;
  }
  if (catalog == nullptr) return Damaged("the catalog's own definition is lost");
  const TableDef& cdef = catalog->def;
  const ColumnDef* model = cdef.FindColumn("Name");
  if (model == nullptr) return Damaged("the catalog has no Name column");
  TextEncoder text(L.version, sv.text().code_page());
  auto facts = ReadCatalog(sv, *catalog);
  if (!facts.ok()) return facts.error();

  // The table to write to: a former repair's, or a new one under a free name.
  const SalvagedTable* existing = nullptr;
  std::string name = kErrorTableName;
  for (const SalvagedTable& t : sv.tables()) {
    if (Lower(t.name) == Lower(name) && t.catalog && IsErrorTableShape(t.def, L)) existing = &t;
  }
  if (existing == nullptr) {
    for (int n = 1; facts->taken.count(Lower(name)); ++n) {
      name = kErrorTableName + std::to_string(n);
    }
  } else {
    name = existing->name;
  }

  // The catalog row of a new table, its Id filled in once its page is
  // known. Its dates are the catalog's latest, so a repair of the same file
  // gives the same bytes.
  std::vector<uint8_t> date(8);
  double days = facts->latest.value_or(sv.file_date());
  std::memcpy(date.data(), &days, 8);
  std::vector<std::pair<std::string, std::vector<uint8_t>>> catalog_values = {
      {"Id", Le32Bytes(0)},
      {"ParentId", Le32Bytes(kTablesContainer)},
      {"Name", text.Encode(name)},
      {"Type", {static_cast<uint8_t>(kObjectTable), 0}},
      {"DateCreate", date},
      {"DateUpdate", date},
      {"Flags", Le32Bytes(static_cast<uint32_t>(kFlagAccessSystem))}};
  if (existing == nullptr) {
    for (const char* required : {"Id", "ParentId", "Name", "Type"}) {
      if (cdef.FindColumn(required) == nullptr) {
        return Damaged(std::string("the catalog has no ") + required + " column");
      }
    }
    if (auto problem = CatalogKeyProblem(cdef, L, catalog_values, extra)) {
      return ErrorTableOutcome{"", "table " + name + " not added: " + *problem};
    }
  }

  uint32_t page = existing ? existing->page : 0;
  if (existing == nullptr) {
    std::vector<uint8_t> placeholder(L.page_size, 0);
    placeholder[0] = static_cast<uint8_t>(PageType::kTableDef);
    placeholder[1] = 0x01;
    page = file.sink().AllocatePage();
    if (Status s = file.sink().WritePage(page, placeholder); !s.ok()) return s.error();
  }
  const TableDef def = existing ? existing->def : NewErrorTableDef(L, page);

  std::vector<const LossRecord*> listed;
  for (const LossRecord& r : losses) {
    if (IsDataLoss(r.kind)) listed.push_back(&r);
  }
  LongValues description_pages(file, L), recid_pages(file, L);
  auto rows = LossRows(def, L, text, listed, load, description_pages, recid_pages);
  if (!rows.ok()) return rows.error();
  if (existing != nullptr) {
    if (Status s = AppendRows(file, L, page, rows.value()); !s.ok()) return s.error();
    return ErrorTableOutcome{name, ""};
  }

  // A new table: its rows, page maps and definition.
  DataPageBuilder data(file.sink(), page);
  for (const auto& row : rows.value()) {
    auto at = data.Add(row);
    if (!at.ok()) return at.error();
  }
  if (Status s = data.Finish(); !s.ok()) return s.error();
  auto owned = AddUsageMap(file.sink(), data.page_numbers());
  if (!owned.ok()) return owned.error();
  auto free_space = AddUsageMap(file.sink(), {});
  if (!free_space.ok()) return free_space.error();
  std::vector<RowPointer> lv_maps;
  for (const auto* lv : {&description_pages, &recid_pages}) {
    auto map = AddUsageMap(file.sink(), lv->pages());
    if (!map.ok()) return map.error();
    lv_maps.push_back(map.value());
  }
  auto tdef = ErrorTableDefPage(def, L, *model, text, owned.value(), free_space.value(), lv_maps,
                                static_cast<uint32_t>(rows.value().size()));
  if (!tdef.ok()) return tdef.error();
  file.Store(page, std::move(tdef.value()));

  // Its catalog row, and the permissions an ordinary table has.
  uint32_t sibling = kTablesContainer;
  std::vector<std::vector<uint8_t>> ace_rows;
  if (aces != nullptr) {
    auto permissions = PermissionRows(sv, *aces, facts->user_tables, page, sibling);
    if (!permissions.ok()) return permissions.error();
    ace_rows = std::move(permissions.value());
  }
  catalog_values[0].second = Le32Bytes(page);
  if (facts->owners.count(sibling)) catalog_values.emplace_back("Owner", facts->owners[sibling]);
  auto catalog_row = RowOf(cdef, L, catalog_values, true);
  if (!catalog_row.ok()) return catalog_row.error();
  if (Status s = AppendRows(file, L, 2, {catalog_row.value()}); !s.ok()) return s.error();
  if (Status s = AppendRows(file, L, aces ? aces->page : 0, ace_rows); !s.ok()) return s.error();
  return ErrorTableOutcome{name, ""};
}

}  // namespace engine
