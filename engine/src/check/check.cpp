// The checker's driver: opening, page 0, the global usage map, page
// ownership, and the report text. See check_internal.h for the parts.
#include "engine/check.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/bytes.h"
#include "check/altered_values.h"
#include "check/check_internal.h"
#include "format/data_page.h"
#include "format/pages.h"
#include "salvage/header_evidence.h"

namespace engine {

uint64_t CheckReport::total_problems() const {
  uint64_t n = 0;
  for (const auto& [code, count] : per_code) n += count;
  return n;
}

namespace {

// Codes of leftovers; every other code is damage. Kept with the list in
// check.h.
constexpr std::string_view kLeftoverCodes[] = {
    "page-orphan",      "lv-page-unreferenced",      "tdef-unreferenced",
    "global-map-tail",  "usage-map-disagrees",       "row-count-mismatch",
    "navpane-stale-id", "catalog-reference-invalid", "physical-index-unused",
    "index-node-flag",  "column-length-ignored",
};

}  // namespace

Severity ProblemSeverity(std::string_view code) {
  for (std::string_view leftover : kLeftoverCodes) {
    if (code == leftover) return Severity::kLeftover;
  }
  return Severity::kDamage;
}

const char* SeverityName(Severity severity) {
  return severity == Severity::kLeftover ? "leftover" : "damage";
}

uint64_t CheckReport::damage_count() const {
  uint64_t n = 0;
  for (const auto& [code, count] : per_code) {
    if (ProblemSeverity(code) == Severity::kDamage) n += count;
  }
  return n;
}

uint64_t CheckReport::leftover_count() const {
  return total_problems() - damage_count();
}

uint64_t CheckReport::not_shown(const std::string& code) const {
  auto it = per_code.find(code);
  if (it == per_code.end()) return 0;
  uint64_t shown = 0;
  for (const auto& p : problems) shown += p.code == code;
  return it->second - shown;
}

namespace check {

std::string Hex(ByteSpan bytes, size_t max) {
  return HexBytes(bytes, max);
}

Checker::Checker(const Pager& pager, const DatabaseHeader& header, const TextCodec& text,
                 const Database* db, const CheckOptions& options)
    : pager_(pager),
      header_(header),
      layout_(LayoutFor(header.version)),
      text_(text),
      db_(db),
      options_(options) {
  page_count_ = pager.page_count();
  owners_.resize(page_count_);
  free_.assign(page_count_, 0);
  layout_checked_.assign(page_count_, 0);
  report_.format = FileFormatName(header.format);
  report_.page_size = layout_.page_size;
  report_.counts.pages = page_count_;
}

void Checker::Report(const char* code, const Where& where, std::string message) {
  uint64_t& count = report_.per_code[code];
  ++count;
  if (count > options_.max_per_code) return;
  CheckProblem p;
  p.code = code;
  p.severity = ProblemSeverity(code);
  p.message = std::move(message);
  p.page = where.page;
  p.row = where.row;
  p.entry = where.entry;
  if (where.table != 0) p.table = TableName(where.table);
  p.index = where.index;
  report_.problems.push_back(std::move(p));
}

std::string Checker::TableName(uint32_t table_page) const {
  auto it = table_names_.find(table_page);
  if (it != table_names_.end() && !it->second.empty()) return it->second;
  return "table at page " + std::to_string(table_page);
}

std::string Checker::OwnerText(const PageOwner& o) const {
  switch (o.kind) {
    case OwnerKind::kNone:
      return "nothing";
    case OwnerKind::kHeader:
      return "the database header";
    case OwnerKind::kGlobalMap:
      return "the global usage map";
    case OwnerKind::kTableDef:
      return "the definition of " + TableName(o.table);
    case OwnerKind::kMapRows:
      return "usage-map rows";
    case OwnerKind::kTableData:
      return "the data of " + TableName(o.table);
    case OwnerKind::kIndex:
      return "index #" + std::to_string(o.sub) + " of " + TableName(o.table);
    case OwnerKind::kLongValue:
      return "long values of column #" + std::to_string(o.sub) + " of " + TableName(o.table);
    case OwnerKind::kBitmap:
      return "a usage-map bitmap" +
             (o.table != 0 ? " of " + TableName(o.table) : std::string(" of the global maps"));
  }
  return "?";
}

namespace {

bool TypeFits(OwnerKind kind, uint8_t type) {
  switch (kind) {
    case OwnerKind::kHeader:
      return type == static_cast<uint8_t>(PageType::kHeader);
    case OwnerKind::kGlobalMap:
    case OwnerKind::kMapRows:
    case OwnerKind::kTableData:
    case OwnerKind::kLongValue:
      return type == static_cast<uint8_t>(PageType::kData);
    case OwnerKind::kTableDef:
      return type == static_cast<uint8_t>(PageType::kTableDef);
    case OwnerKind::kIndex:
      return type == static_cast<uint8_t>(PageType::kIndexNode) ||
             type == static_cast<uint8_t>(PageType::kIndexLeaf);
    case OwnerKind::kBitmap:
      return type == static_cast<uint8_t>(PageType::kUsageBitmap);
    case OwnerKind::kNone:
      return true;
  }
  return true;
}

}  // namespace

bool Checker::Claim(uint32_t page, const PageOwner& owner, const Where& where, const char* what) {
  if (page >= page_count_) {
    Where w = where;
    Report("page-out-of-range", w,
           std::string(what) + " names page " + std::to_string(page) +
               ", past the end of the file (" + std::to_string(page_count_) + " pages)");
    return false;
  }
  PageOwner& current = owners_[page];
  if (current.kind == OwnerKind::kNone) {
    current = owner;
    uint8_t type = pager_.PageOrThrow(page)[0];
    if (!TypeFits(owner.kind, type)) {
      Where w = where;
      w.page = page;
      w.row.reset();
      Report("page-type-mismatch", w,
             "page " + std::to_string(page) + " belongs to " + OwnerText(owner) + " (" + what +
                 ") but has page type 0x" + Hex(ByteSpan(&type, 1)));
    }
    return true;
  }
  if (current == owner) return true;
  if (current.kind == OwnerKind::kMapRows && owner.kind == OwnerKind::kMapRows) return true;
  // One report per page and second owner, however often it is reached.
  uint64_t second = (static_cast<uint64_t>(owner.kind) << 56) |
                    (static_cast<uint64_t>(owner.table & 0xFFFFFF) << 32) | owner.sub;
  if (!double_claims_.insert({page, second}).second) return true;
  Where w = where;
  w.page = page;
  w.row.reset();
  Report("page-double-owner", w,
         "page " + std::to_string(page) + " is claimed by " + OwnerText(current) + " and by " +
             OwnerText(owner) + " (" + what + ")");
  return true;
}

const DataPage* Checker::DataPageAt(uint32_t page, const Where& where) {
  auto it = data_pages_.find(page);
  if (it != data_pages_.end()) return &it->second;
  if (undecodable_pages_.count(page)) return nullptr;
  if (page >= page_count_) return nullptr;
  auto decoded = DecodeDataPage(pager_.PageOrThrow(page), layout_, page);
  if (!decoded.ok()) {
    Where w = where;
    w.page = page;
    w.row.reset();
    Report("data-page-invalid", w, decoded.error().description());
    undecodable_pages_.insert(page);  // reported once
    return nullptr;
  }
  const DataPage* dp = &data_pages_.emplace(page, std::move(decoded.value())).first->second;
  if (!layout_checked_[page]) {
    layout_checked_[page] = 1;
    CheckDataPageLayout(*dp, where);
  }
  return dp;
}

void Checker::CheckDataPageLayout(const DataPage& dp, const Where& where) {
  Where w = where;
  w.page = dp.number;
  w.row.reset();
  ByteSpan page = pager_.PageOrThrow(dp.number);
  if (page[1] != 0x01) {
    Report("data-page-invalid", w, "second header byte is " + std::to_string(page[1]) + ", not 1");
  }
  if (dp.slots.size() > kRowPointerSlots) {
    Report("data-page-invalid", w,
           std::to_string(dp.slots.size()) + " row slots; row pointers address at most " +
               std::to_string(kRowPointerSlots) + " (rows past " +
               std::to_string(kRowPointerSlots - 1) + " are not read)");
  }
  // Rows are packed down from the end of the page; the free space is the gap
  // between the row-offset table and the lowest row.
  const SlotTable slots(page, layout_);
  const uint32_t n = slots.count();
  const uint32_t table_end = slots.table_end();
  const uint32_t lowest = slots.lowest_row_start();
  if (dp.free_space != lowest - table_end) {
    Report("data-page-free-space", w,
           "free-space field " + std::to_string(dp.free_space) +
               ", but the gap between the row-offset table and the lowest row is " +
               std::to_string(lowest - table_end) + " bytes");
  }
  for (uint32_t i = 0; i < n; ++i) {
    const RowSlot& s = dp.slots[i];
    if (s.in_bounds) continue;
    // Deleted slots too: Access leaves them zero-length at the row below.
    Where wr = w;
    wr.row = i;
    char flags[8];
    std::snprintf(flags, sizeof flags, "%04X", s.flags());
    Report("row-slot-invalid", wr,
           "row offset " + std::to_string(s.start) + " (flags 0x" + flags +
               ") lies outside the row area " + std::to_string(table_end) + ".." +
               std::to_string(s.end));
  }
}

std::optional<UsageMap> Checker::ReadMap(RowPointer pointer, uint32_t table, const Where& where,
                                         const std::string& what) {
  Where w = where;
  w.page = pointer.page;
  w.row = pointer.row;
  if (!Claim(pointer.page, PageOwner{OwnerKind::kMapRows, 0, 0}, where, what.c_str())) {
    return std::nullopt;
  }
  ByteSpan page = pager_.PageOrThrow(pointer.page);
  if (page[0] != static_cast<uint8_t>(PageType::kData)) return std::nullopt;  // reported by Claim
  const DataPage* dp = DataPageAt(pointer.page, w);
  if (dp == nullptr) return std::nullopt;
  if (dp->owner != 0) {
    Report("map-page-owner", w,
           what + " lies on page " + std::to_string(pointer.page) + ", whose owner field is " +
               std::to_string(dp->owner) + " (pages of usage-map rows have owner 0)");
  }
  if (pointer.row >= dp->slots.size()) {
    Report("usage-map-invalid", w,
           what + " names row " + std::to_string(pointer.row) + " of page " +
               std::to_string(pointer.page) + ", which has " + std::to_string(dp->slots.size()) +
               " rows");
    return std::nullopt;
  }
  const RowSlot& slot = dp->slots[pointer.row];
  if (slot.deleted() || slot.lookup()) {
    Report("usage-map-invalid", w, what + " is stored in a deleted or moved row slot");
    return std::nullopt;
  }
  auto map = ReadUsageMap(pager_, layout_, pointer);
  if (!map.ok()) {
    Report("usage-map-invalid", w, what + ": " + map.error().description());
    return std::nullopt;
  }
  for (uint32_t bitmap : map.value().bitmap_pages) {
    if (bitmap != 0) {
      Claim(bitmap, PageOwner{OwnerKind::kBitmap, table, 0}, w, "a reference usage map");
    }
  }
  return std::move(map.value());
}

void Checker::CheckHeader() {
  Where w;
  w.page = 0;
  if (pager_.trailing_bytes() != 0) {
    Report("file-size", w,
           "the file ends " + std::to_string(pager_.trailing_bytes()) +
               " bytes into a page: its length is not a multiple of the page size (" +
               std::to_string(layout_.page_size) + ")");
  }
  const std::vector<uint8_t>& h = header_.unmasked;
  if (h.size() < 0x20 || h[1] != 0x01 || h[2] != 0 || h[3] != 0) {
    Report("header-invalid", w,
           "page 0 starts " + Hex(ByteSpan(h.data(), std::min<size_t>(4, h.size()))) +
               " instead of 00 01 00 00");
  }
  const char* name = IsAce(header_.format) ? "Standard ACE DB" : "Standard Jet DB";
  if (h.size() < 0x15 || std::memcmp(h.data() + 4, name, 15) != 0 || h[0x13] != 0) {
    Report("header-invalid", w,
           std::string("page 0 does not carry the engine name \"") + name + "\"");
  }
  if (page_count_ < 3) {
    Report("file-too-short", w,
           "the file holds " + std::to_string(page_count_) +
               " whole pages; a database has at least the header, the global usage map and "
               "the catalog definition (3 pages)");
    return;
  }
  Claim(0, PageOwner{OwnerKind::kHeader, 0, 0}, w, "the database header");
}

void Checker::CheckHeaderFields() {
  Where w;
  w.page = 0;
  for (const HeaderDisagreement& d : JudgeHeaderFields(pager_, layout_, header_, census_.type)) {
    Report(
        d.field == HeaderDisagreement::Field::kCodePage ? "header-code-page" : "header-sort-order",
        w, d.Describe());
  }
}

void Checker::CheckAlteredRows() {
  if (db_ == nullptr) return;
  auto found = FindAlteredRows(*db_, AlteredScope::kEveryIndex, keys_agree_);
  if (!found.ok()) return;
  for (const AlteredRow& r : found.value()) {
    if (!r.row_changed()) continue;  // index-key-mismatch tells of it
    Where w;
    w.table = r.table;
    w.page = r.row.page;
    w.row = r.row.row;
    Report("row-value-altered", w,
           "the row's values changed after its indexes were written: " + r.Describe());
  }
}

void Checker::CheckGlobalMap() {
  Where w;
  w.page = 1;
  Claim(1, PageOwner{OwnerKind::kGlobalMap, 0, 0}, w, "the global usage map");
  const DataPage* dp = DataPageAt(1, w);
  if (dp == nullptr) return;
  if (dp->owner != 1) {
    Report("global-map-invalid", w,
           "page 1 has owner field " + std::to_string(dp->owner) + " instead of 1");
  }
  for (uint8_t row = 0; row < 2 && row < dp->slots.size(); ++row) {
    Where wr = w;
    wr.row = row;
    if (dp->slots[row].deleted() || !dp->slots[row].in_bounds) {
      Report("global-map-invalid", wr,
             "row " + std::to_string(row) + " of page 1 is not a live row");
      continue;
    }
    auto map = ReadUsageMap(pager_, layout_, RowPointer{1, row});
    if (!map.ok()) {
      Report("global-map-invalid", wr, map.error().description());
      continue;
    }
    const std::vector<uint32_t>& bitmaps = map.value().bitmap_pages;
    for (size_t i = 0; i < bitmaps.size(); ++i) {
      if (bitmaps[i] == 0) continue;
      if (bitmaps[i] >= page_count_) {
        Report("global-map-invalid", wr,
               "reference map pointer #" + std::to_string(i) + " names page " +
                   std::to_string(bitmaps[i]) + ", past the end of the file (" +
                   std::to_string(page_count_) + " pages)");
        continue;
      }
      Claim(bitmaps[i], PageOwner{OwnerKind::kBitmap, 0, 0}, wr, "a global usage map");
    }
    if (row != 0) continue;
    const UsageMap& m = map.value();
    have_global_map_ = true;
    for (uint32_t p : m.pages) free_[p] = 1;
    report_.counts.free_pages = static_cast<uint32_t>(m.pages.size());
    // The bits an inline map has for pages past the end of the file mark
    // them free.
    uint64_t covered_end = static_cast<uint64_t>(m.start_page) + m.pages_covered;
    if (m.type == 0 && covered_end > page_count_) {
      uint64_t beyond = covered_end - page_count_;
      if (m.start_page > page_count_) beyond = m.pages_covered;
      if (m.pages_beyond_file != beyond) {
        Report("global-map-tail", wr,
               "the global usage map covers " + std::to_string(beyond) +
                   " pages past the end of the file but marks only " +
                   std::to_string(m.pages_beyond_file) + " of them free");
      }
    }
  }
  if (dp->slots.empty()) Report("global-map-invalid", w, "page 1 holds no rows");
}

void Checker::CheckPageOwnership() {
  // Pages nothing owns and the global map does not mark free are reported
  // in runs of consecutive pages of the same kind.
  struct Orphan {
    const char* code = nullptr;
    std::string kind;    // what the pages are
    uint32_t table = 0;  // the table their owner field names, if known
    bool operator==(const Orphan& o) const { return kind == o.kind && table == o.table; }
  };
  std::optional<Orphan> run;
  uint32_t run_start = 0, run_length = 0;
  auto flush = [&] {
    if (!run) return;
    Where w;
    w.page = run_start;
    w.table = run->table;
    std::string pages = run_length == 1
                            ? "page " + std::to_string(run_start)
                            : std::to_string(run_length) + " pages " + std::to_string(run_start) +
                                  " to " + std::to_string(run_start + run_length - 1);
    Report(run->code, w,
           pages + " (" + run->kind +
               "): owned by no structure and not marked free in the global usage map");
    run.reset();
    run_length = 0;
  };
  for (uint32_t p = 0; p < page_count_; ++p) {
    const PageOwner& owner = owners_[p];
    bool is_free = free_[p] != 0;
    if (owner.kind != OwnerKind::kNone || is_free || !have_global_map_) {
      flush();
      if (owner.kind != OwnerKind::kNone && is_free) {
        Where w;
        w.page = p;
        w.table = owner.table;
        Report("page-owned-but-free", w,
               "page " + std::to_string(p) + " belongs to " + OwnerText(owner) +
                   " but is marked free in the global usage map");
      }
      continue;
    }
    ByteSpan page = pager_.PageOrThrow(p);
    uint8_t type = page[0];
    uint32_t owner_field = SlotTable(page, layout_).owner();
    bool known_table = table_names_.count(owner_field) != 0;
    Orphan o;
    o.code = "page-orphan";
    if (std::all_of(page.begin(), page.end(), [](uint8_t b) { return b == 0; })) {
      o.kind = "all bytes zero";
    } else if (type == static_cast<uint8_t>(PageType::kData) && owner_field == kLvalOwner) {
      o.code = "lv-page-unreferenced";
      o.kind = "LVAL pages in no column's map, referenced by no live row";
    } else if (type == static_cast<uint8_t>(PageType::kTableDef)) {
      o.code = "tdef-unreferenced";
      o.kind = "table definition pages no catalog table leads to";
    } else if (type == static_cast<uint8_t>(PageType::kData) && known_table &&
               unmapped_with_rows_.count(p)) {
      o.code = "data-page-unmapped";
      o.kind = "data pages naming " + TableName(owner_field) +
               " as owner, with rows the table has nowhere else, missing from its "
               "owned-pages map";
      o.table = owner_field;
    } else if (type == static_cast<uint8_t>(PageType::kData) && known_table) {
      o.code = "usage-map-disagrees";
      o.kind = "data pages naming " + TableName(owner_field) +
               " as owner, missing from its owned-pages map, no row lost";
      o.table = owner_field;
    } else if ((type == static_cast<uint8_t>(PageType::kIndexNode) ||
                type == static_cast<uint8_t>(PageType::kIndexLeaf)) &&
               known_table) {
      o.kind = "index pages of " + TableName(owner_field) + " reachable from none of its indexes";
      o.table = owner_field;
    } else {
      o.kind = "page type 0x" + Hex(ByteSpan(&type, 1)) + ", " + std::string(PageTypeName(type));
    }
    if (run && *run == o && run_start + run_length == p) {
      ++run_length;
      continue;
    }
    flush();
    run = o;
    run_start = p;
    run_length = 1;
  }
  flush();
}

void Checker::CollectDataPageOwners() {
  census_ = TakeCensus(pager_, layout_, layout_.page_size);
  for (uint32_t p = 0; p < page_count_; ++p) {
    if (census_.type[p] != static_cast<uint8_t>(PageType::kData)) continue;
    uint32_t owner = census_.owner[p];
    if (owner == 0 || owner == kLvalOwner || owner >= page_count_) continue;
    data_pages_by_owner_[owner].push_back(p);
  }
}

CheckReport Checker::Run() {
  CheckHeader();
  if (page_count_ >= 3) {
    CollectDataPageOwners();
    CheckHeaderFields();
    CheckGlobalMap();
    CheckCatalog();
    CheckCrossReferences();
    CheckComplexColumns();
    CheckPageOwnership();
    CheckAlteredRows();
  }
  return std::move(report_);
}

}  // namespace check

Result<CheckReport> CheckDatabase(std::unique_ptr<FileSource> source, const CheckOptions& options) {
  auto header = DecodeHeader(source->bytes());
  if (!header.ok()) return header.error();
  const DatabaseHeader& h = header.value();
  // The full reader is used for memo values in index keys, and its pages are
  // the ones checked. A file whose catalog it cannot load is still checked,
  // without those, on pages opened here (opening them checks the password).
  // The reader opens its pages the same way, so they are opened a second
  // time (an encrypted file's key derived again) only when it fails.
  auto db = Database::Open(FileSource::FromSpan(source->bytes()), OpenOptions{options.password});
  const Database* reader = db.ok() ? db.value().get() : nullptr;
  std::unique_ptr<Pager> own_pages;
  if (reader == nullptr) {
    auto opened = OpenPages(FileSource::FromSpan(source->bytes()), h, options.password);
    if (!opened.ok()) return opened.error();
    own_pages = std::move(opened.value());
  }
  const Pager& pager = reader != nullptr ? reader->pager() : *own_pages;
  TextCodec text(h.version, h.code_page);
  check::Checker checker(pager, h, text, reader, options);
  try {
    return checker.Run();
  } catch (EngineFailure& failure) {
    // The parts report damage as problems; an escape here is a fault of the
    // checker itself, reported as an error rather than a false "0 problems".
    return failure.error;
  } catch (std::bad_alloc&) {
    return Error(ErrorCode::kDamaged, "out of memory while checking the database");
  }
}

Result<CheckReport> CheckDatabase(const std::string& path, const CheckOptions& options) {
  auto source = FileSource::OpenFile(path);
  if (!source.ok()) return source.error();
  return CheckDatabase(std::move(source.value()), options);
}

std::string FormatCheckReport(const CheckReport& r) {
  std::string out;
  for (const CheckProblem& p : r.problems) {
    out += p.code;
    if (p.severity == Severity::kLeftover) out += " (leftover)";
    out += ':';
    if (!p.table.empty()) out += " table \"" + p.table + "\"";
    if (!p.index.empty()) out += " index \"" + p.index + "\"";
    if (p.page) out += " page " + std::to_string(*p.page);
    if (p.row) out += " row " + std::to_string(*p.row);
    if (p.entry) out += " entry " + std::to_string(*p.entry);
    out += ": " + p.message + "\n";
  }
  for (const auto& [code, count] : r.per_code) {
    uint64_t hidden = r.not_shown(code);
    if (hidden > 0) out += "... and " + std::to_string(hidden) + " more " + code + " problems\n";
  }
  const CheckCounts& c = r.counts;
  out += "checked: " + r.format + ", " + std::to_string(r.page_size) + "-byte pages, " +
         std::to_string(c.pages) + " pages (" + std::to_string(c.free_pages) + " free)\n";
  out += "tables: " + std::to_string(c.tables) + ", rows: " + std::to_string(c.rows) +
         " (overflow " + std::to_string(c.overflow_rows) +
         "), long values outside rows: " + std::to_string(c.long_values) + "\n";
  out += "indexes: " + std::to_string(c.indexes) +
         ", index entries: " + std::to_string(c.index_entries) +
         " (keys verified: " + std::to_string(c.keys_verified) +
         ", not verifiable: " + std::to_string(c.keys_not_verifiable) +
         ", other sort order: " + std::to_string(c.keys_other_sort_order) +
         ", values not encodable: " + std::to_string(c.keys_invalid_value) + ")\n";
  out += std::to_string(r.total_problems()) + (r.total_problems() == 1 ? " problem" : " problems");
  if (r.total_problems() != 0) {
    const uint64_t leftovers = r.leftover_count();
    out += " (" + std::to_string(r.damage_count()) + " damage, " + std::to_string(leftovers) +
           (leftovers == 1 ? " leftover)" : " leftovers)");
  }
  out += "\n";
  return out;
}

}  // namespace engine
