// Damages copies of a database in the ways files get damaged in the wild,
// and scores what the tolerant reader gets back.
//
// Facts() reads the intact file with the strict reader: every live row with
// the byte ranges it occupies (its slot, its offset entry, the page header,
// an overflow pointer, every long-value piece). Damage() changes a copy with
// a fixed seed and says which byte ranges it touched. Score() compares the
// rows the tolerant reader hands over with the intact file's rows:
//   recovered   rows whose bytes the damage did not touch, handed over exactly
//   missed      rows whose bytes were not touched, not handed over
//   invented    rows handed over that match no row of the intact file and sit
//               where no touched row was
//   altered     rows handed over from a touched row with other values (damage
//               no check can see, such as a flipped bit inside a number)
// Shared by the salvage tests and bench/salvage_score.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "format/long_value.h"
#include "format/row.h"
#include "reader/database.h"
#include "salvage/salvage.h"

namespace salvage_test {

using Bytes = std::vector<uint8_t>;
using Range = std::pair<uint64_t, uint64_t>;  // [first, last) byte offsets in the file

enum class DamageClass {
  kZeroedPage,
  kGarbagePage,
  kTornPage,
  kRowBitFlips,
  kTruncateAtPage,
  kTruncateInPage,
  kLongValueChain,
  kIndexPage,
  kStoredCounts,
  kMapBitsCleared,
  kMapBitsSet,
  kCatalogRow,
  kHeaderPage,
  kConstraintRow,    // a row left NULL in a primary-key column, or repeating a unique key
  kHeaderFields,     // page 0's code page, sort order or Jet 4 creation date
  kValueUnderIndex,  // a bit of an indexed fixed-size value flipped in one row
};
// Copies numbered through this list keep the damage they were first given
// (tests pick copies by number); kEveryClass adds the later classes.
inline constexpr DamageClass kAllClasses[] = {
    DamageClass::kZeroedPage,     DamageClass::kGarbagePage,    DamageClass::kTornPage,
    DamageClass::kRowBitFlips,    DamageClass::kTruncateAtPage, DamageClass::kTruncateInPage,
    DamageClass::kLongValueChain, DamageClass::kIndexPage,      DamageClass::kStoredCounts,
    DamageClass::kMapBitsCleared, DamageClass::kMapBitsSet,     DamageClass::kCatalogRow,
    DamageClass::kHeaderPage};
inline constexpr DamageClass kEveryClass[] = {
    DamageClass::kZeroedPage,     DamageClass::kGarbagePage,    DamageClass::kTornPage,
    DamageClass::kRowBitFlips,    DamageClass::kTruncateAtPage, DamageClass::kTruncateInPage,
    DamageClass::kLongValueChain, DamageClass::kIndexPage,      DamageClass::kStoredCounts,
    DamageClass::kMapBitsCleared, DamageClass::kMapBitsSet,     DamageClass::kCatalogRow,
    DamageClass::kHeaderPage,     DamageClass::kConstraintRow};
// Damage that leaves every structure readable and shows only against the
// rest of the file (bench/salvage-score --integrity).
inline constexpr DamageClass kIntegrityClasses[] = {DamageClass::kHeaderFields,
                                                    DamageClass::kValueUnderIndex};

inline const char* ClassName(DamageClass c) {
  switch (c) {
    case DamageClass::kZeroedPage:
      return "zeroed-page";
    case DamageClass::kGarbagePage:
      return "garbage-page";
    case DamageClass::kTornPage:
      return "torn-page";
    case DamageClass::kRowBitFlips:
      return "row-bit-flips";
    case DamageClass::kTruncateAtPage:
      return "truncated-at-page";
    case DamageClass::kTruncateInPage:
      return "truncated-in-page";
    case DamageClass::kLongValueChain:
      return "long-value-chain";
    case DamageClass::kIndexPage:
      return "index-page";
    case DamageClass::kStoredCounts:
      return "stored-counts";
    case DamageClass::kMapBitsCleared:
      return "map-bits-cleared";
    case DamageClass::kMapBitsSet:
      return "map-bits-set";
    case DamageClass::kCatalogRow:
      return "catalog-row";
    case DamageClass::kHeaderPage:
      return "header-page";
    case DamageClass::kConstraintRow:
      return "constraint-row";
    case DamageClass::kHeaderFields:
      return "header-fields";
    case DamageClass::kValueUnderIndex:
      return "value-under-index";
  }
  return "?";
}

// The file offset of the fixed-size bytes of `column` in the first row of
// `table` that is stored in its own slot; nullopt when there is none.
inline std::optional<size_t> FixedValueOffset(const Bytes& file, const engine::TableDef& def,
                                              const engine::ColumnDef& column,
                                              const engine::Database& db, size_t skip = 0) {
  if (!column.fixed()) return std::nullopt;
  std::optional<size_t> at;
  const size_t page_size = db.layout().page_size;
  const size_t fixed_start = db.version() == engine::JetVersion::kJet4 ? 2 : 1;
  (void)db.ScanRows(def, [&](const engine::RowRef& row) {
    if (row.data.page != row.location.page) return true;  // an overflow row
    if (skip-- != 0) return true;
    auto page = db.pager().Page(row.data.page);
    if (!page.ok()) return false;
    const size_t offset = static_cast<size_t>(row.data.page) * page_size +
                          static_cast<size_t>(row.bytes.data() - page.value().data()) +
                          fixed_start + column.fixed_offset;
    if (offset + 1 <= file.size()) at = offset;
    return false;
  });
  return at;
}

// One live row of the intact file.
struct RowFact {
  uint32_t table = 0;
  engine::RowPointer location;
  std::string signature;  // the values, long values read whole
  std::vector<std::string> parts;
  std::vector<Range> ranges;  // every byte the row depends on
  std::vector<size_t> lv_columns;
  std::vector<engine::RowPointer> lv_pieces;
  // The null-mask byte and bit of a present key column of the table's
  // primary key or a required index (at 0: none).
  uint64_t required_null_at = 0;
  uint8_t required_null_bit = 0;
  // The stored bytes of a fixed-size column that alone makes a unique key
  // (size 0: none), and that index's position.
  uint64_t unique_at = 0;
  uint32_t unique_size = 0;
  uint32_t unique_index = 0;
};

struct FileFacts {
  engine::JetVersion version = engine::JetVersion::kJet4;
  uint32_t page_size = 0;
  uint32_t pages = 0;
  std::vector<RowFact> rows;
  std::map<uint8_t, std::vector<uint32_t>> pages_by_type;  // in-use pages, by first byte
  std::vector<uint32_t> lval_pages, map_pages, table_data_pages;
  std::vector<std::pair<uint32_t, engine::RowPointer>> lv_pieces;  // (table, piece)
  std::vector<uint32_t> tdef_pages;                                // first pages of tables
  std::vector<std::pair<uint32_t, engine::RowPointer>> maps;       // (table, owned map)
  std::vector<Range> catalog_rows;  // byte ranges of the catalog rows of user tables
  // Rows the strict reader finds but cannot read whole (a long value it
  // refuses): neither counted nor held against the tolerant reader.
  std::set<std::pair<uint32_t, uint32_t>> unreadable;
};

// The signature of one row: per column (definition order) NULL or its bytes,
// long values whole, one part per column.
inline std::vector<std::string> SignatureParts(const engine::TableDef& def,
                                               const std::vector<engine::FieldRef>& fields) {
  std::vector<std::string> parts;
  for (size_t k = 0; k < def.columns.size(); ++k) {
    const auto& f = fields[k];
    if (def.columns[k].is_boolean()) {
      parts.push_back(f.present ? "T" : "F");
    } else if (!f.present) {
      parts.push_back("N");
    } else {
      parts.push_back("V" +
                      std::string(reinterpret_cast<const char*>(f.bytes.data()), f.bytes.size()));
    }
  }
  return parts;
}

inline std::string Signature(const engine::TableDef& def,
                             const std::vector<engine::FieldRef>& fields) {
  std::string s;
  for (const auto& part : SignatureParts(def, fields)) {
    s += std::to_string(part.size()) + ":" + part;
  }
  return s;
}

inline std::optional<FileFacts> Facts(const Bytes& file, const std::string& password) {
  auto db = engine::Database::Open(engine::FileSource::FromSpan(file), {.password = password});
  if (!db.ok()) return std::nullopt;
  FileFacts f;
  f.version = (*db)->version();
  f.page_size = (*db)->page_size();
  f.pages = (*db)->page_count();
  const auto& L = (*db)->layout();
  const uint64_t ps = f.page_size;
  auto global = (*db)->GlobalUsageMap();
  std::vector<uint8_t> free(f.pages, 0);
  if (global.ok()) {
    for (uint32_t p : global->pages) free[p] = 1;
  }
  for (uint32_t n = 1; n < f.pages; ++n) {
    if (free[n]) continue;
    auto page = (*db)->pager().Page(n);
    if (!page.ok()) continue;
    uint8_t type = (*page)[0];
    f.pages_by_type[type].push_back(n);
    if (type == 1) {
      uint32_t owner = static_cast<uint32_t>((*page)[4]) | ((*page)[5] << 8) | ((*page)[6] << 16) |
                       (static_cast<uint32_t>((*page)[7]) << 24);
      if (owner == engine::kLvalOwner)
        f.lval_pages.push_back(n);
      else if (owner == 0)
        f.map_pages.push_back(n);
      else if (owner != 1)
        f.table_data_pages.push_back(n);
    }
  }
  const uint64_t header_bytes = L.data_header_size;
  for (const engine::CatalogObject* t : (*db)->tables()) {
    auto def = (*db)->ReadTableDef(t->table_page());
    if (!def.ok()) continue;
    f.tdef_pages.push_back(t->table_page());
    f.maps.emplace_back(t->table_page(), def->owned_map);
    if (!t->is_system()) {
      auto cat_page = (*db)->ReadDataPage(t->row.page);
      if (cat_page.ok() && t->row.row < cat_page->slots.size()) {
        const auto& slot = cat_page->slots[t->row.row];
        f.catalog_rows.emplace_back(t->row.page * ps + slot.start, t->row.page * ps + slot.end);
      }
    }
    engine::RowDecoder decoder(*def, L);
    std::vector<Bytes> lv(def->columns.size());
    // A key column of a primary-key or required index, and a fixed column
    // that alone is a unique key.
    const engine::ColumnDef* required = nullptr;
    const engine::ColumnDef* unique = nullptr;
    uint32_t unique_index = 0;
    for (const engine::PhysicalIndex& pi : def->physical_indexes) {
      bool primary = false;
      for (const auto& li : def->logical_indexes)
        primary |= li.physical == pi.position && li.kind == 1;
      for (const auto& ic : pi.columns) {
        const engine::ColumnDef* c = def->ColumnByNumber(ic.column_number);
        if (c == nullptr || c->is_boolean()) continue;
        if (required == nullptr && (primary || (pi.flags & engine::kIndexRequired))) required = c;
        if (unique == nullptr && pi.columns.size() == 1 && (pi.flags & engine::kIndexUnique) &&
            c->fixed() && !c->is_long_value()) {
          unique = c;
          unique_index = pi.position;
        }
      }
    }
    (void)(*db)->ScanRows(*def, [&](const engine::RowRef& ref) {
      RowFact r;
      r.table = t->table_page();
      r.location = ref.location;
      auto slot_range = [&](engine::RowPointer p) {
        auto dp = (*db)->ReadDataPage(p.page);
        if (!dp.ok() || p.row >= dp->slots.size()) return;
        const auto& slot = dp->slots[p.row];
        r.ranges.emplace_back(p.page * ps + slot.start, p.page * ps + slot.end);
        r.ranges.emplace_back(p.page * ps, p.page * ps + header_bytes);
        r.ranges.emplace_back(p.page * ps + header_bytes + 2 * p.row,
                              p.page * ps + header_bytes + 2 * p.row + 2);
        if (p.row > 0) {  // the previous entry bounds the slot
          r.ranges.emplace_back(p.page * ps + header_bytes + 2 * (p.row - 1),
                                p.page * ps + header_bytes + 2 * p.row);
        }
      };
      slot_range(ref.location);
      if (!(ref.data == ref.location)) slot_range(ref.data);
      if (!decoder.Decode(ref.bytes).ok()) {
        f.unreadable.insert({r.table, r.location.ToLe()});
        return true;
      }
      std::vector<engine::FieldRef> fields = decoder.fields();
      for (size_t k = 0; k < def->columns.size(); ++k) {
        if (!def->columns[k].is_long_value() || !fields[k].present) continue;
        std::vector<engine::RowPointer> pieces;
        if (!(*db)->ReadLongValue(fields[k].bytes, lv[k], &pieces).ok()) {
          f.unreadable.insert({r.table, r.location.ToLe()});
          return true;
        }
        fields[k].bytes = engine::ByteSpan(lv[k].data(), lv[k].size());
        r.lv_columns.push_back(k);
        for (const auto& p : pieces) {
          slot_range(p);
          r.lv_pieces.push_back(p);
          f.lv_pieces.emplace_back(t->table_page(), p);
        }
      }
      auto dp = (*db)->ReadDataPage(ref.data.page);
      if (dp.ok() && ref.data.row < dp->slots.size()) {
        const uint64_t row_at = ref.data.page * ps + dp->slots[ref.data.row].start;
        const size_t count =
            L.row_count_size == 1 ? ref.bytes[0] : ref.bytes[0] | (ref.bytes[1] << 8);
        const size_t k_req = required ? static_cast<size_t>(required - def->columns.data()) : 0;
        if (required != nullptr && fields[k_req].present && required->number < count) {
          r.required_null_at = row_at + ref.bytes.size() - (count + 7) / 8 + required->number / 8;
          r.required_null_bit = static_cast<uint8_t>(1u << (required->number % 8));
        }
        const size_t k_uni = unique ? static_cast<size_t>(unique - def->columns.data()) : 0;
        if (unique != nullptr && fields[k_uni].present &&
            fields[k_uni].bytes.data() >= ref.bytes.data()) {
          r.unique_at =
              row_at + static_cast<uint64_t>(fields[k_uni].bytes.data() - ref.bytes.data());
          r.unique_size = static_cast<uint32_t>(fields[k_uni].bytes.size());
          r.unique_index = unique_index;
        }
      }
      r.signature = Signature(*def, fields);
      r.parts = SignatureParts(*def, fields);
      f.rows.push_back(std::move(r));
      return true;
    });
  }
  return f;
}

struct Damage {
  DamageClass kind;
  std::string what;
  std::vector<Range> touched;
};

// Damages `file` in place. Deterministic for a given seed.
inline Damage Apply(Bytes& file, const FileFacts& f, DamageClass kind, uint64_t seed) {
  std::mt19937_64 rng(seed);
  auto pick = [&](size_t n) { return static_cast<size_t>(rng() % std::max<size_t>(n, 1)); };
  const uint64_t ps = f.page_size;
  Damage d{kind, "", {}};
  auto touch_page = [&](uint32_t page, uint64_t from = 0, uint64_t to = 0) {
    if (to == 0) to = ps;
    d.touched.emplace_back(page * ps + from, page * ps + to);
  };
  // A page of each type in turn: data, definition, index, long value, map rows.
  auto any_page = [&]() -> uint32_t {
    std::vector<const std::vector<uint32_t>*> kinds;
    for (const auto* v : {&f.table_data_pages, &f.lval_pages, &f.map_pages}) {
      if (!v->empty()) kinds.push_back(v);
    }
    for (uint8_t t : {uint8_t{2}, uint8_t{3}, uint8_t{4}}) {
      auto it = f.pages_by_type.find(t);
      if (it != f.pages_by_type.end() && !it->second.empty()) kinds.push_back(&it->second);
    }
    const auto& v = *kinds[pick(kinds.size())];
    return v[pick(v.size())];
  };
  switch (kind) {
    case DamageClass::kZeroedPage: {
      uint32_t p = any_page();
      std::fill_n(file.begin() + p * ps, ps, 0);
      touch_page(p);
      d.what = "page " + std::to_string(p) + " zeroed";
      break;
    }
    case DamageClass::kGarbagePage: {
      uint32_t p = any_page();
      for (uint64_t i = 0; i < ps; ++i) file[p * ps + i] = static_cast<uint8_t>(rng());
      touch_page(p);
      d.what = "page " + std::to_string(p) + " garbage";
      break;
    }
    case DamageClass::kTornPage: {
      // A write that stopped after some 512-byte sectors: the rest holds the
      // sectors of another page (what was there before).
      uint32_t p = any_page();
      uint32_t other = static_cast<uint32_t>(1 + pick(f.pages - 1));
      uint64_t cut = 512 * (1 + pick(ps / 512 - 1));
      std::memmove(file.data() + p * ps + cut, file.data() + other * ps + cut, ps - cut);
      touch_page(p, cut, ps);
      d.what = "page " + std::to_string(p) + " torn at " + std::to_string(cut) + " (rest from " +
               std::to_string(other) + ")";
      break;
    }
    case DamageClass::kRowBitFlips: {
      if (f.rows.empty()) break;
      const RowFact& r = f.rows[pick(f.rows.size())];
      const Range& slot = r.ranges[0];
      int flips = 1 + static_cast<int>(pick(3));
      for (int i = 0; i < flips && slot.second > slot.first; ++i) {
        uint64_t at = slot.first + pick(slot.second - slot.first);
        file[at] ^= static_cast<uint8_t>(1u << pick(8));
        d.touched.emplace_back(at, at + 1);
      }
      d.what = std::to_string(flips) + " bits flipped in page " + std::to_string(r.location.page) +
               " row " + std::to_string(r.location.row);
      break;
    }
    case DamageClass::kTruncateAtPage:
    case DamageClass::kTruncateInPage: {
      uint64_t page = 3 + pick(f.pages - 3);
      uint64_t cut = page * ps;
      if (kind == DamageClass::kTruncateInPage) cut += 1 + pick(ps - 1);
      d.touched.emplace_back(cut, file.size());
      file.resize(cut);
      d.what = "cut at byte " + std::to_string(cut);
      break;
    }
    case DamageClass::kLongValueChain: {
      if (f.lv_pieces.empty()) break;
      auto [table, piece] = f.lv_pieces[pick(f.lv_pieces.size())];
      (void)table;
      uint64_t entry =
          piece.page * ps + (f.version == engine::JetVersion::kJet4 ? 14 : 10) + 2 * piece.row;
      uint16_t raw = static_cast<uint16_t>(file[entry] | (file[entry + 1] << 8));
      uint64_t start = piece.page * ps + (raw & 0x1FFF);
      if (start + 4 > (piece.page + 1) * ps) break;
      if (pick(2) == 0) {
        // The piece marked deleted.
        file[entry + 1] |= 0x80;
        d.touched.emplace_back(entry, entry + 2);
        d.what = "long-value row " + std::to_string(piece.page) + ":" + std::to_string(piece.row) +
                 " marked deleted";
      } else {
        // Its first four bytes (a chain's next pointer) overwritten.
        for (int i = 0; i < 4; ++i) file[start + i] = static_cast<uint8_t>(rng());
        d.touched.emplace_back(start, start + 4);
        d.what = "long-value row " + std::to_string(piece.page) + ":" + std::to_string(piece.row) +
                 " pointer overwritten";
      }
      break;
    }
    case DamageClass::kIndexPage: {
      std::vector<uint32_t> idx;
      for (uint8_t t : {uint8_t{3}, uint8_t{4}}) {
        auto it = f.pages_by_type.find(t);
        if (it != f.pages_by_type.end())
          idx.insert(idx.end(), it->second.begin(), it->second.end());
      }
      if (idx.empty()) break;
      uint32_t p = idx[pick(idx.size())];
      for (uint64_t i = 0; i < ps; ++i) file[p * ps + i] = static_cast<uint8_t>(rng());
      touch_page(p);
      d.what = "index page " + std::to_string(p) + " garbage";
      break;
    }
    case DamageClass::kStoredCounts: {
      if (f.tdef_pages.empty()) break;
      uint32_t p = f.tdef_pages[pick(f.tdef_pages.size())];
      uint64_t at = p * ps + (f.version == engine::JetVersion::kJet4 ? 0x10 : 0x0C);
      for (int i = 0; i < 4; ++i) file[at + i] = static_cast<uint8_t>(rng());
      // And a data page's free-space field.
      if (!f.table_data_pages.empty()) {
        uint32_t dp = f.table_data_pages[pick(f.table_data_pages.size())];
        file[dp * ps + 2] = static_cast<uint8_t>(rng());
        file[dp * ps + 3] = static_cast<uint8_t>(rng() & 0x0F);
      }
      d.what = "row count of the table at page " + std::to_string(p) + " and a free-space field";
      break;
    }
    case DamageClass::kMapBitsCleared:
    case DamageClass::kMapBitsSet: {
      // A table's owned map, or the global map (page 1 row 0).
      bool global = pick(3) == 0 || f.maps.empty();
      engine::RowPointer where{1, 0};
      if (!global) where = f.maps[pick(f.maps.size())].second;
      uint64_t entry =
          where.page * ps + (f.version == engine::JetVersion::kJet4 ? 14 : 10) + 2 * where.row;
      uint64_t start = where.page * ps + ((file[entry] | (file[entry + 1] << 8)) & 0x1FFF);
      uint64_t end = where.row == 0
                         ? (where.page + 1) * ps
                         : where.page * ps + ((file[entry - 2] | (file[entry - 1] << 8)) & 0x1FFF);
      if (start < where.page * ps || end > (where.page + 1) * ps || end > file.size()) break;
      if (end <= start + 5 || file[start] != 0) break;  // inline maps only
      for (uint64_t b = start + 5; b < end; ++b) {
        if (kind == DamageClass::kMapBitsCleared) {
          file[b] = 0;
        } else {
          file[b] |= static_cast<uint8_t>(rng());
        }
      }
      d.what = std::string(kind == DamageClass::kMapBitsCleared ? "cleared" : "set") +
               " bits of the " +
               (global ? "global map" : "map at page " + std::to_string(where.page));
      break;
    }
    case DamageClass::kCatalogRow: {
      if (f.catalog_rows.empty()) break;
      Range r = f.catalog_rows[pick(f.catalog_rows.size())];
      for (uint64_t i = r.first; i < r.second; ++i) {
        if (pick(3) == 0) file[i] = static_cast<uint8_t>(rng());
      }
      d.touched.push_back(r);
      d.what = "catalog row at byte " + std::to_string(r.first) + " scrambled";
      break;
    }
    case DamageClass::kConstraintRow: {
      // A torn write of a key: NULL in a primary-key column, or the key
      // of another row of the table repeated.
      std::vector<size_t> nullable, repeatable;
      for (size_t i = 0; i < f.rows.size(); ++i) {
        if (f.rows[i].required_null_at != 0) nullable.push_back(i);
        if (f.rows[i].unique_size != 0) repeatable.push_back(i);
      }
      if (!repeatable.empty() && (nullable.empty() || pick(2) == 0)) {
        const RowFact& to = f.rows[repeatable[pick(repeatable.size())]];
        const RowFact* from = nullptr;
        for (size_t i : repeatable) {
          const RowFact& o = f.rows[i];
          if (&o != &to && o.table == to.table && o.unique_index == to.unique_index &&
              o.unique_size == to.unique_size && (from == nullptr || pick(4) == 0)) {
            from = &o;
          }
        }
        if (from != nullptr) {
          std::memcpy(file.data() + to.unique_at, file.data() + from->unique_at, to.unique_size);
          // Either of the two may be the one left out.
          d.touched.insert(d.touched.end(), to.ranges.begin(), to.ranges.end());
          d.touched.insert(d.touched.end(), from->ranges.begin(), from->ranges.end());
          d.what = "row at byte " + std::to_string(to.unique_at) + " given the unique key of " +
                   std::to_string(from->unique_at);
          break;
        }
      }
      if (nullable.empty()) break;
      const RowFact& row = f.rows[nullable[pick(nullable.size())]];
      file[row.required_null_at] &= static_cast<uint8_t>(~row.required_null_bit);
      d.touched.insert(d.touched.end(), row.ranges.begin(), row.ranges.end());
      d.what =
          "row's key column NULL (null mask at byte " + std::to_string(row.required_null_at) + ")";
      break;
    }
    case DamageClass::kHeaderFields: {
      const bool jet3 = f.version == engine::JetVersion::kJet3;
      switch (pick(3)) {
        case 0:
          // Jet 3: the code page (1252 read as 1253); Jet 4: the sort order.
          file[jet3 ? 0x3C : 0x6F] ^= jet3 ? 0x01 : 0x20;
          d.what = jet3 ? "page 0 code page changed" : "page 0 sort order changed";
          break;
        case 1:
          file[jet3 ? 0x3A : 0x6E] ^= 0x1D;
          d.what = "page 0 sort order changed";
          break;
        default:
          // Jet 4: the creation date that masks the password; Jet 3 has none.
          file[jet3 ? 0x3C : 0x79] ^= jet3 ? 0x01 : 0x04;
          d.what = jet3 ? "page 0 code page changed" : "page 0 creation date changed";
          break;
      }
      touch_page(0, 0x18, 0x98);
      break;
    }
    case DamageClass::kValueUnderIndex: {
      auto db = engine::Database::Open(engine::FileSource::FromSpan(file));
      if (!db.ok()) break;
      // Indexed fixed-size columns of user tables, in catalog order.
      std::vector<std::pair<engine::TableDef, size_t>> candidates;
      for (const engine::CatalogObject* t : (*db)->tables()) {
        if (t->is_system()) continue;
        auto def = (*db)->ReadTableDef(t->table_page());
        if (!def.ok()) continue;
        std::set<uint16_t> indexed;
        for (const auto& pi : def->physical_indexes) {
          for (const auto& ic : pi.columns) indexed.insert(ic.column_number);
        }
        for (size_t k = 0; k < def->columns.size(); ++k) {
          const engine::ColumnDef& c = def->columns[k];
          if (c.fixed() && !c.is_boolean() && indexed.count(c.number)) {
            candidates.emplace_back(def.value(), k);
          }
        }
      }
      if (candidates.empty()) break;
      const auto& [def, k] = candidates[pick(candidates.size())];
      auto at = FixedValueOffset(file, def, def.columns[k], **db, pick(4));
      if (!at) at = FixedValueOffset(file, def, def.columns[k], **db);
      if (!at) break;
      const uint8_t bit = static_cast<uint8_t>(1u << pick(8));
      file[*at] ^= bit;
      d.touched.emplace_back(*at, *at + 1);
      d.what = "a bit of " + def.columns[k].name + " flipped in a row of table at page " +
               std::to_string(def.first_page);
      break;
    }
    case DamageClass::kHeaderPage: {
      switch (pick(3)) {
        case 0:
          std::fill_n(file.begin(), ps, 0);
          d.what = "page 0 zeroed";
          break;
        case 1:
          for (uint64_t i = 0; i < 0x20; ++i) file[i] = static_cast<uint8_t>(rng());
          d.what = "page 0 signature and version garbage";
          break;
        default:
          file[0x14] ^= 1;
          d.what = "page 0 version byte flipped";
          break;
      }
      touch_page(0);
      break;
    }
  }
  return d;
}

struct Score {
  uint64_t untouched = 0;  // rows whose bytes the damage did not touch
  uint64_t recovered = 0;  // of those, handed over exactly
  uint64_t recovered_touched = 0;
  uint64_t value_lost = 0;  // handed over with a long value reported and NULL
  uint64_t invented = 0;
  uint64_t altered = 0;
  uint64_t reported_rows = 0;
  uint64_t missed_no_definition = 0;  // untouched rows of tables whose definition was hit
  bool open_failed = false;
  std::string open_error;
};

inline bool Overlaps(const std::vector<Range>& a, const std::vector<Range>& b) {
  for (const auto& x : a) {
    for (const auto& y : b) {
      if (x.first < y.second && y.first < x.second) return true;
    }
  }
  return false;
}

// Salvages `damaged` and scores it against the intact file's facts.
inline Score Evaluate(const Bytes& damaged, const FileFacts& f, const Damage& damage,
                      const std::string& password, std::vector<std::string>* notes = nullptr) {
  Score s;
  std::map<std::pair<uint32_t, uint32_t>, std::set<std::string>> value_lost;  // (table, ptr)
  auto sink = [&](const engine::LossRecord& r) {
    if (r.kind == engine::LossKind::kValue && r.position) {
      value_lost[{r.table, r.position->ToLe()}].insert(r.column);
    }
    if (notes) {
      notes->push_back(std::string("loss ") + std::string(engine::LossKindName(r.kind)) + " " +
                       r.table_name + ": " + r.reason);
    }
    if (r.kind == engine::LossKind::kRow || r.kind == engine::LossKind::kDuplicateRow ||
        r.kind == engine::LossKind::kCatalogRow || r.kind == engine::LossKind::kNullKey) {
      ++s.reported_rows;
    }
  };
  engine::SalvageOptions options;
  options.password = password;
  auto sv = engine::Salvager::Open(engine::FileSource::FromSpan(damaged), options, sink);
  if (!sv.ok()) {
    s.open_failed = true;
    s.open_error = sv.error().ToString();
  }
  // Intact rows by (table, location).
  std::map<std::pair<uint32_t, uint32_t>, const RowFact*> by_location;
  std::set<std::pair<uint32_t, uint32_t>> touched;
  for (const RowFact& r : f.rows) {
    by_location[{r.table, r.location.ToLe()}] = &r;
    if (Overlaps(r.ranges, damage.touched)) touched.insert({r.table, r.location.ToLe()});
  }
  std::set<std::pair<uint32_t, uint32_t>> handed;
  std::set<uint32_t> tables_seen;
  if (sv.ok()) {
    for (const engine::SalvagedTable& t : (*sv)->tables()) {
      tables_seen.insert(t.page);
      (void)(*sv)->ScanRows(t, [&](const engine::RowValues& row) {
        std::pair<uint32_t, uint32_t> key{t.page, row.location.ToLe()};
        auto it = by_location.find(key);
        const RowFact* src = it == by_location.end() ? nullptr : it->second;
        bool was_touched = touched.count(key) > 0;
        if (f.unreadable.count(key)) return true;
        std::string sig = Signature(t.def, row.fields);
        if (src && sig == src->signature) {
          handed.insert(key);
          if (was_touched) ++s.recovered_touched;
          return true;
        }
        // A long value reported lost: compare the rest.
        auto lost = value_lost.find(key);
        if (src && lost != value_lost.end()) {
          auto mine = SignatureParts(t.def, row.fields);
          bool same = mine.size() == src->parts.size();
          for (size_t k = 0; same && k < mine.size(); ++k) {
            bool masked = t.def.columns[k].is_long_value() &&
                          lost->second.count(t.def.columns[k].name) && mine[k] == "N";
            if (!masked && mine[k] != src->parts[k]) same = false;
          }
          if (same) {
            handed.insert(key);
            ++s.value_lost;
            return true;
          }
        }
        if (was_touched) {
          ++s.altered;
        } else {
          ++s.invented;
          if (notes) {
            notes->push_back("invented: table " + t.name + " page " +
                             std::to_string(row.location.page) + " row " +
                             std::to_string(row.location.row) +
                             (src ? " (differs from the intact row)" : " (no intact row there)"));
          }
        }
        return true;
      });
    }
  }
  for (const RowFact& r : f.rows) {
    std::pair<uint32_t, uint32_t> key{r.table, r.location.ToLe()};
    if (touched.count(key)) continue;
    ++s.untouched;
    if (handed.count(key)) {
      ++s.recovered;
    } else if (!tables_seen.count(r.table)) {
      ++s.missed_no_definition;
    } else if (notes) {
      notes->push_back("missed: table " + std::to_string(r.table) + " page " +
                       std::to_string(r.location.page) + " row " + std::to_string(r.location.row));
    }
  }
  return s;
}

// One row of the table a repaired copy lists its losses in.
struct ErrorTableRow {
  int32_t code = 0;
  std::string description;
  Bytes recid;        // empty when NULL
  std::string table;  // empty when NULL
};

// The rows of table `name` of a database, in storage order; nothing when
// the file does not open or has no such table. `error` says why.
inline std::optional<std::vector<ErrorTableRow>> ErrorTableRows(const std::string& path,
                                                                const std::string& password,
                                                                const std::string& name,
                                                                std::string* error = nullptr) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return std::nullopt;
  };
  auto db = engine::Database::Open(path, engine::OpenOptions{password});
  if (!db.ok()) return fail(db.error().ToString());
  const engine::CatalogObject* t = (*db)->FindTable(name);
  if (t == nullptr) return fail("no table " + name);
  auto def = (*db)->ReadTableDef(t->table_page());
  if (!def.ok()) return fail(def.error().ToString());
  auto column = [&](const char* c) -> std::optional<size_t> {
    for (size_t k = 0; k < def->columns.size(); ++k) {
      if (def->columns[k].name == c) return k;
    }
    return std::nullopt;
  };
  const auto code = column("ErrorCode"), description = column("ErrorDescription"),
             recid = column("ErrorRecid"), table = column("ErrorTable");
  if (!code || !description || !recid || !table) return fail(name + " lacks a column");
  std::vector<ErrorTableRow> rows;
  engine::Status st = engine::ScanRowValues(**db, *def, [&](const engine::RowValues& row) {
    ErrorTableRow r;
    const auto& f = row.fields;
    if (f[*code].present && f[*code].bytes.size() == 4) {
      r.code = static_cast<int32_t>(f[*code].bytes[0] | f[*code].bytes[1] << 8 |
                                    f[*code].bytes[2] << 16 |
                                    static_cast<uint32_t>(f[*code].bytes[3]) << 24);
    }
    if (f[*description].present) (*db)->text().DecodeValue(f[*description].bytes, r.description);
    if (f[*recid].present) r.recid.assign(f[*recid].bytes.begin(), f[*recid].bytes.end());
    if (f[*table].present) (*db)->text().DecodeValue(f[*table].bytes, r.table);
    rows.push_back(std::move(r));
    return true;
  });
  if (!st.ok()) return fail(st.error().ToString());
  return rows;
}

// Compares the last rows of an error table with the losses a repair
// reported: one row per loss of data (notes about page 0 and made-up
// names excepted), in order, with its error number, the table's name, the
// lost bytes and the reason. Returns what differs, or "".
inline std::string ErrorTableMismatch(const std::vector<ErrorTableRow>& rows,
                                      const std::vector<engine::LossRecord>& losses) {
  std::vector<const engine::LossRecord*> listed;
  for (const auto& l : losses) {
    if (l.kind != engine::LossKind::kHeader && l.kind != engine::LossKind::kTableName) {
      listed.push_back(&l);
    }
  }
  if (rows.size() < listed.size()) {
    return std::to_string(rows.size()) + " rows for " + std::to_string(listed.size()) + " losses";
  }
  const size_t first = rows.size() - listed.size();
  for (size_t i = 0; i < listed.size(); ++i) {
    const ErrorTableRow& r = rows[first + i];
    const engine::LossRecord& l = *listed[i];
    const std::string at = "row " + std::to_string(first + i) + " (" +
                           std::string(engine::LossKindName(l.kind)) + "): ";
    const int32_t code = l.kind == engine::LossKind::kDuplicateRow ? 3022
                         : l.kind == engine::LossKind::kNullKey    ? 3058
                                                                   : 3049;
    if (r.code != code) return at + "error " + std::to_string(r.code);
    if (r.table != l.table_name) return at + "table " + r.table + " for " + l.table_name;
    if (r.recid != l.raw) return at + "the lost bytes differ";
    if (r.description.find(l.reason) == std::string::npos) {
      return at + "description without the reason: " + r.description;
    }
  }
  return "";
}

}  // namespace salvage_test
