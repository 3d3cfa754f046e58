// RepairDatabase: the tolerant reading turned into a source the compactor
// can take. The salvaged file is mended in an image (pages left alone read
// from the source's mapping, pages written kept in a temp file, so memory
// does not grow with the file): page 0 as the tolerant reader settled it;
// every table that lost anything gets its kept rows packed onto fresh pages
// at the end, a fresh page map and its definition pointed at it; the
// catalog drops the rows of tables whose definition is lost and gains rows
// for tables found without one. Tables that read whole are left byte for
// byte, so the compactor copies them as it copies any file.
#include "engine/repair.h"

#include <unistd.h>

#include <algorithm>
#include <bitset>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <list>
#include <map>
#include <optional>
#include <set>
#include <span>

#include "base/bytes.h"
#include "check/altered_values.h"
#include "compact/compactor.h"
#include "compact/sort_order_fallback.h"
#include "format/data_page.h"
#include "format/header.h"
#include "format/row.h"
#include "format/table_def.h"
#include "io/cipher.h"
#include "reader/database.h"
#include "repair/error_table.h"
#include "repair/loss_spill.h"
#include "repair/mended_image.h"
#include "repair/repair_keys.h"
#include "writer/data_page_builder.h"
#include "writer/external_sorter.h"
#include "writer/file_sink.h"

namespace engine {

bool RepairResult::lost_anything() const {
  return std::any_of(losses.begin(), losses.end(), [](const LossRecord& r) {
    return r.kind != LossKind::kHeader && r.kind != LossKind::kTableName &&
           r.kind != LossKind::kCatalogDefinition;
  });
}

namespace {

// The few plain pages a mending pass is looking at, most recent first; a
// page changed in place goes back to the image when it leaves. References
// from Get stay valid until two more pages were asked for.
class PageCache {
 public:
  explicit PageCache(MendedImage& image) : image_(image) {}
  ~PageCache() { Clear(); }
  std::vector<uint8_t>& Get(uint32_t n) {
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
      if (it->number == n) {
        entries_.splice(entries_.begin(), entries_, it);
        return entries_.front().plain;
      }
    }
    if (entries_.size() >= kCapacity) {
      Release(entries_.back());
      entries_.pop_back();
    }
    entries_.push_front(Entry{n, image_.Plain(n), false});
    return entries_.front().plain;
  }
  void Changed(uint32_t n) {
    for (Entry& e : entries_) {
      if (e.number == n) e.changed = true;
    }
  }
  void Clear() {
    for (Entry& e : entries_) Release(e);
    entries_.clear();
  }

 private:
  struct Entry {
    uint32_t number;
    std::vector<uint8_t> plain;
    bool changed;
  };
  void Release(Entry& e) {
    if (e.changed) image_.Store(e.number, std::move(e.plain));
    e.changed = false;
  }
  static constexpr size_t kCapacity = 8;
  MendedImage& image_;
  std::list<Entry> entries_;
};

// A catalog row for a table found without one.
// `date`: its DateCreate and DateUpdate.
Result<std::vector<uint8_t>> CatalogRow(const TableDef& catalog, const Layout& L,
                                        const SalvagedTable& table, double date) {
  RowParts parts;
  parts.column_count = catalog.max_cols;
  parts.var_part = catalog.num_var_cols > 0;
  parts.vars.resize(catalog.num_var_cols);
  parts.null_mask.assign((catalog.max_cols + 7) / 8, 0);
  size_t fixed_end = 0;
  for (const ColumnDef& c : catalog.columns) {
    if (!c.fixed() || c.is_boolean()) continue;
    size_t size = FixedTypeSize(c.type);
    if (size == 0) size = c.length;
    fixed_end = std::max<size_t>(fixed_end, c.fixed_offset + size);
  }
  parts.fixed.assign(fixed_end, 0);
  auto put = [&](const char* name, const std::vector<uint8_t>& value) {
    const ColumnDef* c = catalog.FindColumn(name);
    if (c == nullptr) return;
    if (c->fixed()) {
      if (c->fixed_offset + value.size() > parts.fixed.size()) return;
      std::memcpy(parts.fixed.data() + c->fixed_offset, value.data(), value.size());
    } else if (c->var_index < parts.vars.size()) {
      parts.vars[c->var_index] = value;
    } else {
      return;
    }
    parts.null_mask[c->number / 8] |= static_cast<uint8_t>(1u << (c->number % 8));
  };
  auto le32 = [](uint32_t v) {
    std::vector<uint8_t> b(4);
    Put32(b.data(), v);
    return b;
  };
  put("Id", le32(table.page));
  put("ParentId", le32(0x0F000001u));
  std::vector<uint8_t> name;
  for (char ch : table.name) {
    name.push_back(static_cast<uint8_t>(ch));
    if (L.version == JetVersion::kJet4) name.push_back(0);
  }
  put("Name", name);
  put("Type", {1, 0});
  put("Flags", le32(table.page == 2 ? 0x80000000u : 0));
  std::vector<uint8_t> stamp(8);
  std::memcpy(stamp.data(), &date, 8);
  put("DateCreate", stamp);
  put("DateUpdate", stamp);
  return EncodeRow(L, parts);
}

int32_t CatalogId(const TableDef& catalog, const RowValues& row) {
  for (size_t k = 0; k < catalog.columns.size(); ++k) {
    if (catalog.columns[k].name == "Id" && row.fields[k].present &&
        row.fields[k].bytes.size() == 4) {
      return static_cast<int32_t>(Le32(row.fields[k].bytes.data()));
    }
  }
  return 0;
}

int16_t CatalogType(const TableDef& catalog, const RowValues& row) {
  for (size_t k = 0; k < catalog.columns.size(); ++k) {
    if (catalog.columns[k].name != "Type" || !row.fields[k].present) continue;
    const ByteSpan b = row.fields[k].bytes;
    if (b.size() == 2) return static_cast<int16_t>(Le16(b.data()));
    if (b.size() == 4) return static_cast<int16_t>(Le32(b.data()));
  }
  return 0;
}

// The row locations a reader hands over, in order, as a count and a digest.
struct LocationDigest {
  uint64_t count = 0;
  uint64_t hash = 0xCBF29CE484222325ull;
  void Add(uint32_t location) {
    ++count;
    for (int i = 0; i < 4; ++i) {
      hash ^= (location >> (8 * i)) & 0xFF;
      hash *= 0x100000001B3ull;
    }
  }
  bool operator==(const LocationDigest&) const = default;
};

bool IsDataLoss(LossKind kind) {
  return kind != LossKind::kHeader && kind != LossKind::kTableName &&
         kind != LossKind::kCatalogDefinition && kind != LossKind::kSortOrder &&
         kind != LossKind::kDefinition;
}

Status ReadBack(const std::string& path, const std::string& password, const CompactStats& stats) {
  auto copy = Database::Open(path, OpenOptions{.password = password});
  if (!copy.ok()) {
    return Error(ErrorCode::kIoError,
                 "the repaired copy does not read back: " + copy.error().description());
  }
  uint64_t rows = 0;
  for (const CatalogObject* t : copy.value()->tables()) {
    auto def = copy.value()->ReadTableDef(t->table_page());
    if (!def.ok()) {
      return Error(ErrorCode::kIoError, "the repaired copy does not read back: table " + t->name +
                                            ": " + def.error().description());
    }
    Status st = copy.value()->ScanRows(def.value(), [&](const RowRef&) {
      ++rows;
      return true;
    });
    if (!st.ok()) {
      return Error(ErrorCode::kIoError, "the repaired copy does not read back: table " + t->name +
                                            ": " + st.error().description());
    }
  }
  if (rows != stats.rows) {
    return Error(ErrorCode::kIoError, "the repaired copy reads back " + std::to_string(rows) +
                                          " rows instead of " + std::to_string(stats.rows));
  }
  return Status::Ok();
}

// A row a mended table gains, on a fresh page of its own builder.
Result<RowPointer> AddRow(DataPageBuilder& rows, const Layout& L, ByteSpan row) {
  if (row.size() > MaxDataRowSize(L)) {
    return Damaged("a row of " + std::to_string(row.size()) + " bytes does not fit a page");
  }
  return rows.Add(row);
}

// One repair, phase by phase: Run calls them in order and stops at the
// first error, removing the partial destination.
class Repair {
 public:
  Repair(const std::string& source, const std::string& destination, const RepairOptions& options)
      : source_(source), destination_(destination), options_(options) {}

  Result<RepairResult> Run() {
    if (Status st = OpenAndSalvage(); !st.ok()) return st.error();
    if (Status st = CreateDestination(); !st.ok()) return st.error();
    Status st = CreateImage();
    if (st.ok()) st = FindDamagedTables();
    if (st.ok()) st = MendDamagedTables();
    if (st.ok()) st = UnlinkLostPartners();
    if (st.ok()) st = LearnCodes();
    if (st.ok()) st = FindSortOrderFallbacks();
    if (st.ok()) st = ListAlteredRows();
    if (st.ok()) st = ErrorTableRowKeys();
    if (st.ok()) st = ListLosses();
    Result<CompactStats> stats =
        st.ok() ? CompactIntoDestination() : Result<CompactStats>(st.error());
    if (!stats.ok()) {
      sink_->Abandon();
      return stats.error();
    }
    if (Status read = ReadBack(destination_, options_.password, stats.value()); !read.ok()) {
      ::unlink(destination_.c_str());
      return read.error();
    }
    result_.stats = stats.value();
    result_.counts = salvager_->counts();
    return std::move(result_);
  }

 private:
  // Losses keep their bytes in memory up to a budget; the rest go to a
  // spill file the report is written from.
  void KeepLoss(LossRecord r) {
    uint64_t bytes = r.raw.size();
    for (const auto& v : r.long_values) bytes += v.first.size() + v.second.size();
    if (bytes > 0 && loss_bytes_ + bytes > options_.loss_bytes_in_memory && spill_status_.ok()) {
      if (!spill_) {
        auto made = LossSpill::Create(TempDirBeside(destination_));
        if (made.ok()) {
          spill_ = made.value();
          result_.spill = spill_;
        } else {
          spill_status_ = made.error();
        }
      }
      if (spill_) spill_status_ = spill_->Spill(r);
    }
    if (!r.spilled) loss_bytes_ += bytes;
    result_.losses.push_back(std::move(r));
  }

  // The tolerant reading of the source; the catalog's definition must be
  // among what it found.
  Status OpenAndSalvage() {
    SalvageOptions so;
    so.password = options_.password;
    so.progress = options_.progress;
    auto opened = Salvager::Open(source_, so, [&](const LossRecord& r) { KeepLoss(r); });
    if (!opened.ok()) return opened.error();
    salvager_ = std::move(opened.value());
    result_.header_rebuilt = salvager_->header_rebuilt();
    for (const SalvagedTable& t : salvager_->tables()) {
      if (t.page == 2) catalog_ = &t;
    }
    if (catalog_ == nullptr) {
      return Damaged("the catalog's own definition (page 2) is lost: no table can be named");
    }
    return Status::Ok();
  }

  Status CreateDestination() {
    auto file = FilePageSink::Create(destination_, salvager_->layout(),
                                     salvager_->header().database_key, salvager_->pager().cipher());
    if (!file.ok()) return file.error();
    sink_ = std::move(file.value());
    return Status::Ok();
  }

  // The image of the source, page 0 as the tolerant reader settled it and a
  // rebuilt catalog definition in place of a lost page 2.
  Status CreateImage() {
    const Layout& L = salvager_->layout();
    const DatabaseHeader& header = salvager_->header();
    auto created = MendedImage::Create(salvager_->pager().source(), L, header.database_key,
                                       TempDirBeside(destination_), salvager_->pager().cipher());
    if (!created.ok()) return created.error();
    image_ = std::move(created.value());
    std::vector<uint8_t> page0 = header.unmasked;
    page0.resize(L.page_size, 0);
    Put32(page0.data() + 0x3E, header.database_key);
    ApplyHeaderMask(page0.data(), page0.size(), header.version);
    image_->Store(0, std::move(page0));
    if (salvager_->catalog_rebuilt()) {
      std::vector<uint8_t> page2 = catalog_->def.raw;
      page2.resize(L.page_size, 0);
      image_->Store(2, std::move(page2));
    }
    for (const SalvagedTable& t : salvager_->tables()) {
      if (!t.definition_mended || (t.page == 2 && salvager_->catalog_rebuilt())) continue;
      if (Status st = StoreDefinition(t.def); !st.ok()) return st;
    }
    return image_->status();
  }

  // A definition the tolerant reader set right, written over its pages (a
  // longer one continues on fresh pages).
  Status StoreDefinition(const TableDef& def) {
    const Layout& L = salvager_->layout();
    std::vector<uint32_t> pages = def.pages;
    const size_t needed = TableDefPageCount(static_cast<uint32_t>(def.raw.size()), L.page_size);
    if (pages.size() > needed) pages.resize(needed);
    const size_t stored = pages.size();
    while (pages.size() < needed) pages.push_back(image_->sink().AllocatePage());
    std::vector<std::vector<uint8_t>> split = SplitTableDef(def.raw, pages, L);
    for (size_t i = 0; i < split.size(); ++i) {
      if (i < stored) {
        image_->Store(pages[i], std::move(split[i]));
      } else if (Status st = image_->sink().WritePage(pages[i], split[i]); !st.ok()) {
        return st;
      }
    }
    return image_->status();
  }

  // Which tables read whole: the strict reader gives the very rows the
  // tolerant one kept, and nothing of them was reported. The row locations
  // are compared by count and digest, not kept. The others are damaged.
  Status FindDamagedTables() {
    Salvager& sv = *salvager_;
    std::map<uint32_t, LocationDigest> kept;  // table page -> row locations kept
    for (const SalvagedTable& t : sv.tables()) {
      auto& locations = kept[t.page];
      Status st = sv.ScanRows(t, [&](const RowValues& row) {
        locations.Add(row.location.ToLe());
        return true;
      });
      if (!st.ok()) return st;
    }
    for (const LossRecord& r : result_.losses) {
      if (!IsDataLoss(r.kind)) continue;
      if (r.kind == LossKind::kTable) {
        lost_tables_.insert(r.table);
      } else if (r.kind == LossKind::kCatalogRow) {
        damaged_.insert(2);
      } else if (r.table != 0) {
        damaged_.insert(r.table);
      }
    }
    for (const SalvagedTable& t : sv.tables()) {
      if (t.name_made_up || !t.catalog) made_up_.push_back(&t);
    }
    if (!made_up_.empty() || !lost_tables_.empty() || sv.catalog_rebuilt()) damaged_.insert(2);
    if (!image_->status().ok()) return image_->status();
    auto strict = Database::Open(image_->Source(), OpenOptions{.password = options_.password});
    for (const SalvagedTable& t : sv.tables()) {
      if (damaged_.count(t.page)) continue;
      if (!strict.ok()) {
        damaged_.insert(t.page);
        continue;
      }
      LocationDigest locations;
      Status st = strict.value()->ScanRows(t.def, [&](const RowRef& ref) {
        locations.Add(ref.location.ToLe());
        return true;
      });
      if (!st.ok() || locations != kept[t.page]) damaged_.insert(t.page);
    }
    return Status::Ok();
  }

  // Mend each damaged table where it lies, so its rows keep their places
  // (and the keys the source's indexes hold for them): rows not kept are
  // marked deleted on the pages of kept rows, a long value left NULL loses
  // its null-mask bit, and a fresh map lists exactly those pages. A kept row
  // whose slot the strict reader would bound otherwise moves to a fresh page.
  Status MendDamagedTables() {
    for (const SalvagedTable& t : salvager_->tables()) {
      if (!damaged_.count(t.page)) continue;
      if (options_.progress && !options_.progress(Progress{"mending", t.name, 0, 0})) {
        return Error(ErrorCode::kInvalidArgument, "cancelled");
      }
      if (Status st = MendTable(t); !st.ok()) return st;
    }
    return Status::Ok();
  }

  // What mending one table keeps track of.
  struct TableMend {
    TableMend(MendedImage& image, uint32_t owner) : cache(image), moved(image.sink(), owner) {}
    // Slots kept, by page; a few plain pages are cached while rows are
    // looked at, changed ones going back to the image as they leave.
    std::map<uint32_t, std::bitset<256>> keep;
    PageCache cache;
    DataPageBuilder moved;  // rows that leave their place, and catalog rows gained
    uint64_t kept_rows = 0;
    // The catalog's latest change date: the date of rows it gains, so a
    // repair of the same file gives the same bytes.
    std::optional<double> latest_change;
    std::vector<uint8_t> moved_row;  // a row being moved, as it will be stored
  };

  Status MendTable(const SalvagedTable& t) {
    TableMend mend(*image_, t.page);
    Status st = KeepRows(t, mend);
    if (st.ok() && t.page == 2) st = AddMadeUpCatalogRows(t, mend);
    if (st.ok()) st = mend.moved.Finish();
    mend.cache.Clear();
    if (st.ok()) st = image_->status();
    if (!st.ok()) {
      return Error(st.error().number(), "table " + t.name + ": " + st.error().description());
    }
    std::vector<uint32_t> listed = mend.moved.page_numbers();
    MarkSlotsNotKept(t, mend.keep, listed);
    return PointAtFreshMap(t, listed, mend.kept_rows);
  }

  // Every row the tolerant reader kept, left where it is or moved.
  Status KeepRows(const SalvagedTable& t, TableMend& mend) {
    const ColumnDef* date_column = t.page == 2 ? t.def.FindColumn("DateUpdate") : nullptr;
    Status inner;
    Status st = salvager_->ScanRows(t, [&](const RowValues& r) {
      if (t.page == 2 && LeavesCatalog(t, date_column, r, mend)) return true;
      inner = KeepRow(t, r, mend);
      return inner.ok();
    });
    return st.ok() ? inner : st;
  }

  // For a catalog row: notes its change date, and whether it names a table
  // whose definition is lost (it leaves the catalog with it).
  bool LeavesCatalog(const SalvagedTable& t, const ColumnDef* date_column, const RowValues& r,
                     TableMend& mend) const {
    if (date_column != nullptr) {
      for (size_t k = 0; k < t.def.columns.size(); ++k) {
        if (&t.def.columns[k] != date_column || !r.fields[k].present ||
            r.fields[k].bytes.size() != 8) {
          continue;
        }
        double d;
        std::memcpy(&d, r.fields[k].bytes.data(), 8);
        if (std::isfinite(d) && (!mend.latest_change || d > *mend.latest_change)) {
          mend.latest_change = d;
        }
      }
    }
    uint32_t id = static_cast<uint32_t>(CatalogId(t.def, r));
    if ((id & 0xFF000000u) != 0) return CatalogType(t.def, r) == kObjectTable;
    return lost_tables_.count(id);
  }

  // One kept row: left where the strict reader finds it when its bytes are
  // the ones kept (a long value left NULL losing its null-mask bit), else
  // moved to a fresh page.
  Status KeepRow(const SalvagedTable& t, const RowValues& r, TableMend& mend) {
    const Layout& L = salvager_->layout();
    auto page_of = [&](uint32_t n) -> std::vector<uint8_t>& { return mend.cache.Get(n); };
    // The bytes the strict reader takes for slot `p` of a plain page.
    auto strict_span = [&](std::vector<uint8_t>& page, RowPointer p) -> std::span<uint8_t> {
      const SlotTable slots(page, L);
      if (!slots.has(p.row)) return {};
      // (A start inside the offset table is the strict reader's to refuse.)
      const uint32_t start = slots.start(p.row), end = slots.end(p.row);
      if (start > end || end > L.page_size) return {};
      return std::span<uint8_t>(page.data() + start, end - start);
    };
    ++mend.kept_rows;
    // Where the strict reader finds the row's bytes.
    std::vector<uint8_t>& home = page_of(r.location.page);
    RowPointer data = r.location;
    if (SlotTable(home, L).lookup(r.location.row)) {
      std::span<uint8_t> pointer = strict_span(home, r.location);
      if (pointer.size() >= 4) data = RowPointer::FromLe(Le32(pointer.data()));
    }
    if (data.page >= image_->page_count()) data = r.location;
    std::span<uint8_t> bytes = strict_span(page_of(data.page), data);
    const bool in_place =
        bytes.size() == r.stored.size() && std::equal(bytes.begin(), bytes.end(), r.stored.begin());
    std::vector<uint8_t>& row = mend.moved_row;
    std::span<uint8_t> target = bytes;
    if (!in_place) {
      row.assign(r.stored.begin(), r.stored.end());
      target = row;
    }
    // A long value left NULL: its null-mask bit goes.
    const size_t count = L.row_count_size == 1 ? target[0] : Le16(target.data());
    const size_t mask_at = target.size() - (count + 7) / 8;
    for (size_t k = 0; k < t.def.columns.size(); ++k) {
      const ColumnDef& c = t.def.columns[k];
      if (!c.is_long_value() || r.fields[k].present || c.number >= count) continue;
      target[mask_at + c.number / 8] &= static_cast<uint8_t>(~(1u << (c.number % 8)));
    }
    if (in_place) {
      if (!std::equal(target.begin(), target.end(), r.stored.begin())) {
        mend.cache.Changed(data.page);
      }
      mend.keep[r.location.page].set(r.location.row);
      mend.keep[data.page].set(data.row);
      return Status::Ok();
    }
    auto at = AddRow(mend.moved, L, row);
    if (!at.ok()) return at.error();
    return Status::Ok();
  }

  // Catalog rows for the tables found without one.
  Status AddMadeUpCatalogRows(const SalvagedTable& catalog, TableMend& mend) {
    const Layout& L = salvager_->layout();
    for (const SalvagedTable* m : made_up_) {
      auto encoded =
          CatalogRow(catalog.def, L, *m, mend.latest_change.value_or(salvager_->file_date()));
      if (!encoded.ok()) return encoded.error();
      auto at = AddRow(mend.moved, L, encoded.value());
      if (!at.ok()) return at.error();
      ++mend.kept_rows;
    }
    return Status::Ok();
  }

  // The pages of kept rows: everything else on them is marked deleted, and
  // they name the table. They join `listed`.
  void MarkSlotsNotKept(const SalvagedTable& t, const std::map<uint32_t, std::bitset<256>>& keep,
                        std::vector<uint32_t>& listed) {
    const Layout& L = salvager_->layout();
    for (const auto& [number, slots] : keep) {
      std::vector<uint8_t> page = image_->Plain(number);
      const SlotTable table(page, L);
      const uint32_t count = table.fits() ? table.count() : 0;
      bool used = false;
      for (uint32_t i = 0; i < count && i < slots.size(); ++i) used = used || slots.test(i);
      if (!used) continue;
      for (uint32_t i = 0; i < count; ++i) {
        uint16_t raw = table.raw(i);
        if ((raw & kRowDeletedFlag) || (i < slots.size() && slots.test(i))) continue;
        PutSlotEntry(L, page, i, raw | kRowDeletedFlag | kRowLookupFlag);
      }
      PutDataPageOwner(L, page, t.page);
      // The free-space field as the slots say (it may be what was damaged).
      PutDataPageFreeSpace(L, page, table.lowest_row_start() - table.table_end());
      listed.push_back(number);
      image_->Store(number, std::move(page));
    }
  }

  // A fresh map listing `listed`, and the definition pointed at it.
  Status PointAtFreshMap(const SalvagedTable& t, std::vector<uint32_t>& listed,
                         uint64_t kept_rows) {
    const Layout& L = salvager_->layout();
    std::sort(listed.begin(), listed.end());
    auto map = AddUsageMap(image_->sink(), listed);
    if (!map.ok()) return map.error();
    std::vector<uint8_t> first = image_->Plain(t.page);
    Put32(first.data() + L.tdef_owned_map, map.value().ToLe());
    // The row count the mended table really has: pages left out still name
    // it, and a count above what its map lists would send a reader looking.
    Put32(first.data() + L.tdef_num_rows, static_cast<uint32_t>(kept_rows));
    image_->Store(t.page, std::move(first));
    return Status::Ok();
  }

  // Foreign keys whose partner table is gone, or whose partner index does
  // not name them back, become ordinary indexes.
  Status UnlinkLostPartners() {
    const Layout& L = salvager_->layout();
    std::map<uint32_t, const TableDef*> surviving;
    for (const SalvagedTable& t : salvager_->tables()) surviving[t.page] = &t.def;
    // Why the foreign key `li` of the table at `page` is no relationship any
    // more; empty when it still is one (or never was).
    auto broken = [&](uint32_t page, const LogicalIndex& li) -> std::string {
      if (li.fk_table == 0 && li.fk_role == 0) return {};
      auto other = surviving.find(li.fk_table);
      if (li.fk_table == 0 || other == surviving.end()) return "refers to a table that is lost";
      for (const LogicalIndex& o : other->second->logical_indexes) {
        if (o.number != li.fk_index) continue;
        if (o.fk_table == page && o.fk_index == li.number) return {};
        return "refers to an index of its partner table that does not refer back to it";
      }
      return "refers to an index its partner table does not have";
    };
    for (const SalvagedTable& t : salvager_->tables()) {
      const TableDef& d = t.def;
      size_t pos = L.tdef_block_end + d.num_real_idx * L.tdef_index_count_size +
                   d.columns.size() * L.column_def_size;
      for (const ColumnDef& c : d.columns) pos += L.column_name_length_size + c.raw_name.size();
      pos += d.num_real_idx * L.physical_index_size;
      for (const LogicalIndex& li : d.logical_indexes) {
        const size_t at = pos;
        pos += L.logical_index_size;
        const std::string why = broken(t.page, li);
        if (why.empty()) continue;
        std::vector<uint8_t> def = li.raw;
        def[L.lidx_fk_role] = 0;
        Put32(def.data() + L.lidx_fk_index, 0xFFFFFFFFu);
        Put32(def.data() + L.lidx_fk_table, 0);
        def[L.lidx_cascade_update] = 0;
        def[L.lidx_cascade_delete] = 0;
        if (def[L.lidx_kind] == 2) def[L.lidx_kind] = 0;
        // Offsets run over the concatenated definition: the first page whole,
        // then each continuation page after its 8-byte header.
        for (size_t i = 0; i < def.size(); ++i) {
          size_t off = at + i;
          size_t k = off < L.page_size ? 0 : 1 + (off - L.page_size) / (L.page_size - 8);
          size_t in = k == 0 ? off : 8 + (off - L.page_size) % (L.page_size - 8);
          if (k >= d.pages.size()) break;
          std::vector<uint8_t> page = image_->Plain(d.pages[k]);
          page[in] = def[i];
          image_->Store(d.pages[k], std::move(page));
        }
        LossRecord r;
        r.kind = LossKind::kRelationship;
        r.table = t.page;
        r.table_name = t.name;
        r.column = li.name;
        r.reason = "relationship " + li.name + " " + why + "; it is kept as an ordinary index";
        r.raw = li.raw;
        KeepLoss(std::move(r));
      }
    }
    return Status::Ok();
  }

  // Codes for characters the built-in tables lack, from the file's own keys
  // (before the error table, whose catalog row needs them too).
  Status LearnCodes() {
    if (!image_->status().ok()) return image_->status();
    auto before = Database::Open(image_->Source(), OpenOptions{.password = options_.password});
    if (before.ok()) learned_ = LearnKeyCodes(*before.value());
    result_.key_codes = learned_.stats;
    return Status::Ok();
  }

  // Text columns whose keys cannot be made under their sort order, even with
  // the learned codes and the source's entries: the copy keys them under
  // General (CompactOptions::sort_order), and the change is listed with the
  // losses. The compaction finds the same columns again on the same image.
  Status FindSortOrderFallbacks() {
    if (!image_->status().ok()) return image_->status();
    auto mended = Database::Open(image_->Source(), OpenOptions{.password = options_.password});
    if (!mended.ok()) return Status::Ok();  // the compaction reports it
    const Database& db = *mended.value();
    for (const CatalogObject* table : db.tables()) {
      auto def = db.ReadTableDef(static_cast<uint32_t>(table->id));
      if (!def.ok()) continue;
      TableDef copy = def.value();
      auto rekeyed = RekeyUnderGeneral(db, table->name, copy, SortOrderPolicy::kGeneralAsNeeded,
                                       learned_.codes.get());
      if (!rekeyed.ok()) continue;
      for (const SortOrderChange& c : rekeyed.value().changes) {
        KeepLoss(SortOrderLoss(static_cast<uint32_t>(table->id), c));
        sort_order_listed_.insert({c.table, c.column});
      }
      if (table->id == 2 && result_.lost_anything()) {
        ErrorTableRowNeedsGeneral(db, copy);
        error_table_keys_seen_ = true;
      }
    }
    return Status::Ok();
  }

  // Rows the source's index entries contradict: kept as stored, listed with
  // what the indexes hold (the compaction then rebuilds the indexes).
  Status ListAlteredRows() {
    if (!image_->status().ok()) return image_->status().error();
    auto mended = Database::Open(image_->Source(), OpenOptions{.password = options_.password});
    if (!mended.ok()) return Status::Ok();  // the compaction reports it
    auto found = FindAlteredRows(*mended.value());
    if (!found.ok()) return Status::Ok();
    for (const AlteredRow& a : found.value()) {
      std::string columns;
      for (const std::string& c : a.columns) columns += (columns.empty() ? "" : "; ") + c;
      LossRecord r;
      r.kind = LossKind::kAlteredValue;
      r.table = a.table;
      r.table_name = a.table_name;
      r.position = a.row;
      r.column = columns;
      r.reason = a.Describe();
      KeepLoss(std::move(r));
    }
    return Status::Ok();
  }

  // Losses that only the altered rows make (listed after the sort-order
  // fallbacks) still need the error table's catalog row keyed.
  Status ErrorTableRowKeys() {
    if (error_table_keys_seen_ || !result_.lost_anything()) return Status::Ok();
    if (!image_->status().ok()) return image_->status();
    auto mended = Database::Open(image_->Source(), OpenOptions{.password = options_.password});
    if (!mended.ok()) return Status::Ok();  // the compaction reports it
    auto catalog = mended.value()->ReadTableDef(2);
    if (catalog.ok()) ErrorTableRowNeedsGeneral(*mended.value(), catalog.value());
    return Status::Ok();
  }

  // The error table's own catalog row is keyed too: where the catalog's
  // order has no key for its name, the compaction keys that column under
  // General as well, and the change is listed with the others.
  void ErrorTableRowNeedsGeneral(const Database& db, const TableDef& catalog) {
    // (A numbered name, taken when this one is, is checked by the compaction
    // alone: its change then reaches the report only.)
    const std::string name = kErrorTableName;
    std::vector<uint8_t> bytes;
    for (char ch : name) {
      bytes.push_back(static_cast<uint8_t>(ch));
      if (db.version() != JetVersion::kJet3) bytes.push_back(0);
    }
    for (const ColumnDef& c : catalog.columns) {
      if (c.name != "Name" || sort_order_listed_.count({"MSysObjects", c.name})) continue;
      KeyColumn column;
      column.type = c.type;
      column.format = db.version() == JetVersion::kJet3 ? KeyFormat::kJet3 : KeyFormat::kJet4;
      column.sort_order = c.sort_order;
      column.sort_order_version = c.sort_order_version;
      column.code_page = c.code_page;
      const EncodedKey key = EncodeKeySegment(column, KeyValue::Bytes(bytes), learned_.codes.get());
      if (key.status != KeyStatus::kNotCovered) continue;
      KeyColumn general = column;
      general.sort_order = kGeneralSortOrder;
      general.sort_order_version = 0;
      if (!KeysAsGeneral(general)) continue;
      SortOrderChange change;
      change.table = "MSysObjects";
      change.column = c.name;
      change.old_sort_order = c.sort_order;
      change.old_version = c.sort_order_version;
      change.reason = "the error table's catalog row has no key under it: " + key.reason;
      KeepLoss(SortOrderLoss(2, change));
      sort_order_listed_.insert({change.table, change.column});
    }
  }

  static LossRecord SortOrderLoss(uint32_t table_id, const SortOrderChange& c) {
    LossRecord r;
    r.kind = LossKind::kSortOrder;
    r.table = table_id;
    r.table_name = c.table;
    r.column = c.column;
    char order[48];
    std::snprintf(order, sizeof order, "sort order 0x%04X version %u", c.old_sort_order,
                  static_cast<unsigned>(c.old_version));
    r.reason = std::string("was ") + order + "; " + c.reason;
    return r;
  }

  // Everything not carried over, listed in a table of the copy.
  Status ListLosses() {
    if (!result_.lost_anything()) return Status::Ok();
    auto table = AddErrorTable(
        *salvager_, *image_, result_.losses,
        [&](const LossRecord& l, std::vector<uint8_t>& raw,
            std::vector<std::pair<std::string, std::vector<uint8_t>>>& lv) {
          return result_.LoadBytes(l, raw, lv);
        },
        learned_.codes.get());
    if (!table.ok()) {
      return Error(table.error().number(),
                   "listing the losses in the copy: " + table.error().description());
    }
    result_.error_table = table.value().name;
    result_.error_table_note = table.value().not_added;
    return Status::Ok();
  }

  // The mended file, compacted into the destination and flushed.
  Result<CompactStats> CompactIntoDestination() {
    if (!image_->status().ok()) return image_->status().error();
    if (!spill_status_.ok()) return spill_status_.error();
    auto mended = Database::Open(image_->Source(), OpenOptions{.password = options_.password});
    if (!mended.ok()) return mended.error();
    CompactOptions co;
    co.password = options_.password;
    co.progress = options_.progress;
    co.sort_budget_bytes = options_.sort_budget_bytes;
    co.extra_text_codes = learned_.codes;
    co.sort_order = SortOrderPolicy::kGeneralAsNeeded;
    auto stats = CompactToSink(*mended.value(), *sink_, co, TempDirBeside(destination_));
    if (!stats.ok()) return stats.error();
    // A change the error table could not list (a column whose only key
    // without a code is the error table's own catalog row) is in the report.
    for (const SortOrderChange& c : stats.value().sort_order_changes) {
      if (sort_order_listed_.count({c.table, c.column})) continue;
      const CatalogObject* table = mended.value()->FindTable(c.table);
      KeepLoss(SortOrderLoss(table != nullptr ? static_cast<uint32_t>(table->id) : 0, c));
    }
    if (Status st = sink_->Finish(); !st.ok()) return st.error();
    return stats.value();
  }

  const std::string& source_;
  const std::string& destination_;
  const RepairOptions& options_;
  RepairResult result_;
  uint64_t loss_bytes_ = 0;
  Status spill_status_;
  std::shared_ptr<LossSpill> spill_;
  std::unique_ptr<Salvager> salvager_;
  const SalvagedTable* catalog_ = nullptr;
  std::unique_ptr<FilePageSink> sink_;
  std::unique_ptr<MendedImage> image_;
  std::set<uint32_t> damaged_, lost_tables_;
  std::vector<const SalvagedTable*> made_up_;
  LearnedKeyCodes learned_;
  std::set<std::pair<std::string, std::string>> sort_order_listed_;  // table, column
  bool error_table_keys_seen_ = false;  // ErrorTableRowNeedsGeneral ran for the catalog
};

}  // namespace

Result<RepairResult> RepairDatabase(const std::string& source, const std::string& destination,
                                    const RepairOptions& options) {
  return Repair(source, destination, options).Run();
}

}  // namespace engine
