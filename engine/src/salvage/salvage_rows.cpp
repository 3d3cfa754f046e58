#include <algorithm>
#include <unordered_set>

#include "base/bytes.h"
#include "format/data_page.h"
#include "format/index_page.h"
#include "format/long_value.h"
#include "format/usage_map.h"
#include "keys/index_key.h"
#include "salvage/salvage_internal.h"
#include "salvage/validate.h"

namespace engine {

namespace {

std::string Num(uint64_t n) {
  return std::to_string(n);
}

std::string At(RowPointer p) {
  return "page " + Num(p.page) + " row " + Num(p.row);
}

bool IsType(const ColumnDef& c, ColumnType t) {
  return c.type == static_cast<uint8_t>(t);
}

}  // namespace

std::vector<uint32_t> Salvager::State::DataPagesOf(const SalvagedTable& table,
                                                   std::vector<uint32_t>* doubtful) {
  const uint32_t pages = pager->page_count();
  if (table.page == 2 && catalog_rebuilt) {
    std::vector<uint32_t> out;
    for (uint32_t n = 3; n < pages; ++n) {
      if (page_type[n] == static_cast<uint8_t>(PageType::kData) && owner[n] == 2 &&
          !(have_global_map && free[n])) {
        out.push_back(n);
      }
    }
    return out;
  }
  std::optional<UsageMap> owned;
  if (table.def.owned_map.page != 0) {
    auto m = ReadUsageMap(*pager, *layout, table.def.owned_map);
    if (m.ok()) owned = std::move(m.value());
  }
  // Pages the table's indexes point into, read only when a page naming the
  // table is missing from its map: real files keep stale pages that name
  // their table, are not marked free and hold rows that look live, so the
  // owner field alone is not enough.
  std::optional<std::unordered_set<uint32_t>> indexed;
  bool index_walked = false;
  auto index_evidence = [&](uint32_t page) {
    if (!indexed) {
      indexed.emplace();
      for (const PhysicalIndex& pi : table.def.physical_indexes) {
        if (pi.root_page == 0 || pi.root_page >= pages) continue;
        Status st = WalkLeafChain(*pager, *layout, pi.root_page,
                                  [&](const IndexPage&, const IndexEntry& e) {
                                    indexed->insert(e.row.page);
                                    return true;
                                  });
        if (st.ok()) index_walked = true;
      }
    }
    return indexed->count(page) > 0;
  };
  // The map lost pages when the rows on the pages it lists plus those on the
  // unlisted pages naming the table make up exactly the stored row count.
  auto live_rows = [&](uint32_t n) -> uint64_t {
    const SlotTable slots(pager->PageOrThrow(n), *layout, ValidBytes(n));
    return slots.addressable() ? slots.undeleted_count() : 0;
  };
  uint64_t listed_rows = 0, unlisted_rows = 0;
  for (uint32_t n = 2; n < pages; ++n) {
    if (page_type[n] != static_cast<uint8_t>(PageType::kData) || owner[n] != table.page) continue;
    if (owned && owned->Contains(n)) {
      listed_rows += live_rows(n);
    } else if (!(have_global_map && free[n])) {
      unlisted_rows += live_rows(n);
    }
  }
  // Only a map whose pages are all intact can be said to have lost bits.
  bool lists_others = false;  // pages inside the file that are not the table's
  if (owned) {
    for (uint32_t n : owned->pages) {
      if (page_type[n] != static_cast<uint8_t>(PageType::kData) || owner[n] != table.page) {
        lists_others = true;
      }
    }
  }
  const bool map_intact = owned && !lists_others && owned->pages_beyond_file == 0;
  if (reporting && (lists_others || (owned && owned->pages_beyond_file > 0))) {
    lost_pages.insert(table.page);
  }
  const bool map_short =
      map_intact && unlisted_rows > 0 && listed_rows + unlisted_rows == table.def.num_rows;
  // A map that lists pages not the table's, or more live rows than the
  // definition counts, has had bits set: a page of the table it lists that
  // the file's own map marks free is a stale one (no index of the table
  // points into it), not one the map vouches for.
  const bool map_gained_bits = lists_others || listed_rows > table.def.num_rows;
  // A map that cannot be read, or that lists pages which are not the
  // table's (its row was overwritten), says nothing: the pages naming the
  // table are taken when their rows make up exactly the stored row count.
  // Bits past the end of an uncut file are garbage too.
  const bool map_garbage =
      !owned || lists_others || (owned->pages_beyond_file > 0 && !file_truncated);
  const bool count_vouches = map_garbage && listed_rows + unlisted_rows == table.def.num_rows &&
                             listed_rows + unlisted_rows > 0;
  std::vector<uint32_t> out;
  for (uint32_t n = 2; n < pages; ++n) {
    if (page_type[n] != static_cast<uint8_t>(PageType::kData)) continue;
    const uint32_t o = owner[n];
    const bool listed = owned && owned->Contains(n);
    const bool marked_free = have_global_map && free[n];
    if (o == table.page) {
      if (listed && marked_free && map_gained_bits && !index_evidence(n)) continue;
      if (listed || index_evidence(n) || ((map_short || count_vouches) && !marked_free)) {
        out.push_back(n);
      } else if (!map_intact && !index_walked && !marked_free && doubtful) {
        // Neither the map, nor an index, nor the row count can tell these
        // from stale pages: reported whole instead of taken.
        doubtful->push_back(n);
      }
    } else if (listed && !marked_free && !table_pages.count(o) && o != 0 && o != 1 &&
               o != kLvalOwner) {
      // The owner field names no table: damaged; the map says whose it is.
      out.push_back(n);
    }
  }
  return out;
}

namespace {

// What the scan of one table keeps between rows.
class TableScan {
 public:
  TableScan(Salvager::State& s, const SalvagedTable& t)
      : s_(s), t_(t), L_(*s.layout), decoder_(t.def, L_) {
    pages_ = s.DataPagesOf(t, &doubtful_);
    page_set_.insert(pages_.begin(), pages_.end());
    long_values_.resize(t.def.columns.size());
    row_.fields.resize(t.def.columns.size());
    FindRequiredIndexes(t.def);
    for (const PhysicalIndex& pi : t.def.physical_indexes) {
      if (!(pi.flags & kIndexUnique) || pi.columns.empty()) continue;
      UniqueIndex u;
      u.name = "index " + Num(pi.position);
      u.root_page = pi.root_page;
      for (const LogicalIndex& li : t.def.logical_indexes) {
        if (li.physical == pi.position) {
          u.name = li.name;
          break;
        }
      }
      bool ok = true;
      for (const IndexColumn& ic : pi.columns) {
        const ColumnDef* c = t.def.ColumnByNumber(ic.column_number);
        if (c == nullptr) {
          ok = false;
          break;
        }
        u.fields.push_back(static_cast<size_t>(c - t.def.columns.data()));
        KeyColumn kc;
        kc.type = c->type;
        kc.ascending = ic.ascending;
        kc.format = L_.version == JetVersion::kJet4 ? KeyFormat::kJet4 : KeyFormat::kJet3;
        kc.sort_order = c->sort_order;
        kc.sort_order_version = c->sort_order_version;
        kc.code_page = c->code_page != 0 ? c->code_page : s.header.code_page;
        u.columns.push_back(kc);
      }
      if (ok) unique_.push_back(std::move(u));
    }
    if (t.page == 2) {
      const ColumnDef* id = t.def.FindColumn("Id");
      const ColumnDef* type = t.def.FindColumn("Type");
      if (id && type) {
        catalog_id_ = static_cast<size_t>(id - t.def.columns.data());
        catalog_type_ = static_cast<size_t>(type - t.def.columns.data());
      }
      if (const ColumnDef* name = t.def.FindColumn("Name")) {
        catalog_name_ = static_cast<size_t>(name - t.def.columns.data());
      }
    }
  }

  Status Run(const RowVisitor& visit) {
    ReadHeldKeys();
    const LossKind row_kind = t_.page == 2 ? LossKind::kCatalogRow : LossKind::kRow;
    for (uint32_t number : doubtful_) {
      ByteSpan page = s_.pager->PageOrThrow(number);
      s_.Lose(Loss(LossKind::kPage, t_.page, t_.name, RowPointer{number, 0}, "",
                   "data page " + Num(number) +
                       " names the table, but with its page map lost nothing tells it from a "
                       "stale page: its rows are not taken",
                   std::vector<uint8_t>(page.begin(), page.begin() + s_.ValidBytes(number))));
    }
    for (uint32_t number : pages_) {
      ByteSpan page = s_.pager->PageOrThrow(number);
      const uint32_t valid = s_.ValidBytes(number);
      const SlotTable slots(page, L_, valid);
      const uint32_t count = slots.count();
      if (!slots.addressable()) {
        s_.Lose(Loss(
            LossKind::kPage, t_.page, t_.name, RowPointer{number, 0}, "",
            "data page " + Num(number) + ": its row count " + Num(count) + " does not fit the page",
            std::vector<uint8_t>(page.begin(), page.begin() + valid)));
        continue;
      }
      for (uint32_t i = 0; i < count; ++i) {
        if (slots.deleted(i)) continue;  // deleted, or the data of a moved row
        const RowPointer at{number, static_cast<uint8_t>(i)};
        std::string why;
        ByteSpan bytes;
        if (slots.lookup(i)) {
          ByteSpan pointer = Span(slots, i, false);
          if (pointer.size() < 4) {
            Lost(row_kind, at, "overflow slot too short for its pointer", pointer);
            continue;
          }
          RowPointer target = RowPointer::FromLe(Le32(pointer.data()));
          ByteSpan data = Target(target, why);
          if (!why.empty()) {
            Lost(row_kind, at, "moved row: " + why, pointer);
            continue;
          }
          if (!Take(data, why)) {
            Lost(row_kind, at, "moved row at " + At(target) + ": " + why, data);
            continue;
          }
          bytes = data;
        } else {
          ByteSpan first = Span(slots, i, false);
          if (first.empty() && !slots.starts_in_row_area(i)) {
            Lost(row_kind, at, "row offsets lie outside the page", {});
            continue;
          }
          if (Take(first, why)) {
            bytes = first;
          } else {
            // The slot's end comes from the previous slot's start; when that
            // entry is damaged, the nearest start above this row bounds it.
            ByteSpan second = Span(slots, i, true);
            std::string ignored;
            if (second.size() != first.size() && !second.empty() && Take(second, ignored)) {
              bytes = second;
            } else {
              Lost(row_kind, at, why, first);
              continue;
            }
          }
        }
        if (!Emit(at, bytes, visit)) return Status();
      }
      if (s_.options.progress && ++pages_done_ % 64 == 0) {
        Progress p{"reading", t_.name, pages_done_, pages_.size()};
        if (!s_.options.progress(p)) return Error(ErrorCode::kInvalidArgument, "cancelled");
      }
    }
    final_pass_ = true;
    for (const auto& [at, bytes] : deferred_) {
      std::string why;
      if (Take(bytes, why) && !Emit(at, bytes, visit)) break;
    }
    return Status();
  }

 private:
  // An index no row may leave a key column NULL in: the primary key, or one
  // marked required. A row that does is left out, as no copy can index it.
  struct RequiredIndex {
    std::string name;
    std::vector<size_t> fields;  // non-boolean key columns, positions in TableDef::columns
    bool ignore_nulls = false;   // a row NULL in every key column has no entry at all
  };
  void FindRequiredIndexes(const TableDef& def) {
    for (const PhysicalIndex& pi : def.physical_indexes) {
      const LogicalIndex* primary = nullptr;
      const LogicalIndex* named = nullptr;
      for (const LogicalIndex& li : def.logical_indexes) {
        if (li.physical != pi.position) continue;
        if (named == nullptr) named = &li;
        if (li.kind == 1 && primary == nullptr) primary = &li;
      }
      if (!(pi.flags & kIndexRequired) && primary == nullptr) continue;
      RequiredIndex r;
      r.name = primary ? primary->name : named ? named->name : "index " + Num(pi.position);
      r.ignore_nulls = pi.flags & kIndexIgnoreNulls;
      bool ok = true;
      for (const IndexColumn& ic : pi.columns) {
        const ColumnDef* c = def.ColumnByNumber(ic.column_number);
        if (c == nullptr) {
          ok = false;
          break;
        }
        if (!c->is_boolean()) r.fields.push_back(static_cast<size_t>(c - def.columns.data()));
      }
      if (ok && !r.fields.empty()) required_.push_back(std::move(r));
    }
  }
  // The required index a row leaves a key column NULL in, if any.
  const RequiredIndex* NullInRequired() const {
    for (const RequiredIndex& r : required_) {
      size_t nulls = 0;
      for (size_t k : r.fields) nulls += row_.fields[k].present ? 0 : 1;
      if (nulls == 0 || (r.ignore_nulls && nulls == r.fields.size())) continue;
      return &r;
    }
    return nullptr;
  }

  // A catalog row of another kind whose id is the page of a table
  // definition: a key overwritten by a torn write looks like this. It waits
  // until the end of the scan, so the table's own row keeps the id when both
  // survive, and the other is the one reported as repeating it.
  bool ClaimsDefinitionWeakly() const {
    if (!catalog_id_ || !catalog_type_) return false;
    const FieldRef& id = decoder_.fields()[*catalog_id_];
    const FieldRef& type = decoder_.fields()[*catalog_type_];
    if (!id.present || id.bytes.size() != 4 || !type.present || type.bytes.size() != 2) {
      return false;
    }
    if (static_cast<int16_t>(Le16(type.bytes.data())) == kObjectTable) return false;
    const uint32_t page = Le32(id.bytes.data());
    return page >= 3 && page < s_.page_type.size() &&
           s_.page_type[page] == static_cast<uint8_t>(PageType::kTableDef);
  }
  // The object types of catalog rows: tables, linked tables, queries,
  // relationships, containers, the database, and the kinds of document.
  bool KnownObjectType(size_t type_column) const {
    static constexpr int16_t kTypes[] = {1,      2,      3,      4,      5,      6,      7,     8,
                                         -32768, -32766, -32764, -32761, -32758, -32757, -32756};
    const int16_t type = static_cast<int16_t>(Le16(decoder_.fields()[type_column].bytes.data()));
    return std::find(std::begin(kTypes), std::end(kTypes), type) != std::end(kTypes);
  }
  std::optional<size_t> catalog_id_, catalog_type_, catalog_name_;

  // What a unique index holds: a digest of each entry's row and key, so a
  // row whose key no entry at its place holds (a key value changed by
  // damage) can be told from the row whose key it now repeats.
  static uint64_t EntryDigest(uint32_t location, ByteSpan key) {
    uint64_t h = 0xCBF29CE484222325ull;
    auto add = [&](uint8_t b) {
      h ^= b;
      h *= 0x100000001B3ull;
    };
    for (int i = 0; i < 4; ++i) add(static_cast<uint8_t>(location >> (8 * i)));
    for (uint8_t b : key) add(b);
    return h;
  }
  void ReadHeldKeys() {
    for (UniqueIndex& u : unique_) {
      if (u.root_page == 0 || u.root_page >= s_.pager->page_count()) continue;
      Status st =
          WalkLeafChain(*s_.pager, L_, u.root_page, [&](const IndexPage&, const IndexEntry& e) {
            u.held.push_back(EntryDigest(e.row.ToLe(), e.key));
            return true;
          });
      if (!st.ok()) {
        u.held.clear();
        continue;
      }
      std::sort(u.held.begin(), u.held.end());
      u.walked = true;
    }
  }
  // Rows held back to the end of the scan, so the rows the catalog and the
  // unique indexes vouch for claim their keys first; a bounded number, as
  // an index that went stale would hold back every row.
  static constexpr size_t kMostDeferred = 4096;
  bool Defer(RowPointer at, ByteSpan bytes, const std::vector<std::optional<std::string>>& keys) {
    if (final_pass_ || deferred_.size() >= kMostDeferred) return false;
    bool doubtful = ClaimsDefinitionWeakly();
    for (size_t i = 0; i < unique_.size() && !doubtful; ++i) {
      const UniqueIndex& u = unique_[i];
      if (!u.walked || !keys[i] || (*keys[i])[0] != 'k') continue;
      const std::string& key = *keys[i];
      const uint64_t d = EntryDigest(
          at.ToLe(), ByteSpan(reinterpret_cast<const uint8_t*>(key.data()) + 1, key.size() - 1));
      doubtful = !std::binary_search(u.held.begin(), u.held.end(), d);
    }
    if (!doubtful) return false;
    deferred_.push_back({at, std::vector<uint8_t>(bytes.begin(), bytes.end())});
    return true;
  }
  std::vector<std::pair<RowPointer, std::vector<uint8_t>>> deferred_;
  bool final_pass_ = false;

  struct UniqueIndex {
    std::string name;
    std::vector<size_t> fields;  // positions in TableDef::columns, key order
    std::vector<KeyColumn> columns;
    std::unordered_set<std::string> keys;
    uint32_t root_page = 0;
    std::vector<uint64_t> held;  // EntryDigest of every entry, sorted
    bool walked = false;         // `held` read whole
  };

  // The bytes of slot i: up to the previous slot's start, or (nearest) up to
  // the lowest start above this one. Empty when out of the page.
  static ByteSpan Span(const SlotTable& slots, uint32_t i, bool nearest) {
    return nearest ? slots.nearest_bytes(i) : slots.bytes(i);
  }

  // The data slot a moved row's pointer names, checked: a data page of this
  // table, a slot flagged as moved data (and not itself a pointer).
  ByteSpan Target(RowPointer p, std::string& why) {
    if (p.page == 0 || p.page >= s_.pager->page_count()) {
      why = "its pointer names page " + Num(p.page) + ", outside the file";
      return {};
    }
    if (s_.page_type[p.page] != static_cast<uint8_t>(PageType::kData) ||
        (s_.owner[p.page] != t_.page && !page_set_.count(p.page))) {
      why = "its pointer names " + At(p) + ", not a data page of this table";
      return {};
    }
    return SlotBytes(
        p, "its pointer", "the moved row",
        [&](uint16_t raw) {
          return (raw & (kRowDeletedFlag | kRowLookupFlag)) != kRowDeletedFlag
                     ? "its pointer names " + At(p) + ", which holds no moved row"
                     : std::string();
        },
        why);
  }

  // The bytes of slot `p.row` on page `p.page`, a page already known to be
  // of the right kind: the slot exists, `entry_problem` finds nothing wrong
  // with its offset entry, and the row lies inside the page's valid bytes.
  // `pointer` and `row` name the two in messages.
  template <class EntryProblem>
  ByteSpan SlotBytes(RowPointer p, const std::string& pointer, const std::string& row,
                     EntryProblem entry_problem, std::string& why) {
    ByteSpan page = s_.pager->PageOrThrow(p.page);
    const uint32_t valid = s_.ValidBytes(p.page);
    const SlotTable slots(page, L_, valid);
    if (!slots.addressable() || p.row >= slots.count()) {
      why = pointer + " names " + At(p) + ", which does not exist";
      return {};
    }
    if (std::string problem = entry_problem(slots.raw(p.row)); !problem.empty()) {
      why = std::move(problem);
      return {};
    }
    if (!slots.in_bounds(p.row)) {
      why = row + " at " + At(p) + " lies outside its page";
      return {};
    }
    return slots.bytes(p.row);
  }

  bool Take(ByteSpan bytes, std::string& why) {
    if (bytes.empty()) {
      why = "empty row";
      return false;
    }
    Status st = decoder_.Decode(bytes);
    if (!st.ok()) {
      why = st.error().description();
      return false;
    }
    if (auto bad = FirstUnusable(RowFindings(t_.def, L_, decoder_, bytes.size()))) {
      why = *bad;
      return false;
    }
    for (size_t k = 0; k < t_.def.columns.size(); ++k) {
      auto bad = FirstUnusable(
          ValueFindings(t_.def.columns[k], L_, decoder_.fields()[k], s_.pager->page_count()));
      if (bad) {
        why = *bad;
        return false;
      }
    }
    // A catalog row is an object by its Id and Type: without a Type it
    // names nothing, and a copy's check would reject it. (A row without an
    // Id is left out as a NULL primary key.)
    if (catalog_type_ && !decoder_.fields()[*catalog_type_].present) {
      why = "a catalog row without a Type";
      return false;
    }
    // A row of no object type Access writes whose id is the page of a table
    // definition was that table's row with its Type damaged: left out, the
    // definition is adopted as a recovered table instead of being lost.
    if (ClaimsDefinitionWeakly() && !KnownObjectType(*catalog_type_)) {
      why = "a catalog row of no known object type (" +
            std::to_string(Le16(decoder_.fields()[*catalog_type_].bytes.data())) +
            ") whose id is the page of a table definition";
      return false;
    }
    // Object names hold no control characters; one there is damage, and no
    // key can be made for it.
    if (catalog_name_ && decoder_.fields()[*catalog_name_].present) {
      std::string name;
      s_.text->DecodeValue(decoder_.fields()[*catalog_name_].bytes, name);
      if (std::any_of(name.begin(), name.end(),
                      [](char ch) { return static_cast<unsigned char>(ch) < 0x20; })) {
        why = "a catalog row whose name holds a control character";
        return false;
      }
    }
    return true;
  }

  void Lost(LossKind kind, RowPointer at, const std::string& why, ByteSpan raw) {
    s_.Lose(
        Loss(kind, t_.page, t_.name, at, "", why, std::vector<uint8_t>(raw.begin(), raw.end())));
  }

  // Reads a long value that validated as a field; false (with the bytes
  // that could be read) when its chain is broken.
  bool ReadLong(ByteSpan field, std::vector<uint8_t>& out, std::string& why) {
    out.clear();
    LongValueHeader h = DecodeLongValueHeader(field).value();
    if (h.kind == LongValueKind::kInline) {
      out.assign(field.begin() + 12, field.end());
      return true;
    }
    const uint64_t file_bytes =
        static_cast<uint64_t>(s_.pager->page_count()) * s_.layout->page_size;
    if (h.length > file_bytes) {
      why = "declared length " + Num(h.length) + " exceeds the file";
      return false;
    }
    if (h.kind == LongValueKind::kSingle) {
      ByteSpan piece = LvalSlot(h.first, why);
      if (!why.empty()) return false;
      if (piece.size() < h.length) {
        out.assign(piece.begin(), piece.end());
        why = "the long-value row at " + At(h.first) + " holds " + Num(piece.size()) + " of " +
              Num(h.length) + " bytes";
        return false;
      }
      out.assign(piece.begin(), piece.begin() + h.length);
      return true;
    }
    std::unordered_set<uint32_t> seen;
    RowPointer p = h.first;
    while (out.size() < h.length) {
      if (p.ToLe() == 0) {
        why = "the chain ends after " + Num(out.size()) + " of " + Num(h.length) + " bytes";
        return false;
      }
      if (!seen.insert(p.ToLe()).second) {
        why = "the chain loops back to " + At(p);
        return false;
      }
      ByteSpan piece = LvalSlot(p, why);
      if (!why.empty()) return false;
      if (piece.size() < 4) {
        why = "the long-value row at " + At(p) + " is shorter than its pointer";
        return false;
      }
      size_t take = std::min<size_t>(piece.size() - 4, h.length - out.size());
      out.insert(out.end(), piece.begin() + 4, piece.begin() + 4 + static_cast<ptrdiff_t>(take));
      p = RowPointer::FromLe(Le32(piece.data()));
    }
    return true;
  }

  ByteSpan LvalSlot(RowPointer p, std::string& why) {
    if (p.page == 0 || p.page >= s_.pager->page_count()) {
      why = "a long-value pointer names page " + Num(p.page) + ", outside the file";
      return {};
    }
    if (s_.page_type[p.page] != static_cast<uint8_t>(PageType::kData) ||
        s_.owner[p.page] != kLvalOwner) {
      why = "a long-value pointer names " + At(p) + ", not on a long-value page";
      return {};
    }
    return SlotBytes(
        p, "a long-value pointer", "the long-value row",
        [&](uint16_t raw) {
          return (raw & kRowDeletedFlag) ? "the long-value row at " + At(p) + " is deleted"
                                         : std::string();
        },
        why);
  }

  // The key of the row in a unique index, or nothing when a segment is NULL.
  std::optional<std::string> KeyOf(const UniqueIndex& u) {
    std::vector<KeyValue> values;
    std::vector<std::string> expanded(u.fields.size());
    std::string fallback;
    const bool jet4 = L_.version == JetVersion::kJet4;
    for (size_t i = 0; i < u.fields.size(); ++i) {
      const ColumnDef& c = t_.def.columns[u.fields[i]];
      const FieldRef& f = row_.fields[u.fields[i]];
      if (c.is_boolean()) {
        values.push_back(KeyValue::Bool(f.present));
        fallback += f.present ? "\1" : "\0";
        continue;
      }
      if (!f.present) return std::nullopt;
      ByteSpan b = f.bytes;
      bool text = IsType(c, ColumnType::kText) || IsType(c, ColumnType::kMemo);
      if (text && jet4 && b.size() >= 2 && b[0] == 0xFF && b[1] == 0xFE) {
        ExpandCompressedUnicode(b.subspan(2), expanded[i]);
        b = ByteSpan(reinterpret_cast<const uint8_t*>(expanded[i].data()), expanded[i].size());
      }
      values.push_back(KeyValue::Bytes(b));
      // Text keys ignore case: fold ASCII letters for the fallback.
      fallback += Num(b.size()) + ":";
      for (size_t k = 0; k < b.size(); ++k) {
        char ch = static_cast<char>(b[k]);
        bool letter_unit = !jet4 || (k % 2 == 0 && k + 1 < b.size() && b[k + 1] == 0);
        if (text && letter_unit && ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
        fallback += ch;
      }
    }
    EncodedKey key = EncodeIndexKey(u.columns, values);
    if (key.ok()) return "k" + std::string(key.bytes.begin(), key.bytes.end());
    return "f" + fallback;
  }

  bool Emit(RowPointer at, ByteSpan bytes, const RowVisitor& visit) {
    row_.location = at;
    row_.stored = bytes;
    const auto& fields = decoder_.fields();
    std::vector<std::pair<size_t, std::string>> broken;
    for (size_t k = 0; k < fields.size(); ++k) {
      row_.fields[k] = fields[k];
      const ColumnDef& c = t_.def.columns[k];
      if (!c.is_long_value() || !fields[k].present) continue;
      std::string why;
      if (ReadLong(fields[k].bytes, long_values_[k], why)) {
        row_.fields[k].bytes = ByteSpan(long_values_[k].data(), long_values_[k].size());
      } else {
        row_.fields[k].present = false;
        row_.fields[k].bytes = {};
        broken.emplace_back(k, why);
      }
    }
    const auto keep_long_values = [&](LossRecord& r) {
      for (size_t k = 0; k < fields.size(); ++k) {
        if (t_.def.columns[k].is_long_value() && row_.fields[k].present) {
          r.long_values.emplace_back(t_.def.columns[k].name, long_values_[k]);
        }
      }
    };
    if (const RequiredIndex* ri = NullInRequired()) {
      LossRecord r =
          Loss(LossKind::kNullKey, t_.page, t_.name, at, ri->name,
               "the row has no value in a key column of index " + ri->name + ", which requires one",
               std::vector<uint8_t>(bytes.begin(), bytes.end()));
      keep_long_values(r);
      s_.Lose(std::move(r));
      return true;
    }
    // A torn write can leave a row twice: the first keeps its place, but a
    // row the catalog or its unique indexes do not vouch for comes last.
    std::vector<std::optional<std::string>> row_keys;
    for (UniqueIndex& u : unique_) row_keys.push_back(KeyOf(u));
    if (Defer(at, bytes, row_keys)) return true;
    std::vector<std::pair<UniqueIndex*, std::string>> keys;
    for (size_t i = 0; i < unique_.size(); ++i) {
      UniqueIndex& u = unique_[i];
      std::optional<std::string>& key = row_keys[i];
      if (!key) continue;
      if (u.keys.count(*key)) {
        LossRecord r =
            Loss(t_.page == 2 ? LossKind::kCatalogRow : LossKind::kDuplicateRow, t_.page, t_.name,
                 at, u.name, "the row repeats the key of an earlier row in unique index " + u.name,
                 std::vector<uint8_t>(bytes.begin(), bytes.end()));
        if (r.kind == LossKind::kCatalogRow) r.kind = LossKind::kDuplicateRow;
        keep_long_values(r);
        s_.Lose(std::move(r));
        return true;
      }
      keys.emplace_back(&u, std::move(*key));
    }
    for (auto& [u, key] : keys) u->keys.insert(std::move(key));
    for (const auto& [k, why] : broken) {
      s_.Lose(Loss(LossKind::kValue, t_.page, t_.name, at, t_.def.columns[k].name,
                   "long value of column " + t_.def.columns[k].name + " left NULL: " + why,
                   long_values_[k]));
    }
    if (s_.reporting) ++s_.counts.rows;
    return visit(row_);
  }

  Salvager::State& s_;
  const SalvagedTable& t_;
  const Layout& L_;
  RowDecoder decoder_;
  std::vector<uint32_t> pages_;
  std::vector<uint32_t> doubtful_;
  std::unordered_set<uint32_t> page_set_;
  std::vector<std::vector<uint8_t>> long_values_;
  std::vector<UniqueIndex> unique_;
  std::vector<RequiredIndex> required_;
  RowValues row_;
  uint64_t pages_done_ = 0;
};

}  // namespace

Status Salvager::State::Scan(const SalvagedTable& table, const RowVisitor& visit) {
  if (options.progress) {
    Progress p{"reading", table.name, 0, 0};
    if (!options.progress(p)) return Error(ErrorCode::kInvalidArgument, "cancelled");
  }
  TableScan scan(*this, table);
  Status result;
  Status guard = GuardStatus([&] { result = scan.Run(visit); });
  if (!guard.ok()) return guard;
  return result;
}

Status ScanRowValues(const Database& db, const TableDef& table, const RowVisitor& visit) {
  RowDecoder decoder(table, db.layout());
  RowValues row;
  row.fields.resize(table.columns.size());
  std::vector<std::vector<uint8_t>> long_values(table.columns.size());
  Status inner;
  Status st = db.ScanRows(table, [&](const RowRef& ref) {
    Status d = decoder.Decode(ref.bytes);
    if (!d.ok()) {
      inner = Damaged(At(ref.location) + ": " + d.error().description());
      return false;
    }
    row.location = ref.location;
    row.stored = ref.bytes;
    for (size_t k = 0; k < table.columns.size(); ++k) {
      row.fields[k] = decoder.fields()[k];
      if (!table.columns[k].is_long_value() || !row.fields[k].present) continue;
      Status lv = db.ReadLongValue(row.fields[k].bytes, long_values[k]);
      if (!lv.ok()) {
        inner = Damaged(At(ref.location) + ": " + lv.error().description());
        return false;
      }
      row.fields[k].bytes = ByteSpan(long_values[k].data(), long_values[k].size());
    }
    return visit(row);
  });
  if (!st.ok()) return st;
  return inner;
}

}  // namespace engine
