#include <algorithm>
#include <unordered_set>

#include "base/bytes.h"
#include "format/index_page.h"
#include "keys/index_key.h"
#include "format/long_value.h"
#include "format/usage_map.h"
#include "salvage/salvage_internal.h"

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

// End of the variable data area of the row the decoder last took apart:
// where the trailer (offsets, jump table, counts, null mask) begins.
size_t VarLimit(const Layout& L, const RowDecoder& d, size_t length) {
  const size_t M = (static_cast<size_t>(d.row_column_count()) + 7) / 8;
  const size_t v = d.row_var_count();
  if (L.version == JetVersion::kJet4) return length - M - 2 - 2 * (v + 1);
  size_t jumps = (length - 1) / 256;
  size_t first = length - M - 2 - jumps;
  return first - v;
}

}  // namespace

std::optional<std::string> ValidateRow(const TableDef& def, const Layout& L,
                                       const RowDecoder& decoder, uint32_t page_count,
                                       size_t length) {
  const uint16_t columns = decoder.row_column_count();
  if (columns == 0 || columns > def.max_cols) {
    return "the row has " + Num(columns) + " columns, the table at most " + Num(def.max_cols);
  }
  // The fixed area of a row holds every fixed column the row carries.
  size_t fixed_end = L.row_count_size;
  for (const ColumnDef& c : def.columns) {
    if (!c.fixed() || c.is_boolean() || c.number >= columns) continue;
    size_t size = FixedTypeSize(c.type);
    if (size == 0) size = c.length;
    fixed_end = std::max(fixed_end, L.row_count_size + c.fixed_offset + size);
  }
  const size_t mask = (static_cast<size_t>(columns) + 7) / 8;
  // A row written before the table's first variable column has no
  // variable part (the decoder then gives no offsets).
  if (def.num_var_cols > 0 && !decoder.var_offsets().empty()) {
    const auto& offsets = decoder.var_offsets();
    if (decoder.row_var_count() > def.num_var_cols) {
      return "the row has " + Num(decoder.row_var_count()) + " variable columns, the table " +
             Num(def.num_var_cols);
    }
    if (offsets[0] < fixed_end) {
      return "the variable data starts inside the fixed area";
    }
    for (size_t i = 1; i < offsets.size(); ++i) {
      if (offsets[i] < offsets[i - 1]) return "variable offsets decrease at entry " + Num(i);
    }
    if (offsets.back() > VarLimit(L, decoder, length)) {
      return "the variable data runs into the row's trailer";
    }
  } else if (fixed_end > length - mask) {
    return "the fixed area runs into the null mask";
  }
  const bool jet4 = L.version == JetVersion::kJet4;
  for (size_t k = 0; k < def.columns.size(); ++k) {
    const ColumnDef& c = def.columns[k];
    const FieldRef& f = decoder.fields()[k];
    if (!f.present || c.is_boolean()) continue;
    const std::string col = "column " + c.name + ": ";
    uint32_t size = FixedTypeSize(c.type);
    if (size != 0 && f.bytes.size() != size) {
      return col + Num(f.bytes.size()) + " bytes for a value of " + Num(size);
    }
    if (IsType(c, ColumnType::kNumeric)) {
      if (f.bytes[0] != 0x00 && f.bytes[0] != 0x80) return col + "invalid decimal sign";
    } else if (IsType(c, ColumnType::kText)) {
      size_t stored = f.bytes.size();
      if (jet4 && stored >= 2 && f.bytes[0] == 0xFF && f.bytes[1] == 0xFE) {
        std::string ucs2;
        ExpandCompressedUnicode(f.bytes.subspan(2), ucs2);
        stored = ucs2.size();
      } else if (jet4 && stored % 2 != 0) {
        return col + "text of an odd number of bytes";
      }
      if (c.length != 0 && stored > c.length) {
        return col + "text of " + Num(stored) + " bytes in a column of " + Num(c.length);
      }
    } else if (IsType(c, ColumnType::kBinary)) {
      if (c.length != 0 && f.bytes.size() > c.length) {
        return col + "binary value longer than its column";
      }
    } else if (c.is_long_value()) {
      auto h = DecodeLongValueHeader(f.bytes);
      if (!h.ok()) return col + h.error().description();
      const LongValueHeader& lv = h.value();
      if (lv.kind == LongValueKind::kInline) {
        if (f.bytes.size() - 12 != lv.length) {
          return col + "inline long value of " + Num(lv.length) + " bytes in a field of " +
                 Num(f.bytes.size() - 12);
        }
      } else {
        if (f.bytes.size() != 12) return col + "long-value reference of the wrong size";
        if (lv.first.page == 0 || lv.first.page >= page_count) {
          return col + "long value points at page " + Num(lv.first.page) + ", outside the file";
        }
        if (lv.length == 0) return col + "long value of length 0 stored outside the row";
      }
    }
  }
  return std::nullopt;
}

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
    ByteSpan page = pager->PageOrThrow(n);
    uint32_t count = Le16(page.data() + layout->data_row_count_offset);
    if (count > 256 || layout->data_header_size + 2 * count > ValidBytes(n)) return 0;
    uint64_t live = 0;
    for (uint32_t i = 0; i < count; ++i) {
      if (!(Le16(page.data() + layout->data_header_size + 2 * i) & kRowDeletedFlag)) ++live;
    }
    return live;
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
    for (const PhysicalIndex& pi : t.def.physical_indexes) {
      if (!(pi.flags & kIndexUnique) || pi.columns.empty()) continue;
      UniqueIndex u;
      u.name = "index " + Num(pi.position);
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
  }

  Status Run(const RowVisitor& visit) {
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
      const uint32_t count = Le16(page.data() + L_.data_row_count_offset);
      const uint32_t table_end = L_.data_header_size + 2 * count;
      if (count > 256 || table_end > valid) {
        s_.Lose(Loss(
            LossKind::kPage, t_.page, t_.name, RowPointer{number, 0}, "",
            "data page " + Num(number) + ": its row count " + Num(count) + " does not fit the page",
            std::vector<uint8_t>(page.begin(), page.begin() + valid)));
        continue;
      }
      starts_.clear();
      for (uint32_t i = 0; i < count; ++i) {
        starts_.push_back(Le16(page.data() + L_.data_header_size + 2 * i) & kRowOffsetMask);
      }
      for (uint32_t i = 0; i < count; ++i) {
        uint16_t raw = Le16(page.data() + L_.data_header_size + 2 * i);
        if (raw & kRowDeletedFlag) continue;  // deleted, or the data of a moved row
        const RowPointer at{number, static_cast<uint8_t>(i)};
        std::string why;
        ByteSpan bytes;
        if (raw & kRowLookupFlag) {
          ByteSpan pointer = Span(page, count, i, valid, false);
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
          ByteSpan first = Span(page, count, i, valid, false);
          if (first.empty() && !InBounds(count, i, valid)) {
            Lost(row_kind, at, "row offsets lie outside the page", {});
            continue;
          }
          if (Take(first, why)) {
            bytes = first;
          } else {
            // The slot's end comes from the previous slot's start; when that
            // entry is damaged, the nearest start above this row bounds it.
            ByteSpan second = Span(page, count, i, valid, true);
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
    return Status();
  }

 private:
  struct UniqueIndex {
    std::string name;
    std::vector<size_t> fields;  // positions in TableDef::columns, key order
    std::vector<KeyColumn> columns;
    std::unordered_set<std::string> keys;
  };

  bool InBounds(uint32_t count, uint32_t i, uint32_t valid) const {
    uint32_t start = starts_[i];
    return start >= L_.data_header_size + 2 * count && start < valid;
  }

  // The bytes of slot i: up to the previous slot's start, or (nearest) up to
  // the lowest start above this one. Empty when out of the page.
  ByteSpan Span(ByteSpan page, uint32_t count, uint32_t i, uint32_t valid, bool nearest) const {
    uint32_t start = starts_[i];
    uint32_t end = L_.page_size;
    if (!nearest) {
      if (i > 0) end = starts_[i - 1];
    } else {
      for (uint32_t k = 0; k < count; ++k) {
        if (starts_[k] > start && starts_[k] < end) end = starts_[k];
      }
    }
    if (start < L_.data_header_size + 2 * count || start > end || end > valid) return {};
    return page.subspan(start, end - start);
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
    uint32_t count = Le16(page.data() + L_.data_row_count_offset);
    if (count > 256 || L_.data_header_size + 2 * count > valid || p.row >= count) {
      why = pointer + " names " + At(p) + ", which does not exist";
      return {};
    }
    const uint8_t* entries = page.data() + L_.data_header_size;
    uint16_t raw = Le16(entries + 2 * p.row);
    if (std::string problem = entry_problem(raw); !problem.empty()) {
      why = std::move(problem);
      return {};
    }
    uint32_t start = raw & kRowOffsetMask;
    uint32_t end = p.row == 0 ? L_.page_size : Le16(entries + 2 * (p.row - 1)) & kRowOffsetMask;
    if (start < L_.data_header_size + 2 * count || start > end || end > valid) {
      why = row + " at " + At(p) + " lies outside its page";
      return {};
    }
    return page.subspan(start, end - start);
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
    if (auto bad = ValidateRow(t_.def, L_, decoder_, s_.pager->page_count(), bytes.size())) {
      why = *bad;
      return false;
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
    // A torn write can leave a row twice: the first keeps its place.
    std::vector<std::pair<UniqueIndex*, std::string>> keys;
    for (UniqueIndex& u : unique_) {
      auto key = KeyOf(u);
      if (!key) continue;
      if (u.keys.count(*key)) {
        LossRecord r =
            Loss(t_.page == 2 ? LossKind::kCatalogRow : LossKind::kDuplicateRow, t_.page, t_.name,
                 at, u.name, "the row repeats the key of an earlier row in unique index " + u.name,
                 std::vector<uint8_t>(bytes.begin(), bytes.end()));
        if (r.kind == LossKind::kCatalogRow) r.kind = LossKind::kDuplicateRow;
        for (size_t k = 0; k < fields.size(); ++k) {
          if (t_.def.columns[k].is_long_value() && row_.fields[k].present) {
            r.long_values.emplace_back(t_.def.columns[k].name, long_values_[k]);
          }
        }
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
  std::vector<uint32_t> starts_;
  std::vector<std::vector<uint8_t>> long_values_;
  std::vector<UniqueIndex> unique_;
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
