#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <unordered_set>

#include "base/bytes.h"
#include "format/data_page.h"
#include "format/pages.h"
#include "format/usage_map.h"
#include "io/cipher.h"
#include "io/mapped_image.h"
#include "salvage/ace_header.h"
#include "salvage/definition_mend.h"
#include "salvage/header_evidence.h"
#include "salvage/salvage.h"
#include "salvage/salvage_internal.h"
#include "salvage/validate.h"

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
    case LossKind::kNullKey:
      return "null-key";
    case LossKind::kSortOrder:
      return "sort-order";
    case LossKind::kAlteredValue:
      return "altered-value";
    case LossKind::kDefinition:
      return "definition";
  }
  return "unknown";
}

void Salvager::State::Lose(LossRecord record) {
  if (!reporting) return;
  if (record.table != 0 && record.kind != LossKind::kTableName &&
      record.kind != LossKind::kHeader && record.kind != LossKind::kCatalogDefinition &&
      record.kind != LossKind::kDefinition) {
    touched.insert(record.table);
  }
  switch (record.kind) {
    case LossKind::kRow:
    case LossKind::kCatalogRow:
    case LossKind::kDuplicateRow:
    case LossKind::kNullKey:
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
    case LossKind::kSortOrder:
    case LossKind::kAlteredValue:  // the repair's; nothing is lost
    case LossKind::kDefinition:
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

// A date between the years 1900 and 9999, in days since 1899-12-30.
bool PlausibleDate(double days) {
  return std::isfinite(days) && days >= 1.0 && days < 2958466.0;
}

// A page 0 made from the constants every Access file shows, for a file whose
// own page 0 is lost. Unmasked bytes. `date`: its creation date (Jet 4).
std::vector<uint8_t> FreshHeaderPage(JetVersion version, uint16_t code_page,
                                     const std::string& password, const TextCodec& text,
                                     double date) {
  (void)text;
  DatabaseHeader h;
  h.version = version;
  h.code_page = code_page;
  h.sort_order = 0x0409;
  h.password = password;
  if (version == JetVersion::kJet4) h.creation_date = date;
  return EncodeHeader(h);
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
double Salvager::file_date() const {
  const double stored = state_->header.creation_date;
  if (!state_->header_rebuilt && PlausibleDate(stored)) return stored;
  return state_->newest_catalog_date.value_or(0.0);
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
  // Catalog ids, types and flags are at most 4 bytes wide.
  return f.bytes.size() <= 4 ? LeInteger(f.bytes.data(), f.bytes.size()) : 0;
}

// Opening a file tolerantly, phase by phase; each phase reports its losses
// and leaves what it found in the state or here for the phases after it.
class Opening {
 public:
  Opening(Salvager::State& s, std::unique_ptr<FileSource> source)
      : s_(s), source_(std::move(source)) {}

  Status Run() {
    if (Status st = ReadHeader(); !st.ok()) return st;
    if (Status st = PadCutPage(); !st.ok()) return st;
    CensusPages();
    JudgeHeader();
    FindContinuations();
    if (Status st = ReadCatalog(); !st.ok()) return st;
    if (Status st = RedateHeader(); !st.ok()) return st;
    CollectNamedTables();
    JudgeCatalog();
    ReportCut();
    AdoptUnnamedDefinitions();
    ReportDataOfLostDefinitions();
    return Status();
  }

 private:
  const char* VersionName() const { return version_ == JetVersion::kJet4 ? "Jet 4" : "Jet 3"; }

  // Page 0: the stored one, or one rebuilt from what the pages show.
  Status ReadHeader() {
    ByteSpan file = source_->bytes();
    std::optional<JetVersion> seen = VersionFromPages(file);
    auto decoded = DecodeHeader(file);
    if (!decoded.ok()) {
      // An ACE page 0 whose engine name alone is damaged: restored by what
      // the rest of the page shows.
      if (auto restored = RestoreAceEngineName(file)) {
        s_.Lose(Loss(LossKind::kHeader, 0, "", RowPointer{0, 0}, "", restored->why, {}));
        decoded = std::move(restored->header);
      } else if (LooksLikeAce(file, source_->path())) {
        // Its pages look like Jet 4's, but a Jet 4 page 0 would turn it into
        // another format.
        return Unrecognized(
            "page 0 is unreadable (" + decoded.error().description() +
            ") and the file shows it is an ACE database (Access 2007 or later), whose page 0 "
            "cannot be rebuilt from the other pages");
      }
    }
    bool rebuild = false;
    std::string why;
    if (!decoded.ok()) {
      if (!seen) {
        return Error(decoded.error().number(),
                     decoded.error().description() +
                         ", and no later page shows a plain Jet page to rebuild it from (an "
                         "encoded database's pages cannot be read without the key page 0 held)");
      }
      rebuild = true;
      why = "page 0 is unreadable (" + decoded.error().description() + ")";
    } else if (seen && decoded.value().version != *seen && !IsAce(decoded.value().format)) {
      // (An ACE file's pages are Jet 4's; encrypted, they show nothing.)
      rebuild = true;
      why = "page 0 names the other format than the pages show";
    }
    version_ = rebuild ? *seen : decoded.value().version;
    const Layout& L = LayoutFor(version_);
    s_.layout = &L;
    if (file.size() < L.page_size) {
      return Unrecognized("not a database: the file holds less than one page");
    }
    Status st = rebuild ? RebuildHeader(why) : KeepHeader(std::move(decoded.value()));
    if (!st.ok()) return st;
    s_.text = std::make_unique<TextCodec>(version_, s_.header.code_page);
    return Status();
  }

  Status KeepHeader(DatabaseHeader header) {
    ByteSpan file = source_->bytes();
    const Layout& L = *s_.layout;
    s_.header = std::move(header);
    if (UsesOfficeEncryption(s_.header)) {
      // The pages are coded by the encryption header's scheme, which checks
      // the password when the pager is made.
      RestoreDate();
      return Status();
    }
    // A key that turns page 2 into garbage while the stored page 2 is a plain
    // table definition was damaged: the pages are not encoded.
    if (s_.header.database_key != 0 && file.size() >= 3 * L.page_size) {
      std::vector<uint8_t> page2(file.begin() + 2 * L.page_size, file.begin() + 3 * L.page_size);
      const uint8_t* plain = file.data() + 2 * L.page_size;
      ApplyPageCipher(page2.data(), page2.size(), 2, s_.header.database_key);
      if (!LooksLikeTdef(page2.data(), version_) && LooksLikeTdef(plain, version_)) {
        s_.Lose(Loss(
            LossKind::kHeader, 0, "", RowPointer{0, 0}, "",
            "page 0 holds an encoding key but the pages are not encoded; the key is ignored", {}));
        s_.header.database_key = 0;
      }
    }
    RestoreDate();
    return CheckPassword(s_.header, s_.options.password);
  }

  // A Jet 4 creation date damaged reads the password field through the
  // wrong mask; the field's zero padding tells the right one.
  void RestoreDate() {
    DatabaseHeader& h = s_.header;
    if (h.password_plausible || h.password == s_.options.password) return;
    const double damaged = h.creation_date;
    if (!RestoreCreationDate(h)) return;
    s_.Lose(Loss(LossKind::kHeader, 0, "", RowPointer{0, 0}, "",
                 "page 0's creation date is damaged (it read as " + DateText(damaged) +
                     " and masked the password field wrongly); restored to day " +
                     Num(static_cast<uint64_t>(h.creation_date)) + " from the field's padding" +
                     (h.password.empty() ? "; the file has no password" : ""),
                 {}));
  }

  static std::string DateText(double d) {
    char text[40];
    std::snprintf(text, sizeof text, "%.6g", d);
    return text;
  }

  Status RebuildHeader(const std::string& why) {
    ByteSpan file = source_->bytes();
    const Layout& L = *s_.layout;
    if (file.size() >= 3 * L.page_size && !LooksLikeTdef(file.data() + 2 * L.page_size, version_)) {
      // Page 2 is no plain definition: the file may be encoded, and its key
      // went with page 0.
      bool typed = false;
      for (size_t at = 3 * static_cast<size_t>(L.page_size); at + L.page_size <= file.size();
           at += L.page_size) {
        if (LooksLikeTdef(file.data() + at, version_)) typed = true;
      }
      if (!typed) {
        return Damaged(
            "page 0 is lost and no page of the file reads as plain: an encoded database "
            "cannot be read without its page 0");
      }
    }
    uint16_t code_page = 1252;
    if (version_ == JetVersion::kJet3 && file.size() >= 3 * L.page_size) {
      // Jet 3 column definitions carry the code page: take the catalog's.
      Pager probe(FileSource::FromSpan(file), L.page_size, 0);
      TextCodec plain(version_, code_page);
      auto cat = ReadTableDef(probe, L, plain, 2);
      if (cat.ok() && !cat.value().columns.empty()) {
        uint16_t cp = cat.value().columns[0].code_page;
        if (cp == 874 || (cp >= 1250 && cp <= 1258)) code_page = cp;
      }
    }
    // The creation date the lost page 0 still shows, if any; else one the
    // catalog's rows give once they are read (RedateHeader).
    rebuilt_code_page_ = code_page;
    if (L.header_creation_date != 0) {
      std::vector<uint8_t> stored(file.begin(), file.begin() + L.page_size);
      ApplyHeaderMask(stored.data(), stored.size(), version_);
      double d;
      std::memcpy(&d, stored.data() + L.header_creation_date, 8);
      if (PlausibleDate(d)) stored_date_ = d;
    }
    if (Status st = MakeFreshHeader(stored_date_.value_or(0.0)); !st.ok()) return st;
    s_.header_rebuilt = true;
    LossRecord r = Loss(LossKind::kHeader, 0, "", RowPointer{0, 0}, "",
                        why + "; rebuilt as " + VersionName() + " with code page " +
                            Num(code_page) + " and the password given",
                        {});
    r.raw.assign(file.begin(), file.begin() + std::min<size_t>(file.size(), L.page_size));
    s_.Lose(std::move(r));
    return Status();
  }

  Status MakeFreshHeader(double date) {
    TextCodec codec(version_, rebuilt_code_page_);
    std::vector<uint8_t> page0 =
        FreshHeaderPage(version_, rebuilt_code_page_, s_.options.password, codec, date);
    ApplyHeaderMask(page0.data(), page0.size(), version_);
    auto fresh = DecodeHeader(page0);
    if (!fresh.ok()) return fresh.error();
    s_.header = std::move(fresh.value());
    return Status();
  }

  // A page 0 rebuilt without a readable date of its own takes the newest
  // date of the catalog's rows.
  Status RedateHeader() {
    if (!s_.header_rebuilt || stored_date_ || !s_.newest_catalog_date ||
        s_.layout->header_creation_date == 0) {
      return Status();
    }
    // Keep what JudgeHeader restored from the columns.
    const uint16_t sort_order = s_.header.sort_order;
    rebuilt_code_page_ = s_.header.code_page;
    if (Status st = MakeFreshHeader(*s_.newest_catalog_date); !st.ok()) return st;
    s_.header.sort_order = sort_order;
    const size_t at = s_.layout->header_sort_order_offset;
    if (at + 2 <= s_.header.unmasked.size()) Put16(s_.header.unmasked.data() + at, sort_order);
    return Status();
  }

  // Page 0's code page and sort order held against the columns' own; where
  // they disagree the columns' values are restored, and text is read by them.
  void JudgeHeader() {
    auto found = JudgeHeaderFields(*s_.pager, *s_.layout, s_.header, s_.census.type);
    if (found.empty()) return;
    for (const HeaderDisagreement& d : found) {
      s_.Lose(Loss(LossKind::kHeader, 0, "", RowPointer{0, 0}, "",
                   d.Describe() + "; restored " + d.name() + " " + Num(d.shown), {}));
    }
    RestoreHeaderFields(s_.header, found);
    s_.text = std::make_unique<TextCodec>(version_, s_.header.code_page);
  }

  // A file cut inside a page: the last page padded, the cut remembered. Then
  // the pager.
  Status PadCutPage() {
    const Layout& L = *s_.layout;
    const uint64_t size = source_->bytes().size();
    uint64_t rest = size % L.page_size;
    if (rest != 0) {
      s_.truncated_bytes = static_cast<uint32_t>(rest);
      s_.cut_offset = static_cast<uint32_t>(rest);
      s_.file_truncated = true;
      source_ = PaddedSource(std::move(source_), size - rest + L.page_size);
      s_.Lose(Loss(LossKind::kHeader, 0, "",
                   RowPointer{static_cast<uint32_t>(size / L.page_size), 0}, "",
                   "the file ends " + Num(rest) + " bytes into page " + Num(size / L.page_size) +
                       "; what lies before the cut is read",
                   {}));
    }
    if (UsesOfficeEncryption(s_.header)) {
      auto pages = OpenPages(std::move(source_), s_.header, s_.options.password);
      if (!pages.ok()) return pages.error();
      s_.pager = std::move(pages.value());
    } else {
      s_.pager = std::make_unique<Pager>(std::move(source_), L.page_size, s_.header.database_key);
    }
    pages_ = s_.pager->page_count();
    return Status();
  }

  // Every page's type, the owner of every data page, the free pages.
  void CensusPages() {
    const Pager& pager = *s_.pager;
    const Layout& L = *s_.layout;
    s_.census = TakeCensus(pager, L, s_.cut_offset != 0 ? s_.cut_offset : L.page_size);
    s_.free.assign(pages_, 0);
    if (pages_ > 1) {
      auto global = ReadUsageMap(pager, L, RowPointer{1, 0});
      if (global.ok() && global.value().type <= 1 && s_.owner[1] == 1) {
        s_.have_global_map = true;
        for (uint32_t p : global.value().pages) s_.free[p] = 1;
        const UsageMap& g = global.value();
        if (g.type == 0 && g.pages_covered + g.start_page > pages_ &&
            g.pages_beyond_file < g.pages_covered + g.start_page - pages_) {
          s_.file_truncated = true;
        }
      }
    }
  }

  // Definition pages that continue another's chain start none.
  void FindContinuations() {
    for (uint32_t n = 1; n < pages_; ++n) {
      if (s_.page_type[n] != static_cast<uint8_t>(PageType::kTableDef)) continue;
      uint32_t next = Le32(s_.pager->PageOrThrow(n).data() + 4);
      if (next != 0 && next < pages_ && next != n) continuation_.insert(next);
    }
  }

  // The definition starting at `page`, read and validated once; nullptr
  // when it cannot be used (the reason in def_errors_).
  const TableDef* ReadDefinition(uint32_t page) {
    const Layout& L = *s_.layout;
    if (auto it = defs_.find(page); it != defs_.end()) return &it->second;
    if (def_errors_.count(page)) return nullptr;
    if (page == 0 || page >= pages_) {
      def_errors_[page] = "page " + Num(page) + " lies outside the file";
      return nullptr;
    }
    auto def = ReadTableDef(*s_.pager, L, *s_.text, page);
    if (def.ok()) {
      // Calculated columns came with Access 2010; a page 0 rebuilt from the
      // pages cannot tell, so the flag is then left as found.
      const bool calculated_allowed = s_.header_rebuilt || (s_.header.format != FileFormat::kJet3 &&
                                                            s_.header.format != FileFormat::kJet4 &&
                                                            s_.header.format != FileFormat::kAce12);
      auto mends = MendDefinition(def.value(), L, *s_.text, calculated_allowed);
      if (!mends.empty()) mends_[page] = std::move(mends);
    }
    std::string reason;
    if (!def.ok()) {
      reason = def.error().description();
    } else if (auto bad =
                   FirstUnusable(TableDefFindings(def.value(), L, IsAce(s_.header.format)))) {
      reason = "table definition at page " + Num(page) + ": " + *bad;
    } else if (s_.OnCutPage(def.value().pages.back()) &&
               def.value().parsed_length >
                   (def.value().pages.size() - 1) * (L.page_size - 8) + s_.cut_offset) {
      reason = "table definition at page " + Num(page) + " runs past the end of the file";
    }
    if (!reason.empty()) {
      def_errors_[page] = reason;
      return nullptr;
    }
    return &defs_.emplace(page, std::move(def.value())).first->second;
  }

  // A table taken with a definition that was mended: each change reported
  // under its name, once.
  void AddTable(SalvagedTable t) {
    if (auto it = mends_.find(t.page); it != mends_.end()) {
      t.definition_mended = true;
      for (DefinitionMend& m : it->second) {
        s_.Lose(Loss(LossKind::kDefinition, t.page, t.name, RowPointer{t.page, 0}, m.element,
                     "table definition at page " + Num(t.page) + ": " + m.reason,
                     std::move(m.raw)));
      }
      mends_.erase(it);
    }
    s_.tables.push_back(std::move(t));
  }

  // The catalog: its definition (rebuilt when page 2 is lost) and its rows.
  Status ReadCatalog() {
    const Layout& L = *s_.layout;
    const TableDef* catalog_def = ReadDefinition(2);
    if (catalog_def != nullptr && !HasCatalogColumns(*catalog_def)) {
      // A definition that reads but lost a column the catalog cannot do
      // without is as good as lost: rebuilt like an unreadable page 2.
      def_errors_[2] = "its definition lacks one of the columns Id, ParentId, Name, Type, Flags";
      defs_.erase(2);
      catalog_def = nullptr;
    }
    if (catalog_def == nullptr && pages_ > 2) {
      // Page 2 is lost: the catalog's definition is the one every file of
      // the version has, and its rows still stand on the pages it owns. The
      // rows must fit it, or the file is refused below.
      catalog_lost_why_ = def_errors_[2];
      std::vector<uint8_t> page = CatalogDefinitionPage(L, s_.header);
      auto def = DecodeTableDef(page, L, *s_.text, 2);
      if (def.ok() && !FirstUnusable(TableDefFindings(def.value(), L))) {
        def_errors_.erase(2);
        s_.catalog_rebuilt = true;
        catalog_def = &defs_.emplace(2, std::move(def.value())).first->second;
      }
    }
    if (catalog_def == nullptr) {
      LossRecord r = Loss(LossKind::kTable, 2, "MSysObjects", RowPointer{2, 0}, "",
                          "the catalog cannot be read (" + def_errors_[2] +
                              "); tables are found by their definitions only",
                          {});
      if (pages_ > 2) {
        ByteSpan p2 = s_.pager->PageOrThrow(2);
        r.raw.assign(p2.begin(), p2.end());
      }
      s_.Lose(std::move(r));
      return Status();
    }
    return ReadCatalogRows(*catalog_def);
  }

  static bool HasCatalogColumns(const TableDef& cat) {
    for (const char* name : {"Id", "ParentId", "Name", "Type", "Flags"}) {
      if (cat.FindColumn(name) == nullptr) return false;
    }
    return true;
  }

  Status ReadCatalogRows(const TableDef& cat) {
    SalvagedTable catalog;
    catalog.page = 2;
    catalog.name = "MSysObjects";
    catalog.def = cat;
    const ColumnDef* id = cat.FindColumn("Id");
    const ColumnDef* parent = cat.FindColumn("ParentId");
    const ColumnDef* name = cat.FindColumn("Name");
    const ColumnDef* type = cat.FindColumn("Type");
    const ColumnDef* flags = cat.FindColumn("Flags");
    if (!(id && parent && name && type && flags)) {
      s_.Lose(
          Loss(LossKind::kTable, 2, "MSysObjects", RowPointer{2, 0}, "",
               "the catalog's definition lacks one of Id, ParentId, Name, Type, Flags; tables are "
               "found by their definitions only",
               {}));
      return Status();
    }
    auto at = [&](const ColumnDef* c) { return static_cast<size_t>(c - cat.columns.data()); };
    s_.scanned.insert(2);
    Status st = s_.Scan(catalog, [&](const RowValues& row) {
      CatalogObject o;
      o.row = row.location;
      o.id = static_cast<int32_t>(IntField(row.fields[at(id)]));
      o.parent_id = static_cast<int32_t>(IntField(row.fields[at(parent)]));
      o.type = static_cast<int16_t>(IntField(row.fields[at(type)]));
      o.flags = static_cast<int32_t>(IntField(row.fields[at(flags)]));
      for (const ColumnDef* date : {cat.FindColumn("DateCreate"), cat.FindColumn("DateUpdate")}) {
        const FieldRef* f = date ? &row.fields[at(date)] : nullptr;
        if (f == nullptr || !f->present || f->bytes.size() != 8) continue;
        double d;
        std::memcpy(&d, f->bytes.data(), 8);
        if (PlausibleDate(d) && (!s_.newest_catalog_date || d > *s_.newest_catalog_date)) {
          s_.newest_catalog_date = d;
        }
      }
      if (row.fields[at(name)].present) s_.text->DecodeValue(row.fields[at(name)].bytes, o.name);
      if (o.is_table() && (static_cast<uint32_t>(o.id) & 0xFF000000u) != 0) {
        // A table's id is the page of its definition; flag bits there mean
        // the row's id was overwritten, and the row leaves the catalog.
        s_.Lose(Loss(LossKind::kCatalogRow, 2, "MSysObjects", row.location, "Id",
                     "the row of table " + o.name + " gives it the id " + Num(o.id) +
                         ", which is no page of the file; the row is left out",
                     std::vector<uint8_t>(row.stored.begin(), row.stored.end())));
      } else if (o.is_table() && !named_.count(o.table_page())) {
        named_.emplace(o.table_page(), o);
      }
      s_.objects.push_back(std::move(o));
      return true;
    });
    if (!st.ok()) return st.error();
    if (!s_.catalog_rebuilt) return Status();
    const uint64_t misfits = s_.rows_reported[2];
    const bool names_a_table = std::any_of(s_.objects.begin(), s_.objects.end(),
                                           [](const CatalogObject& o) { return o.is_table(); });
    if (!names_a_table || misfits > s_.objects.size()) {
      return Damaged("the catalog's own definition (page 2) is lost (" + catalog_lost_why_ +
                     ") and the rows on its pages do not fit the layout every " + VersionName() +
                     " catalog has (" + Num(s_.objects.size()) + " rows fit, " + Num(misfits) +
                     " do not): no table can be named");
    }
    LossRecord r =
        Loss(LossKind::kCatalogDefinition, 2, "MSysObjects", RowPointer{2, 0}, "",
             "the catalog's own definition (page 2) is unreadable (" + catalog_lost_why_ +
                 "); it was rebuilt as every " + VersionName() + " file defines it, and " +
                 Num(s_.objects.size()) + " catalog rows on its pages fit it",
             {});
    ByteSpan p2 = s_.pager->PageOrThrow(2);
    r.raw.assign(p2.begin(), p2.end());
    s_.Lose(std::move(r));
    return Status();
  }

  // Every table a catalog row names, and the catalog itself.
  void CollectNamedTables() {
    for (const auto& [page, object] : named_) {
      const TableDef* def = ReadDefinition(page);
      if (def == nullptr) {
        LossRecord r = Loss(LossKind::kTable, page, object.name, RowPointer{page, 0}, "",
                            "its definition cannot be read: " + def_errors_[page], {});
        if (page < pages_) {
          ByteSpan p = s_.pager->PageOrThrow(page);
          r.raw.assign(p.begin(), p.end());
        }
        s_.Lose(std::move(r));
        continue;
      }
      SalvagedTable t;
      t.page = page;
      t.name = object.name;
      t.catalog = object;
      t.def = *def;
      names_.insert(t.name);
      AddTable(std::move(t));
    }
    if (!named_.count(2) && defs_.count(2)) {
      // The catalog's own row is lost; its name is known.
      SalvagedTable t;
      t.page = 2;
      t.name = "MSysObjects";
      t.def = defs_.at(2);
      names_.insert(t.name);
      AddTable(std::move(t));
    }
  }

  // Definitions no catalog row names are adopted only when catalog rows were
  // lost: an intact catalog leaves behind the definitions of deleted tables.
  void JudgeCatalog() {
    catalog_damaged_ = s_.counts.rows_lost > 0 || !defs_.count(2);
    if (catalog_damaged_) return;
    // A catalog page that is gone loses its rows without a trace in the scan.
    auto map = ReadUsageMap(*s_.pager, *s_.layout, defs_.at(2).owned_map);
    if (!map.ok() || map.value().pages_beyond_file > 0) {
      catalog_damaged_ = true;
      return;
    }
    for (uint32_t p : map.value().pages) {
      if (s_.page_type[p] != static_cast<uint8_t>(PageType::kData) || s_.owner[p] != 2) {
        catalog_damaged_ = true;
      }
    }
  }

  // A file cut short has lost whatever stood on its missing pages; which rows
  // those were cannot be told, but the loss itself must be reported, or a
  // repair of a cut file would look complete. A global map that reaches past
  // the end is not proof on its own (Access leaves such map tails), so a cut
  // at a page boundary counts when a table's page map needs the missing pages
  // too, or the catalog's own map is gone with them.
  void ReportCut() {
    const Pager& pager = *s_.pager;
    const Layout& L = *s_.layout;
    bool cut_evident = s_.cut_offset != 0;
    if (s_.file_truncated && !cut_evident) {
      if (!defs_.count(2)) {
        cut_evident = true;
      } else {
        auto catalog_map = ReadUsageMap(pager, L, defs_.at(2).owned_map);
        cut_evident = !catalog_map.ok() || catalog_map.value().pages_beyond_file > 0;
      }
      for (const auto& [first, def] : defs_) {
        if (cut_evident) break;
        auto owned = ReadUsageMap(pager, L, def.owned_map);
        cut_evident = owned.ok() && owned.value().pages_beyond_file > 0;
      }
    }
    if (cut_evident) {
      s_.Lose(Loss(LossKind::kPage, 0, "", RowPointer{pages_, 0}, "",
                   "the file is cut short after " + Num(pages_) +
                       " pages: rows, values and tables on the pages past the cut are lost",
                   {}));
    }
    s_.cut_evident = cut_evident;
    if (s_.scanned.count(2)) {
      for (const SalvagedTable& t : s_.tables) {
        if (t.page == 2) s_.ReportMissingRows(t, s_.objects.size());
      }
    }
  }

  // Definitions nobody names: kept under a made-up name when the catalog is
  // damaged, otherwise remembered as those of deleted tables.
  void AdoptUnnamedDefinitions() {
    for (uint32_t n = 2; n < pages_; ++n) {
      if (!LooksLikeTdef(s_.pager->PageOrThrow(n).data(), version_)) continue;
      if (continuation_.count(n) || named_.count(n) || n == 2) continue;
      // A definition on a page the global map marks free belongs to a table
      // that was deleted.
      if (s_.have_global_map && s_.free[n]) continue;
      const TableDef* def = ReadDefinition(n);
      if (def == nullptr) continue;
      if (!catalog_damaged_) {
        orphans_.insert(n);
        continue;
      }
      SalvagedTable t;
      t.page = n;
      t.name = "Recovered table " + Num(n);
      for (int k = 2; names_.count(t.name); ++k) {
        t.name = "Recovered table " + Num(n) + " " + Num(k);
      }
      t.name_made_up = true;
      t.def = *def;
      names_.insert(t.name);
      s_.Lose(Loss(LossKind::kTableName, n, t.name, RowPointer{n, 0}, "",
                   "no catalog row names the table defined at page " + Num(n) +
                       "; it is kept as \"" + t.name + "\"",
                   {}));
      AddTable(std::move(t));
    }
    std::sort(s_.tables.begin(), s_.tables.end(),
              [](const SalvagedTable& a, const SalvagedTable& b) { return a.name < b.name; });
    for (const auto& t : s_.tables) s_.table_pages.insert(t.page);
  }

  // Data pages of a table whose definition is lost: rows that cannot be
  // decoded. Pages naming a definition nobody uses (a deleted table) are not
  // the user's data.
  void ReportDataOfLostDefinitions() {
    const Pager& pager = *s_.pager;
    const Layout& L = *s_.layout;
    for (uint32_t n = 2; n < pages_; ++n) {
      uint32_t owner = s_.owner[n];
      if (owner == kNoOwner || owner == 0 || owner == 1 || owner == kLvalOwner) continue;
      if (s_.table_pages.count(owner) || orphans_.count(owner)) continue;
      if (s_.have_global_map && s_.free[n]) continue;
      // Only owners that were tables: a catalog table whose definition failed,
      // or a page that is no longer a readable definition at all.
      bool lost_definition =
          named_.count(owner) > 0 ||
          (catalog_damaged_ &&
           (owner >= pages_ || !LooksLikeTdef(pager.PageOrThrow(owner).data(), version_)));
      if (!lost_definition) continue;
      ByteSpan p = pager.PageOrThrow(n);
      if (SlotTable(p, L).count() == 0) continue;
      LossRecord r = Loss(LossKind::kPage, owner, "", RowPointer{n, 0}, "",
                          "data page of page " + Num(owner) +
                              ", which holds no readable table definition: its rows cannot be "
                              "decoded",
                          std::vector<uint8_t>(p.begin(), p.begin() + s_.ValidBytes(n)));
      s_.Lose(std::move(r));
    }
  }

  Salvager::State& s_;
  std::unique_ptr<FileSource> source_;  // until the pager takes it
  JetVersion version_ = JetVersion::kJet4;
  uint16_t rebuilt_code_page_ = 1252;  // of a page 0 made anew
  std::optional<double> stored_date_;  // the creation date a lost page 0 still shows
  uint32_t pages_ = 0;
  std::set<uint32_t> continuation_;
  std::map<uint32_t, TableDef> defs_;           // readable definitions by first page
  std::map<uint32_t, std::string> def_errors_;  // unreadable ones
  std::map<uint32_t, CatalogObject> named_;     // table page -> its first catalog row
  // What was set right in readable definitions, until their tables report it.
  std::map<uint32_t, std::vector<DefinitionMend>> mends_;
  std::string catalog_lost_why_;
  std::set<std::string> names_;  // of the tables kept
  bool catalog_damaged_ = false;
  std::set<uint32_t> orphans_;  // definitions of deleted tables
};

}  // namespace

Result<std::unique_ptr<Salvager>> Salvager::Open(std::unique_ptr<FileSource> source,
                                                 const SalvageOptions& options, LossSink sink) {
  auto state = std::make_unique<State>();
  state->options = options;
  state->sink = std::move(sink);
  Status st = Opening(*state, std::move(source)).Run();
  if (!st.ok()) return st.error();
  return std::unique_ptr<Salvager>(new Salvager(std::move(state)));
}

}  // namespace engine
