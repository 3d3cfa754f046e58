#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <map>
#include <unordered_set>

#include "io/cipher.h"
#include "base/bytes.h"
#include "salvage/salvage.h"
#include "format/usage_map.h"
#include "io/mapped_image.h"
#include "salvage/salvage_internal.h"

namespace engine {

std::string_view LossKindName(LossKind kind) {
  switch (kind) {
    case LossKind::kHeader:
      return "header";
    case LossKind::kPage:
      return "page";
    case LossKind::kTable:
      return "table";
    case LossKind::kCatalogRow:
      return "catalog-row";
    case LossKind::kRow:
      return "row";
    case LossKind::kValue:
      return "value";
    case LossKind::kDuplicateRow:
      return "duplicate-row";
    case LossKind::kTableName:
      return "table-name";
    case LossKind::kRelationship:
      return "relationship";
    case LossKind::kMissingRows:
      return "missing-rows";
    case LossKind::kCatalogDefinition:
      return "catalog-definition";
  }
  return "unknown";
}

void Salvager::State::Lose(LossRecord record) {
  if (!reporting) return;
  if (record.table != 0 && record.kind != LossKind::kTableName &&
      record.kind != LossKind::kHeader && record.kind != LossKind::kCatalogDefinition) {
    touched.insert(record.table);
  }
  switch (record.kind) {
    case LossKind::kRow:
    case LossKind::kCatalogRow:
    case LossKind::kDuplicateRow:
      ++counts.rows_lost;
      ++rows_reported[record.table];
      break;
    case LossKind::kMissingRows:
      counts.rows_lost += record.missing;
      counts.rows_lost_estimated += record.missing;
      break;
    case LossKind::kValue:
      ++counts.values_lost;
      break;
    case LossKind::kPage:
      ++counts.pages_lost;
      break;
    case LossKind::kTable:
      ++counts.tables_lost;
      break;
    case LossKind::kTableName:
      ++counts.tables_renamed;
      break;
    case LossKind::kHeader:
    case LossKind::kRelationship:
    case LossKind::kCatalogDefinition:
      break;
  }
  if (sink) sink(record);
}

namespace {

constexpr uint32_t kJet4TdefConstant = 1625;

// Does `page` (plain bytes) look like the first page of a table definition
// of this version?
bool LooksLikeTdef(const uint8_t* page, JetVersion version) {
  if (page[0] != static_cast<uint8_t>(PageType::kTableDef) || page[1] != 0x01) return false;
  if (version == JetVersion::kJet3) return page[2] == 'V' && page[3] == 'C';
  return Le32(page + 0x0C) == kJet4TdefConstant;
}

// The version the pages themselves show, if they show one. Page 2 is always
// the catalog's definition; failing that, the share of pages that start
// with a known page type and 0x01 at each page size decides (a Jet 4 file
// read in 2 KiB steps shows table bytes at every odd step).
std::optional<JetVersion> VersionFromPages(ByteSpan file) {
  if (file.size() >= 3 * 2048 && LooksLikeTdef(file.data() + 2 * 2048, JetVersion::kJet3)) {
    return JetVersion::kJet3;
  }
  if (file.size() >= 3 * 4096 && LooksLikeTdef(file.data() + 2 * 4096, JetVersion::kJet4)) {
    return JetVersion::kJet4;
  }
  // Pages at 4 KiB steps start pages of either version, so the 2 KiB steps
  // in between decide: Jet 3 pages there, the middle of Jet 4 pages. Too
  // few of them written (blank) tells nothing.
  auto share = [&](size_t first, size_t step, size_t& written) {
    size_t typed = 0;
    written = 0;
    for (size_t at = first; at + 2048 <= file.size(); at += step) {
      const uint8_t* p = file.data() + at;
      bool blank = std::all_of(p, p + 16, [](uint8_t b) { return b == 0; });
      if (blank) continue;
      ++written;
      if (p[0] >= 0x01 && p[0] <= 0x05 && p[1] == 0x01) ++typed;
    }
    return written == 0 ? 0.0 : static_cast<double>(typed) / static_cast<double>(written);
  };
  size_t between = 0, starts = 0;
  const double odd = share(2048, 4096, between), large = share(4096, 4096, starts);
  if (between < 4) return std::nullopt;
  if (odd >= 0.8) return JetVersion::kJet3;
  if (large >= 0.8) return JetVersion::kJet4;
  return std::nullopt;
}

// A page 0 made from the constants every Access file shows, for a file whose
// own page 0 is lost. Unmasked bytes.
std::vector<uint8_t> FreshHeaderPage(JetVersion version, uint16_t code_page,
                                     const std::string& password, const TextCodec& text) {
  const Layout& L = LayoutFor(version);
  std::vector<uint8_t> p(L.page_size, 0);
  p[1] = 0x01;
  std::memcpy(p.data() + 4, "Standard Jet DB", 15);
  p[0x14] = version == JetVersion::kJet4 ? 1 : 0;
  static const uint8_t kConstant[24] = {0, 1, 0, 0, 1, 1, 0, 0, 2, 0, 0, 0,
                                        3, 0, 0, 0, 4, 0, 0, 0, 5, 0, 0, 0};
  std::memcpy(p.data() + 0x18, kConstant, sizeof kConstant);
  auto put16 = [&](size_t at, uint32_t v) {
    p[at] = static_cast<uint8_t>(v);
    p[at + 1] = static_cast<uint8_t>(v >> 8);
  };
  put16(0x3C, code_page);
  put16(L.header_sort_order_offset, 0x0409);
  std::vector<uint8_t> pw;
  if (version == JetVersion::kJet4) {
    // UCS-2 of the password (names are never compressed).
    std::u32string cps;
    for (size_t i = 0; i < password.size();) {
      auto c = static_cast<uint8_t>(password[i]);
      uint32_t cp = c;
      size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
      if (n > 1) cp = c & (0x3F >> (n - 1));
      for (size_t k = 1; k < n && i + k < password.size(); ++k) {
        cp = (cp << 6) | (static_cast<uint8_t>(password[i + k]) & 0x3F);
      }
      i += n;
      if (cp > 0xFFFF) cp = '?';
      pw.push_back(static_cast<uint8_t>(cp));
      pw.push_back(static_cast<uint8_t>(cp >> 8));
    }
    // Creation date: now, in days since 1899-12-30.
    auto now = std::chrono::system_clock::now().time_since_epoch();
    double days = 25569.0 + std::chrono::duration<double>(now).count() / 86400.0;
    std::memcpy(p.data() + 0x72, &days, 8);
    auto mask = static_cast<uint32_t>(std::trunc(days));
    for (size_t i = 0; i < L.header_password_length; ++i) {
      uint8_t b = i < pw.size() ? pw[i] : 0;
      p[0x42 + i] = b ^ static_cast<uint8_t>(mask >> (8 * (i % 4)));
    }
    static const uint8_t kTail[8] = {0x54, 0x06, 0x00, 0x00, '4', '.', '0', 0};
    std::memcpy(p.data() + 0x98, kTail, sizeof kTail);
  } else {
    (void)text;
    for (size_t i = 0; i < password.size() && i < L.header_password_length; ++i) {
      p[0x42 + i] = static_cast<uint8_t>(password[i]);
    }
  }
  // The trailing table of counters: 0x0101 then 0x0100.
  size_t tail = L.page_size - 0x200;
  put16(tail, 0x0101);
  for (size_t i = 1; i < 256; ++i) put16(tail + 2 * i, 0x0100);
  return p;
}

// The source with zeros after its end up to `size` bytes. A large file
// stays mapped from disk rather than copied into memory.
std::unique_ptr<FileSource> PaddedSource(std::unique_ptr<FileSource> source, uint64_t size) {
  ByteSpan file = source->bytes();
  if (!source->path().empty() && file.size() > (uint64_t{64} << 20)) {
    auto image = MappedImage::Create(size, size, "");
    if (image.ok() && image.value()->MapFile(source->path()).ok()) {
      return ImageSource(std::shared_ptr<const MappedImage>(std::move(image.value())),
                         source->path());
    }
  }
  std::vector<uint8_t> padded(file.begin(), file.end());
  padded.resize(size, 0);
  return FileSource::FromBuffer(std::move(padded));
}

std::string Num(uint64_t n) {
  return std::to_string(n);
}

}  // namespace

std::optional<std::string> ValidateTableDef(const TableDef& def, const Layout& layout) {
  if (def.num_cols == 0) return "the definition has no columns";
  if (def.max_cols > 255 || def.num_cols > def.max_cols) {
    return "column counts " + Num(def.num_cols) + " of at most " + Num(def.max_cols) +
           " are impossible";
  }
  if (def.tdef_len > def.raw.size() + 8 || def.parsed_length > def.raw.size()) {
    return "its length field disagrees with its pages";
  }
  std::set<uint16_t> numbers, var_indexes;
  std::vector<std::pair<uint32_t, uint32_t>> fixed;
  for (const ColumnDef& c : def.columns) {
    bool known =
        (c.type >= 0x01 && c.type <= 0x0D) || c.type == 0x0F || c.type == 0x10 || c.type == 0x11;
    if (!known) return "column " + c.name + " has the unknown type " + Num(c.type);
    if (c.number >= def.max_cols || !numbers.insert(c.number).second) {
      return "column " + c.name + " has an impossible number " + Num(c.number);
    }
    if (c.is_boolean()) continue;
    if (c.fixed()) {
      uint32_t size = FixedTypeSize(c.type);
      if (size == 0) size = c.length;
      if (size == 0 || c.fixed_offset + size > layout.page_size) {
        return "fixed column " + c.name + " does not fit a row";
      }
      fixed.emplace_back(c.fixed_offset, c.fixed_offset + size);
    } else {
      if (c.var_index >= def.num_var_cols || !var_indexes.insert(c.var_index).second) {
        return "variable column " + c.name + " has an impossible slot " + Num(c.var_index);
      }
    }
  }
  std::sort(fixed.begin(), fixed.end());
  for (size_t i = 1; i < fixed.size(); ++i) {
    if (fixed[i].first < fixed[i - 1].second) return "fixed columns overlap";
  }
  for (const PhysicalIndex& pi : def.physical_indexes) {
    for (const IndexColumn& ic : pi.columns) {
      if (!numbers.count(ic.column_number)) return "an index names a column that does not exist";
    }
  }
  return std::nullopt;
}

Salvager::Salvager(std::unique_ptr<State> state) : state_(std::move(state)) {}
Salvager::~Salvager() = default;

const DatabaseHeader& Salvager::header() const {
  return state_->header;
}
bool Salvager::header_rebuilt() const {
  return state_->header_rebuilt;
}
const Layout& Salvager::layout() const {
  return *state_->layout;
}
const Pager& Salvager::pager() const {
  return *state_->pager;
}
const TextCodec& Salvager::text() const {
  return *state_->text;
}
bool Salvager::catalog_rebuilt() const {
  return state_->catalog_rebuilt;
}
uint32_t Salvager::truncated_page_bytes() const {
  return state_->truncated_bytes;
}
const std::vector<SalvagedTable>& Salvager::tables() const {
  return state_->tables;
}
const std::vector<CatalogObject>& Salvager::objects() const {
  return state_->objects;
}
const SalvageCounts& Salvager::counts() const {
  return state_->counts;
}

Status Salvager::ScanRows(const SalvagedTable& table, const RowVisitor& visit) {
  State& s = *state_;
  bool first = s.scanned.insert(table.page).second;
  s.reporting = first;
  uint64_t handed = 0;
  bool whole = true;
  Status st = s.Scan(table, [&](const RowValues& row) {
    ++handed;
    whole = visit(row);
    return whole;
  });
  s.reporting = true;
  if (first && st.ok() && whole) s.ReportMissingRows(table, handed);
  return st;
}

void Salvager::State::ReportMissingRows(const SalvagedTable& table, uint64_t handed) {
  // Only a table that shows damage: a stored count that is merely wrong
  // loses nothing.
  if (!cut_evident && !touched.count(table.page) && !lost_pages.count(table.page)) return;
  const uint64_t accounted = handed + rows_reported[table.page];
  if (table.def.num_rows <= accounted) return;
  const uint64_t missing = table.def.num_rows - accounted;
  LossRecord r =
      Loss(LossKind::kMissingRows, table.page, table.name, RowPointer{table.page, 0}, "",
           "the table's definition counts " + Num(table.def.num_rows) + " rows; " + Num(handed) +
               " were recovered and " + Num(rows_reported[table.page]) +
               " reported, so an estimated " + Num(missing) + " rows stood on pages that are lost" +
               (cut_evident ? " or past the cut" : ""),
           {});
  r.missing = missing;
  Lose(std::move(r));
}

Result<std::unique_ptr<Salvager>> Salvager::Open(const std::string& path,
                                                 const SalvageOptions& options, LossSink sink) {
  auto source = FileSource::OpenFile(path);
  if (!source.ok()) return source.error();
  return Open(std::move(source.value()), options, std::move(sink));
}

namespace {

// Reads a catalog row's integer field (sizes were validated with the row).
int64_t IntField(const FieldRef& f) {
  if (!f.present) return 0;
  const uint8_t* p = f.bytes.data();
  switch (f.bytes.size()) {
    case 1:
      return p[0];
    case 2:
      return static_cast<int16_t>(Le16(p));
    case 4:
      return static_cast<int32_t>(Le32(p));
    default:
      return 0;
  }
}

}  // namespace

Result<std::unique_ptr<Salvager>> Salvager::Open(std::unique_ptr<FileSource> source,
                                                 const SalvageOptions& options, LossSink sink) {
  auto state = std::make_unique<State>();
  State& s = *state;
  s.options = options;
  s.sink = std::move(sink);
  ByteSpan file = source->bytes();

  // --- Page 0 ---
  std::optional<JetVersion> seen = VersionFromPages(file);
  auto decoded = DecodeHeader(file);
  bool rebuild = false;
  std::string why;
  if (!decoded.ok()) {
    if (!seen) return decoded.error();
    rebuild = true;
    why = "page 0 is unreadable (" + decoded.error().description() + ")";
  } else if (seen && decoded.value().version != *seen) {
    rebuild = true;
    why = "page 0 names the other format than the pages show";
  }
  JetVersion version = rebuild ? *seen : decoded.value().version;
  const Layout& L = LayoutFor(version);
  s.layout = &L;
  if (file.size() < L.page_size) {
    return Unrecognized("not a database: the file holds less than one page");
  }
  if (!rebuild) {
    s.header = std::move(decoded.value());
    // A key that turns page 2 into garbage while the stored page 2 is a plain
    // table definition was damaged: the pages are not encoded.
    if (s.header.database_key != 0 && file.size() >= 3 * L.page_size) {
      std::vector<uint8_t> page2(file.begin() + 2 * L.page_size, file.begin() + 3 * L.page_size);
      const uint8_t* plain = file.data() + 2 * L.page_size;
      ApplyPageCipher(page2.data(), page2.size(), 2, s.header.database_key);
      if (!LooksLikeTdef(page2.data(), version) && LooksLikeTdef(plain, version)) {
        s.Lose(Loss(
            LossKind::kHeader, 0, "", RowPointer{0, 0}, "",
            "page 0 holds an encoding key but the pages are not encoded; the key is ignored", {}));
        s.header.database_key = 0;
      }
    }
    if (!s.header.password.empty() && s.header.password != options.password) {
      return Error(ErrorCode::kWrongPassword, options.password.empty()
                                                  ? "the database has a password; none was given"
                                                  : "wrong database password");
    }
  } else {
    if (seen && file.size() >= 3 * L.page_size &&
        !LooksLikeTdef(file.data() + 2 * L.page_size, version)) {
      // Page 2 is no plain definition: the file may be encoded, and its key
      // went with page 0.
      bool typed = false;
      for (size_t at = 3 * static_cast<size_t>(L.page_size); at + L.page_size <= file.size();
           at += L.page_size) {
        if (LooksLikeTdef(file.data() + at, version)) typed = true;
      }
      if (!typed) {
        return Damaged(
            "page 0 is lost and no page of the file reads as plain: an encoded database "
            "cannot be read without its page 0");
      }
    }
    uint16_t code_page = 1252;
    if (version == JetVersion::kJet3 && file.size() >= 3 * L.page_size) {
      // Jet 3 column definitions carry the code page: take the catalog's.
      Pager probe(FileSource::FromSpan(file), L.page_size, 0);
      TextCodec plain(version, code_page);
      auto cat = ReadTableDef(probe, L, plain, 2);
      if (cat.ok() && !cat.value().columns.empty()) {
        uint16_t cp = cat.value().columns[0].code_page;
        if (cp == 874 || (cp >= 1250 && cp <= 1258)) code_page = cp;
      }
    }
    TextCodec codec(version, code_page);
    std::vector<uint8_t> page0 = FreshHeaderPage(version, code_page, options.password, codec);
    std::vector<uint8_t> masked = page0;
    ApplyHeaderMask(masked.data(), masked.size(), version);
    auto fresh = DecodeHeader(masked);
    if (!fresh.ok()) return fresh.error();
    s.header = std::move(fresh.value());
    s.header_rebuilt = true;
    LossRecord r = Loss(LossKind::kHeader, 0, "", RowPointer{0, 0}, "",
                        why + "; rebuilt as " + (version == JetVersion::kJet4 ? "Jet 4" : "Jet 3") +
                            " with code page " + Num(code_page) + " and the password given",
                        {});
    r.raw.assign(file.begin(), file.begin() + std::min<size_t>(file.size(), L.page_size));
    s.Lose(std::move(r));
  }
  s.text = std::make_unique<TextCodec>(version, s.header.code_page);

  // --- A file cut inside a page: pad the last page, remember the cut. ---
  uint64_t rest = file.size() % L.page_size;
  if (rest != 0) {
    s.truncated_bytes = static_cast<uint32_t>(rest);
    s.cut_offset = static_cast<uint32_t>(rest);
    s.file_truncated = true;
    source = PaddedSource(std::move(source), file.size() - rest + L.page_size);
    s.Lose(Loss(LossKind::kHeader, 0, "",
                RowPointer{static_cast<uint32_t>(file.size() / L.page_size), 0}, "",
                "the file ends " + Num(rest) + " bytes into page " +
                    Num(file.size() / L.page_size) + "; what lies before the cut is read",
                {}));
  }
  s.pager = std::make_unique<Pager>(std::move(source), L.page_size, s.header.database_key);
  const Pager& pager = *s.pager;
  const uint32_t pages = pager.page_count();

  // --- Census: every page's type, the owner of every data page. ---
  s.page_type.assign(pages, 0);
  s.owner.assign(pages, kNoOwner);
  s.free.assign(pages, 0);
  for (uint32_t n = 1; n < pages; ++n) {
    ByteSpan page = pager.PageOrThrow(n);
    s.page_type[n] = page[0];
    if (page[0] == static_cast<uint8_t>(PageType::kData) && s.ValidBytes(n) >= 8) {
      s.owner[n] = Le32(page.data() + 4);
    }
  }
  if (pages > 1) {
    auto global = ReadUsageMap(pager, L, RowPointer{1, 0});
    if (global.ok() && global.value().type <= 1 && s.owner[1] == 1) {
      s.have_global_map = true;
      for (uint32_t p : global.value().pages) s.free[p] = 1;
      const UsageMap& g = global.value();
      if (g.type == 0 && g.pages_covered + g.start_page > pages &&
          g.pages_beyond_file < g.pages_covered + g.start_page - pages) {
        s.file_truncated = true;
      }
    }
  }

  // --- Table definitions: chains, then which pages start one. ---
  std::set<uint32_t> continuation;
  for (uint32_t n = 1; n < pages; ++n) {
    if (s.page_type[n] != static_cast<uint8_t>(PageType::kTableDef)) continue;
    uint32_t next = Le32(pager.PageOrThrow(n).data() + 4);
    if (next != 0 && next < pages && next != n) continuation.insert(next);
  }
  std::map<uint32_t, TableDef> defs;           // readable definitions by first page
  std::map<uint32_t, std::string> def_errors;  // unreadable ones
  auto read_def = [&](uint32_t page) -> const TableDef* {
    if (auto it = defs.find(page); it != defs.end()) return &it->second;
    if (def_errors.count(page)) return nullptr;
    if (page == 0 || page >= pages) {
      def_errors[page] = "page " + Num(page) + " lies outside the file";
      return nullptr;
    }
    auto def = ReadTableDef(pager, L, *s.text, page);
    std::string reason;
    if (!def.ok()) {
      reason = def.error().description();
    } else if (auto bad = ValidateTableDef(def.value(), L)) {
      reason = "table definition at page " + Num(page) + ": " + *bad;
    } else if (s.OnCutPage(def.value().pages.back()) &&
               def.value().parsed_length >
                   (def.value().pages.size() - 1) * (L.page_size - 8) + s.cut_offset) {
      reason = "table definition at page " + Num(page) + " runs past the end of the file";
    }
    if (!reason.empty()) {
      def_errors[page] = reason;
      return nullptr;
    }
    return &defs.emplace(page, std::move(def.value())).first->second;
  };

  // --- The catalog. ---
  std::map<uint32_t, CatalogObject> named;  // table page -> its first catalog row
  const TableDef* catalog_def = read_def(2);
  std::string catalog_lost_why;
  if (catalog_def == nullptr && pages > 2) {
    // Page 2 is lost: the catalog's definition is the one every file of
    // the version has, and its rows still stand on the pages it owns. The
    // rows must fit it, or the file is refused below.
    catalog_lost_why = def_errors[2];
    std::vector<uint8_t> page = CatalogDefinitionPage(L, s.header);
    auto def = DecodeTableDef(page, L, *s.text, 2);
    if (def.ok() && !ValidateTableDef(def.value(), L)) {
      def_errors.erase(2);
      s.catalog_rebuilt = true;
      catalog_def = &defs.emplace(2, std::move(def.value())).first->second;
    }
  }
  if (const TableDef* cat = catalog_def) {
    SalvagedTable catalog;
    catalog.page = 2;
    catalog.name = "MSysObjects";
    catalog.def = *cat;
    const ColumnDef* id = cat->FindColumn("Id");
    const ColumnDef* parent = cat->FindColumn("ParentId");
    const ColumnDef* name = cat->FindColumn("Name");
    const ColumnDef* type = cat->FindColumn("Type");
    const ColumnDef* flags = cat->FindColumn("Flags");
    if (id && parent && name && type && flags) {
      auto at = [&](const ColumnDef* c) { return static_cast<size_t>(c - cat->columns.data()); };
      s.scanned.insert(2);
      Status st = s.Scan(catalog, [&](const RowValues& row) {
        CatalogObject o;
        o.row = row.location;
        o.id = static_cast<int32_t>(IntField(row.fields[at(id)]));
        o.parent_id = static_cast<int32_t>(IntField(row.fields[at(parent)]));
        o.type = static_cast<int16_t>(IntField(row.fields[at(type)]));
        o.flags = static_cast<int32_t>(IntField(row.fields[at(flags)]));
        if (row.fields[at(name)].present) s.text->DecodeValue(row.fields[at(name)].bytes, o.name);
        if (o.is_table() && !named.count(o.table_page())) named.emplace(o.table_page(), o);
        s.objects.push_back(std::move(o));
        return true;
      });
      if (!st.ok()) return st.error();
      if (s.catalog_rebuilt) {
        const uint64_t misfits = s.rows_reported[2];
        const bool names_a_table = std::any_of(s.objects.begin(), s.objects.end(),
                                               [](const CatalogObject& o) { return o.is_table(); });
        if (!names_a_table || misfits > s.objects.size()) {
          return Damaged("the catalog's own definition (page 2) is lost (" + catalog_lost_why +
                         ") and the rows on its pages do not fit the layout every " +
                         (version == JetVersion::kJet4 ? "Jet 4" : "Jet 3") + " catalog has (" +
                         Num(s.objects.size()) + " rows fit, " + Num(misfits) +
                         " do not): no table can be named");
        }
        LossRecord r =
            Loss(LossKind::kCatalogDefinition, 2, "MSysObjects", RowPointer{2, 0}, "",
                 "the catalog's own definition (page 2) is unreadable (" + catalog_lost_why +
                     "); it was rebuilt as every " +
                     (version == JetVersion::kJet4 ? "Jet 4" : "Jet 3") + " file defines it, and " +
                     Num(s.objects.size()) + " catalog rows on its pages fit it",
                 {});
        ByteSpan p2 = pager.PageOrThrow(2);
        r.raw.assign(p2.begin(), p2.end());
        s.Lose(std::move(r));
      }
    } else {
      s.Lose(
          Loss(LossKind::kTable, 2, "MSysObjects", RowPointer{2, 0}, "",
               "the catalog's definition lacks one of Id, ParentId, Name, Type, Flags; tables are "
               "found by their definitions only",
               {}));
    }
  } else {
    LossRecord r = Loss(LossKind::kTable, 2, "MSysObjects", RowPointer{2, 0}, "",
                        "the catalog cannot be read (" + def_errors[2] +
                            "); tables are found by their definitions only",
                        {});
    if (pages > 2) {
      ByteSpan p2 = pager.PageOrThrow(2);
      r.raw.assign(p2.begin(), p2.end());
    }
    s.Lose(std::move(r));
  }

  // --- Tables: every catalog table, then definitions nobody names. ---
  std::set<std::string> names;
  for (const auto& [page, object] : named) {
    const TableDef* def = read_def(page);
    if (def == nullptr) {
      LossRecord r = Loss(LossKind::kTable, page, object.name, RowPointer{page, 0}, "",
                          "its definition cannot be read: " + def_errors[page], {});
      if (page < pages) {
        ByteSpan p = pager.PageOrThrow(page);
        r.raw.assign(p.begin(), p.end());
      }
      s.Lose(std::move(r));
      continue;
    }
    SalvagedTable t;
    t.page = page;
    t.name = object.name;
    t.catalog = object;
    t.def = *def;
    names.insert(t.name);
    s.tables.push_back(std::move(t));
  }
  if (!named.count(2) && defs.count(2)) {
    // The catalog's own row is lost; its name is known.
    SalvagedTable t;
    t.page = 2;
    t.name = "MSysObjects";
    t.def = defs.at(2);
    names.insert(t.name);
    s.tables.push_back(std::move(t));
  }
  // Definitions no catalog row names are adopted only when catalog rows were
  // lost: an intact catalog leaves behind the definitions of deleted tables.
  bool catalog_damaged = s.counts.rows_lost > 0 || !defs.count(2);
  if (!catalog_damaged) {
    // A catalog page that is gone loses its rows without a trace in the scan.
    auto map = ReadUsageMap(pager, L, defs.at(2).owned_map);
    if (!map.ok() || map.value().pages_beyond_file > 0) {
      catalog_damaged = true;
    } else {
      for (uint32_t p : map.value().pages) {
        if (s.page_type[p] != static_cast<uint8_t>(PageType::kData) || s.owner[p] != 2) {
          catalog_damaged = true;
        }
      }
    }
  }
  // A file cut short has lost whatever stood on its missing pages; which rows
  // those were cannot be told, but the loss itself must be reported, or a
  // repair of a cut file would look complete. A global map that reaches past
  // the end is not proof on its own (Access leaves such map tails), so a cut
  // at a page boundary counts when a table's page map needs the missing pages
  // too, or the catalog's own map is gone with them.
  bool cut_evident = s.cut_offset != 0;
  if (s.file_truncated && !cut_evident) {
    if (!defs.count(2)) {
      cut_evident = true;
    } else {
      auto catalog_map = ReadUsageMap(pager, L, defs.at(2).owned_map);
      cut_evident = !catalog_map.ok() || catalog_map.value().pages_beyond_file > 0;
    }
    for (const auto& [first, def] : defs) {
      if (cut_evident) break;
      auto owned = ReadUsageMap(pager, L, def.owned_map);
      cut_evident = owned.ok() && owned.value().pages_beyond_file > 0;
    }
  }
  if (cut_evident) {
    s.Lose(Loss(LossKind::kPage, 0, "", RowPointer{pages, 0}, "",
                "the file is cut short after " + Num(pages) +
                    " pages: rows, values and tables on the pages past the cut are lost",
                {}));
  }
  s.cut_evident = cut_evident;
  if (s.scanned.count(2)) {
    for (const SalvagedTable& t : s.tables) {
      if (t.page == 2) s.ReportMissingRows(t, s.objects.size());
    }
  }
  std::set<uint32_t> orphans;
  for (uint32_t n = 2; n < pages; ++n) {
    if (!LooksLikeTdef(pager.PageOrThrow(n).data(), version)) continue;
    if (continuation.count(n) || named.count(n) || n == 2) continue;
    // A definition on a page the global map marks free belongs to a table
    // that was deleted.
    if (s.have_global_map && s.free[n]) continue;
    const TableDef* def = read_def(n);
    if (def == nullptr) continue;
    if (!catalog_damaged) {
      orphans.insert(n);
      continue;
    }
    SalvagedTable t;
    t.page = n;
    t.name = "Recovered table " + Num(n);
    for (int k = 2; names.count(t.name); ++k) t.name = "Recovered table " + Num(n) + " " + Num(k);
    t.name_made_up = true;
    t.def = *def;
    names.insert(t.name);
    s.Lose(Loss(LossKind::kTableName, n, t.name, RowPointer{n, 0}, "",
                "no catalog row names the table defined at page " + Num(n) + "; it is kept as \"" +
                    t.name + "\"",
                {}));
    s.tables.push_back(std::move(t));
  }
  std::sort(s.tables.begin(), s.tables.end(),
            [](const SalvagedTable& a, const SalvagedTable& b) { return a.name < b.name; });
  for (const auto& t : s.tables) s.table_pages.insert(t.page);

  // --- Data pages of a table whose definition is lost: rows that cannot be
  // decoded. Pages naming a definition nobody uses (a deleted table) are not
  // the user's data. ---
  for (uint32_t n = 2; n < pages; ++n) {
    uint32_t owner = s.owner[n];
    if (owner == kNoOwner || owner == 0 || owner == 1 || owner == kLvalOwner) continue;
    if (s.table_pages.count(owner) || orphans.count(owner)) continue;
    if (s.have_global_map && s.free[n]) continue;
    // Only owners that were tables: a catalog table whose definition failed,
    // or a page that is no longer a readable definition at all.
    bool lost_definition =
        named.count(owner) > 0 ||
        (catalog_damaged &&
         (owner >= pages || !LooksLikeTdef(pager.PageOrThrow(owner).data(), version)));
    if (!lost_definition) continue;
    ByteSpan p = pager.PageOrThrow(n);
    uint32_t count = Le16(p.data() + L.data_row_count_offset);
    if (count == 0) continue;
    LossRecord r = Loss(LossKind::kPage, owner, "", RowPointer{n, 0}, "",
                        "data page of page " + Num(owner) +
                            ", which holds no readable table definition: its rows cannot be "
                            "decoded",
                        std::vector<uint8_t>(p.begin(), p.begin() + s.ValidBytes(n)));
    s.Lose(std::move(r));
  }
  return std::unique_ptr<Salvager>(new Salvager(std::move(state)));
}

}  // namespace engine
