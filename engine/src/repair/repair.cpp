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
#include <chrono>
#include <cmath>
#include <cstring>
#include <list>
#include <map>
#include <optional>
#include <set>
#include <span>

#include "base/bytes.h"
#include "compact/compactor.h"
#include "reader/database.h"
#include "format/header.h"
#include "io/cipher.h"
#include "format/row.h"
#include "repair/error_table.h"
#include "repair/loss_spill.h"
#include "io/mapped_image.h"
#include "repair/repair_keys.h"
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

// The file being mended: whole pages, stored as the file stores them
// (encoded when the database is). Pages left alone are read from the source
// file's mapping; pages stored or appended go to a temp file, so memory does
// not grow with the file.
class Image {
 public:
  static Result<Image> Create(const FileSource& source, const Layout& layout, uint32_t key,
                              const std::string& temp_dir) {
    const uint64_t size = source.bytes().size() / layout.page_size * layout.page_size;
    auto mapped = MappedImage::Create(size, (uint64_t{0xFFFFFF} + 1) * layout.page_size, temp_dir);
    if (!mapped.ok()) return mapped.error();
    Status st;
    if (!source.path().empty() && size > kReadWholeLimit) {
      st = mapped.value()->MapFile(source.path());
    } else if (size > 0) {
      st = mapped.value()->Write(0, source.bytes().first(size));
    }
    if (!st.ok()) return st.error();
    return Image(std::shared_ptr<MappedImage>(std::move(mapped.value())), layout, key);
  }
  uint32_t pages() const { return static_cast<uint32_t>(mapped_->size() / layout_->page_size); }
  ByteSpan bytes() const { return mapped_->bytes(); }
  // The image as a source the strict reader and the compactor take; it
  // shares the image and stays valid while pages are stored.
  std::unique_ptr<FileSource> Source() const { return ImageSource(mapped_, ""); }
  // The first failure of a Store, which cannot report one itself.
  const Status& status() const { return status_; }

  std::vector<uint8_t> Plain(uint32_t n) const {
    const uint8_t* p = mapped_->data() + static_cast<uint64_t>(n) * layout_->page_size;
    std::vector<uint8_t> out(p, p + layout_->page_size);
    if (n != 0) ApplyPageCipher(out.data(), out.size(), n, key_);
    return out;
  }
  void Store(uint32_t n, std::vector<uint8_t> plain) {
    Status st = Put(n, std::move(plain));
    if (!st.ok() && status_.ok()) status_ = st;
  }
  Result<uint32_t> Append(std::vector<uint8_t> plain) {
    if (!status_.ok()) return status_.error();
    uint32_t n = pages();
    if (n > 0xFFFFFF) return Damaged("the mended copy would need more pages than a file holds");
    if (Status st = Put(n, std::move(plain)); !st.ok()) return st.error();
    return n;
  }

 private:
  Image(std::shared_ptr<MappedImage> mapped, const Layout& layout, uint32_t key)
      : mapped_(std::move(mapped)), layout_(&layout), key_(key) {}
  Status Put(uint32_t n, std::vector<uint8_t> plain) {
    plain.resize(layout_->page_size, 0);
    if (n != 0) ApplyPageCipher(plain.data(), plain.size(), n, key_);
    return mapped_->Write(static_cast<uint64_t>(n) * layout_->page_size, plain);
  }

  // Sources up to this size were read whole by FileSource::OpenFile; larger
  // ones are mapped from their file.
  static constexpr uint64_t kReadWholeLimit = uint64_t{64} << 20;

  std::shared_ptr<MappedImage> mapped_;
  const Layout* layout_;
  uint32_t key_;
  Status status_;
};

// Packs rows onto fresh data pages of one owner, appended to the image.
class Packer {
 public:
  Packer(Image& image, const Layout& layout, uint32_t owner)
      : image_(image), L_(layout), owner_(owner) {}

  Result<RowPointer> Add(ByteSpan row) {
    const uint32_t need = static_cast<uint32_t>(row.size()) + 2;
    if (rows_.size() >= 255 || used_ + need > L_.page_size - L_.data_header_size) {
      if (Status st = Flush(); !st.ok()) return st.error();
    }
    if (row.size() + 2 > L_.page_size - L_.data_header_size) {
      return Damaged("a row of " + std::to_string(row.size()) + " bytes does not fit a page");
    }
    rows_.emplace_back(row.begin(), row.end());
    used_ += need;
    return RowPointer{image_.pages(), static_cast<uint8_t>(rows_.size() - 1)};
  }
  Status Flush() {
    if (rows_.empty()) return Status::Ok();
    std::vector<uint8_t> page(L_.page_size, 0);
    page[0] = static_cast<uint8_t>(PageType::kData);
    page[1] = 0x01;
    Put32(page.data() + 4, owner_);
    Put16(page.data() + L_.data_row_count_offset, static_cast<uint32_t>(rows_.size()));
    uint32_t end = L_.page_size;
    for (size_t i = 0; i < rows_.size(); ++i) {
      uint32_t start = end - static_cast<uint32_t>(rows_[i].size());
      std::memcpy(page.data() + start, rows_[i].data(), rows_[i].size());
      Put16(page.data() + L_.data_header_size + 2 * i, start);
      end = start;
    }
    Put16(page.data() + 2, end - L_.data_header_size - 2 * static_cast<uint32_t>(rows_.size()));
    auto n = image_.Append(std::move(page));
    if (!n.ok()) return n.error();
    pages_.push_back(n.value());
    rows_.clear();
    used_ = 0;
    return Status::Ok();
  }
  const std::vector<uint32_t>& pages() const { return pages_; }

 private:
  Image& image_;
  const Layout& L_;
  uint32_t owner_;
  std::vector<std::vector<uint8_t>> rows_;
  uint32_t used_ = 0;
  std::vector<uint32_t> pages_;
};

// The few plain pages a mending pass is looking at, most recent first; a
// page changed in place goes back to the image when it leaves. References
// from Get stay valid until two more pages were asked for.
class PageCache {
 public:
  explicit PageCache(Image& image) : image_(image) {}
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
  Image& image_;
  std::list<Entry> entries_;
};

// A usage map listing `pages`, on a fresh map page: inline when the span
// fits one row, else a reference map with bitmap pages of its own.
Result<RowPointer> AppendMap(Image& image, const Layout& L, const std::vector<uint32_t>& pages) {
  std::vector<uint8_t> row;
  const uint32_t room = L.page_size - L.data_header_size - 2;
  uint32_t low = pages.empty() ? 0 : *std::min_element(pages.begin(), pages.end()) & ~7u;
  uint32_t high = pages.empty() ? 0 : *std::max_element(pages.begin(), pages.end());
  uint32_t bitmap = std::max<uint32_t>(64, ((high - low) / 8 + 4) & ~3u);
  if (5 + bitmap <= room) {
    row.assign(5 + bitmap, 0);
    Put32(row.data() + 1, low);
    for (uint32_t p : pages) row[5 + (p - low) / 8] |= static_cast<uint8_t>(1u << ((p - low) % 8));
  } else {
    const uint32_t per = L.pages_per_bitmap_page();
    const uint32_t count = high / per + 1;
    if (1 + 4 * count > room) return Damaged("a page map would not fit its row");
    row.assign(1 + 4 * count, 0);
    row[0] = 1;
    for (uint32_t i = 0; i < count; ++i) {
      std::vector<uint8_t> bits(L.page_size, 0);
      bits[0] = static_cast<uint8_t>(PageType::kUsageBitmap);
      bits[1] = 0x01;
      bool any = false;
      for (uint32_t p : pages) {
        if (p / per != i) continue;
        bits[4 + (p % per) / 8] |= static_cast<uint8_t>(1u << (p % 8));
        any = true;
      }
      if (!any) continue;
      auto n = image.Append(std::move(bits));
      if (!n.ok()) return n.error();
      Put32(row.data() + 1 + 4 * i, n.value());
    }
  }
  Packer map_page(image, L, 0);
  auto at = map_page.Add(row);
  if (!at.ok()) return at.error();
  if (Status st = map_page.Flush(); !st.ok()) return st.error();
  return at.value();
}

// A catalog row for a table found without one.
// `date`: its DateCreate and DateUpdate (today when the catalog gives none).
Result<std::vector<uint8_t>> CatalogRow(const TableDef& catalog, const Layout& L,
                                        const SalvagedTable& table, std::optional<double> date) {
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
  auto now = std::chrono::system_clock::now().time_since_epoch();
  double days = date.value_or(25569.0 + std::chrono::duration<double>(now).count() / 86400.0);
  std::vector<uint8_t> stamp(8);
  std::memcpy(stamp.data(), &days, 8);
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
         kind != LossKind::kCatalogDefinition;
}

// The mended image as the error table writes into it.
class ImageFile final : public MendedFile {
 public:
  ImageFile(Image& image, const Layout& layout) : image_(image), L_(layout) {}
  uint32_t pages() const override { return image_.pages(); }
  std::vector<uint8_t> Plain(uint32_t page) const override { return image_.Plain(page); }
  void Store(uint32_t page, std::vector<uint8_t> plain) override {
    image_.Store(page, std::move(plain));
  }
  Result<uint32_t> Append(std::vector<uint8_t> plain) override {
    return image_.Append(std::move(plain));
  }
  std::unique_ptr<Rows> Pack(uint32_t owner) override {
    return std::make_unique<PackedRows>(image_, L_, owner);
  }
  Result<RowPointer> AppendMap(const std::vector<uint32_t>& pages) override {
    return engine::AppendMap(image_, L_, pages);
  }

 private:
  class PackedRows final : public Rows {
   public:
    PackedRows(Image& image, const Layout& layout, uint32_t owner)
        : packer_(image, layout, owner) {}
    Result<RowPointer> Add(ByteSpan row) override { return packer_.Add(row); }
    Status Flush() override { return packer_.Flush(); }
    const std::vector<uint32_t>& pages() const override { return packer_.pages(); }

   private:
    Packer packer_;
  };
  Image& image_;
  const Layout& L_;
};

Status ReadBack(const std::string& path, const std::string& password, const CompactStats& stats) {
  auto copy = Database::Open(path, OpenOptions{.password = password});
  if (!copy.ok()) {
    return Error(ErrorCode::kIoError,
                 "the repaired copy does not read back: " + copy.error().description());
  }
  uint64_t rows = 0;
  for (const CatalogObject* t : copy.value()->tables()) {
    auto def = copy.value()->ReadTableDef(t->table_page());
    if (!def.ok()) return Error(ErrorCode::kIoError, "the repaired copy does not read back");
    Status st = copy.value()->ScanRows(def.value(), [&](const RowRef&) {
      ++rows;
      return true;
    });
    if (!st.ok()) return Error(ErrorCode::kIoError, "the repaired copy does not read back");
  }
  if (rows != stats.rows) {
    return Error(ErrorCode::kIoError, "the repaired copy reads back " + std::to_string(rows) +
                                          " rows instead of " + std::to_string(stats.rows));
  }
  return Status::Ok();
}

}  // namespace

Result<RepairResult> RepairDatabase(const std::string& source, const std::string& destination,
                                    const RepairOptions& options) {
  RepairResult result;
  SalvageOptions so;
  so.password = options.password;
  so.progress = options.progress;
  // Losses keep their bytes in memory up to a budget; the rest go to a
  // spill file the report is written from.
  uint64_t loss_bytes = 0;
  Status spill_status;
  std::shared_ptr<LossSpill> spill;
  auto keep_loss = [&](LossRecord r) {
    uint64_t bytes = r.raw.size();
    for (const auto& v : r.long_values) bytes += v.first.size() + v.second.size();
    if (bytes > 0 && loss_bytes + bytes > options.loss_bytes_in_memory && spill_status.ok()) {
      if (!spill) {
        auto made = LossSpill::Create(TempDirBeside(destination));
        if (made.ok()) {
          spill = made.value();
          result.spill = spill;
        } else {
          spill_status = made.error();
        }
      }
      if (spill) spill_status = spill->Spill(r);
    }
    if (!r.spilled) loss_bytes += bytes;
    result.losses.push_back(std::move(r));
  };
  auto opened = Salvager::Open(source, so, [&](const LossRecord& r) { keep_loss(r); });
  if (!opened.ok()) return opened.error();
  Salvager& sv = *opened.value();
  const Layout& L = sv.layout();
  const DatabaseHeader& header = sv.header();
  result.header_rebuilt = sv.header_rebuilt();

  const SalvagedTable* catalog = nullptr;
  for (const SalvagedTable& t : sv.tables()) {
    if (t.page == 2) catalog = &t;
  }
  if (catalog == nullptr) {
    return Damaged("the catalog's own definition (page 2) is lost: no table can be named");
  }

  auto file = FilePageSink::Create(destination, L, header.database_key);
  if (!file.ok()) return file.error();
  FilePageSink& sink = *file.value();
  auto fail = [&](const Error& e) -> Result<RepairResult> {
    sink.Abandon();
    return e;
  };

  // Page 0 as the tolerant reader settled it.
  auto created =
      Image::Create(sv.pager().source(), L, header.database_key, TempDirBeside(destination));
  if (!created.ok()) return fail(created.error());
  Image& image = created.value();
  {
    std::vector<uint8_t> page0 = header.unmasked;
    page0.resize(L.page_size, 0);
    Put32(page0.data() + 0x3E, header.database_key);
    ApplyHeaderMask(page0.data(), page0.size(), header.version);
    image.Store(0, std::move(page0));
  }
  // A rebuilt catalog definition takes the place of the lost page 2.
  if (sv.catalog_rebuilt()) {
    std::vector<uint8_t> page2 = catalog->def.raw;
    page2.resize(L.page_size, 0);
    image.Store(2, std::move(page2));
  }

  // Which tables read whole: the strict reader gives the very rows the
  // tolerant one kept, and nothing of them was reported. The row locations
  // are compared by count and digest, not kept.
  std::map<uint32_t, LocationDigest> kept;  // table page -> row locations kept
  for (const SalvagedTable& t : sv.tables()) {
    auto& locations = kept[t.page];
    Status st = sv.ScanRows(t, [&](const RowValues& row) {
      locations.Add(row.location.ToLe());
      return true;
    });
    if (!st.ok()) return fail(st.error());
  }
  std::set<uint32_t> damaged, lost_tables;
  for (const LossRecord& r : result.losses) {
    if (!IsDataLoss(r.kind)) continue;
    if (r.kind == LossKind::kTable) {
      lost_tables.insert(r.table);
    } else if (r.kind == LossKind::kCatalogRow) {
      damaged.insert(2);
    } else if (r.table != 0) {
      damaged.insert(r.table);
    }
  }
  std::vector<const SalvagedTable*> made_up;
  for (const SalvagedTable& t : sv.tables()) {
    if (t.name_made_up || !t.catalog) made_up.push_back(&t);
  }
  if (!made_up.empty() || !lost_tables.empty() || sv.catalog_rebuilt()) damaged.insert(2);
  {
    if (!image.status().ok()) return fail(image.status().error());
    auto strict = Database::Open(image.Source(), OpenOptions{.password = options.password});
    for (const SalvagedTable& t : sv.tables()) {
      if (damaged.count(t.page)) continue;
      if (!strict.ok()) {
        damaged.insert(t.page);
        continue;
      }
      LocationDigest locations;
      Status st = strict.value()->ScanRows(t.def, [&](const RowRef& ref) {
        locations.Add(ref.location.ToLe());
        return true;
      });
      if (!st.ok() || locations != kept[t.page]) damaged.insert(t.page);
    }
  }

  // Mend each damaged table where it lies, so its rows keep their places
  // (and the keys the source's indexes hold for them): rows not kept are
  // marked deleted on the pages of kept rows, a long value left NULL loses
  // its null-mask bit, and a fresh map lists exactly those pages. A kept row
  // whose slot the strict reader would bound otherwise moves to a fresh page.
  for (const SalvagedTable& t : sv.tables()) {
    if (!damaged.count(t.page)) continue;
    if (options.progress && !options.progress(Progress{"mending", t.name, 0, 0})) {
      return fail(Error(ErrorCode::kInvalidArgument, "cancelled"));
    }
    // Slots kept, by page; a few plain pages are cached while rows are
    // looked at, changed ones going back to the image as they leave.
    std::map<uint32_t, std::bitset<256>> keep;
    PageCache cache(image);
    auto page_of = [&](uint32_t n) -> std::vector<uint8_t>& { return cache.Get(n); };
    // The bytes the strict reader takes for slot `p` of a plain page.
    auto strict_span = [&](std::vector<uint8_t>& page, RowPointer p) -> std::span<uint8_t> {
      uint32_t count = Le16(page.data() + L.data_row_count_offset);
      if (p.row >= count || L.data_header_size + 2 * count > L.page_size) return {};
      uint32_t start = Le16(page.data() + L.data_header_size + 2 * p.row) & kRowOffsetMask;
      uint32_t end =
          p.row == 0 ? L.page_size
                     : Le16(page.data() + L.data_header_size + 2 * (p.row - 1)) & kRowOffsetMask;
      if (start > end || end > L.page_size) return {};
      return std::span<uint8_t>(page.data() + start, end - start);
    };
    Packer packer(image, L, t.page);
    uint64_t kept_rows = 0;
    Status inner;
    std::vector<uint8_t> row;
    // The catalog's latest change date: the date of rows it gains, so a
    // repair of the same file gives the same bytes.
    std::optional<double> latest_change;
    const ColumnDef* date_column = t.page == 2 ? t.def.FindColumn("DateUpdate") : nullptr;
    Status st = sv.ScanRows(t, [&](const RowValues& r) {
      if (t.page == 2) {
        if (date_column != nullptr) {
          for (size_t k = 0; k < t.def.columns.size(); ++k) {
            if (&t.def.columns[k] != date_column || !r.fields[k].present ||
                r.fields[k].bytes.size() != 8) {
              continue;
            }
            double d;
            std::memcpy(&d, r.fields[k].bytes.data(), 8);
            if (std::isfinite(d) && (!latest_change || d > *latest_change)) latest_change = d;
          }
        }
        uint32_t id = static_cast<uint32_t>(CatalogId(t.def, r));
        // A table whose definition is lost leaves the catalog with it.
        if ((id & 0xFF000000u) == 0 && lost_tables.count(id & 0x00FFFFFF)) return true;
      }
      ++kept_rows;
      // Where the strict reader finds the row's bytes.
      std::vector<uint8_t>& home = page_of(r.location.page);
      RowPointer data = r.location;
      uint16_t raw = Le16(home.data() + L.data_header_size + 2 * r.location.row);
      if (raw & kRowLookupFlag) {
        std::span<uint8_t> pointer = strict_span(home, r.location);
        if (pointer.size() >= 4) data = RowPointer::FromLe(Le32(pointer.data()));
      }
      if (data.page >= image.pages()) data = r.location;
      std::span<uint8_t> bytes = strict_span(page_of(data.page), data);
      const bool in_place = bytes.size() == r.stored.size() &&
                            std::equal(bytes.begin(), bytes.end(), r.stored.begin());
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
        if (!std::equal(target.begin(), target.end(), r.stored.begin())) cache.Changed(data.page);
        keep[r.location.page].set(r.location.row);
        keep[data.page].set(data.row);
        return true;
      }
      auto at = packer.Add(row);
      if (!at.ok()) {
        inner = at.error();
        return false;
      }
      return true;
    });
    if (st.ok()) st = inner;
    if (st.ok() && t.page == 2) {
      for (const SalvagedTable* m : made_up) {
        auto encoded = CatalogRow(t.def, L, *m, latest_change);
        if (!encoded.ok()) {
          st = encoded.error();
          break;
        }
        auto at = packer.Add(encoded.value());
        if (!at.ok()) {
          st = at.error();
          break;
        }
        ++kept_rows;
      }
    }
    if (st.ok()) st = packer.Flush();
    cache.Clear();
    if (st.ok()) st = image.status();
    if (!st.ok()) {
      return fail(Error(st.error().number(), "table " + t.name + ": " + st.error().description()));
    }
    // The pages of kept rows: everything else on them is marked deleted, and
    // they name the table.
    std::vector<uint32_t> listed = packer.pages();
    for (const auto& [number, slots] : keep) {
      std::vector<uint8_t> page = image.Plain(number);
      uint32_t count = Le16(page.data() + L.data_row_count_offset);
      if (L.data_header_size + 2 * count > L.page_size) count = 0;
      bool used = false;
      for (uint32_t i = 0; i < count && i < slots.size(); ++i) used = used || slots.test(i);
      if (!used) continue;
      for (uint32_t i = 0; i < count; ++i) {
        uint8_t* entry = page.data() + L.data_header_size + 2 * i;
        uint16_t raw = Le16(entry);
        if ((raw & kRowDeletedFlag) || (i < slots.size() && slots.test(i))) continue;
        Put16(entry, raw | kRowDeletedFlag | kRowLookupFlag);
      }
      Put32(page.data() + 4, t.page);
      // The free-space field as the slots say (it may be what was damaged).
      uint32_t lowest = L.page_size;
      for (uint32_t i = 0; i < count; ++i) {
        uint32_t start = Le16(page.data() + L.data_header_size + 2 * i) & kRowOffsetMask;
        if (start >= L.data_header_size + 2 * count) lowest = std::min(lowest, start);
      }
      Put16(page.data() + 2, lowest - (L.data_header_size + 2 * count));
      listed.push_back(number);
      image.Store(number, std::move(page));
    }
    std::sort(listed.begin(), listed.end());
    auto map = AppendMap(image, L, listed);
    if (!map.ok()) return fail(map.error());
    std::vector<uint8_t> first = image.Plain(t.page);
    Put32(first.data() + L.tdef_owned_map, map.value().ToLe());
    // The row count the mended table really has: pages left out still name
    // it, and a count above what its map lists would send a reader looking.
    Put32(first.data() + L.tdef_num_rows, static_cast<uint32_t>(kept_rows));
    image.Store(t.page, std::move(first));
  }

  // Foreign keys whose partner table is gone become ordinary indexes.
  std::set<uint32_t> surviving;
  for (const SalvagedTable& t : sv.tables()) surviving.insert(t.page);
  for (const SalvagedTable& t : sv.tables()) {
    const TableDef& d = t.def;
    size_t pos = L.tdef_block_end + d.num_real_idx * L.tdef_index_count_size +
                 d.columns.size() * L.column_def_size;
    for (const ColumnDef& c : d.columns) pos += L.column_name_length_size + c.raw_name.size();
    pos += d.num_real_idx * L.physical_index_size;
    for (const LogicalIndex& li : d.logical_indexes) {
      const size_t at = pos;
      pos += L.logical_index_size;
      if (li.fk_table == 0 || surviving.count(li.fk_table)) continue;
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
        std::vector<uint8_t> page = image.Plain(d.pages[k]);
        page[in] = def[i];
        image.Store(d.pages[k], std::move(page));
      }
      keep_loss([&] {
        LossRecord r;
        r.kind = LossKind::kRelationship;
        r.table = t.page;
        r.table_name = t.name;
        r.column = li.name;
        r.reason = "relationship " + li.name +
                   " refers to a table that is lost; it is kept as an "
                   "ordinary index";
        r.raw = li.raw;
        return r;
      }());
    }
  }

  // Codes for characters the built-in tables lack, from the file's own keys
  // (before the error table, whose catalog row needs them too).
  if (!image.status().ok()) return fail(image.status().error());
  LearnedKeyCodes learned;
  {
    auto before = Database::Open(image.Source(), OpenOptions{.password = options.password});
    if (before.ok()) learned = LearnKeyCodes(*before.value());
  }
  result.key_codes = learned.stats;

  // Everything not carried over, listed in a table of the copy.
  if (result.lost_anything()) {
    ImageFile pages(image, L);
    auto table = AddErrorTable(
        sv, pages, result.losses,
        [&](const LossRecord& l, std::vector<uint8_t>& raw,
            std::vector<std::pair<std::string, std::vector<uint8_t>>>& lv) {
          return result.LoadBytes(l, raw, lv);
        },
        learned.codes.get());
    if (!table.ok()) {
      return fail(Error(table.error().number(),
                        "listing the losses in the copy: " + table.error().description()));
    }
    result.error_table = table.value().name;
    result.error_table_note = table.value().not_added;
  }

  // The mended file, compacted.
  if (!image.status().ok()) return fail(image.status().error());
  if (!spill_status.ok()) return fail(spill_status.error());
  auto mended = Database::Open(image.Source(), OpenOptions{.password = options.password});
  if (!mended.ok()) return fail(mended.error());
  CompactOptions co;
  co.password = options.password;
  co.progress = options.progress;
  co.sort_budget_bytes = options.sort_budget_bytes;
  co.extra_text_codes = learned.codes;
  auto stats = CompactToSink(*mended.value(), sink, co, TempDirBeside(destination));
  if (!stats.ok()) return fail(stats.error());
  if (Status st = sink.Finish(); !st.ok()) return fail(st.error());
  if (Status st = ReadBack(destination, options.password, stats.value()); !st.ok()) {
    ::unlink(destination.c_str());
    return st.error();
  }
  result.stats = stats.value();
  result.counts = sv.counts();
  return result;
}

}  // namespace engine
