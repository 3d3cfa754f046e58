// Checker part: table definitions, data pages, row slots, rows, values,
// overflow rows and long values.
#include <algorithm>
#include <cstdio>
#include <string_view>

#include "base/bytes.h"
#include "check/check_internal.h"
#include "format/long_value.h"

namespace engine::check {

namespace {

std::string Num(uint64_t v) {
  return std::to_string(v);
}

bool IsType(const ColumnDef& c, ColumnType type) {
  return c.type == static_cast<uint8_t>(type);
}

}  // namespace

void Checker::ClaimDefinitionChain(uint32_t page) {
  // As far as it goes, even when it cannot be decoded, so its pages are not
  // reported as orphans as well.
  Where w;
  w.table = page;
  w.page = page;
  std::unordered_set<uint32_t> seen;
  for (uint32_t p = page; p != 0;) {
    if (!seen.insert(p).second) break;  // ReadTableDef reports the loop
    if (!Claim(p, PageOwner{OwnerKind::kTableDef, page, 0}, w, "a table definition chain")) break;
    ByteSpan bytes = pager_.PageOrThrow(p);
    if (bytes[0] != static_cast<uint8_t>(PageType::kTableDef)) break;
    p = Le32(bytes.data() + 4);
  }
}

void Checker::CheckLinkedDefinition(uint32_t page) {
  Where w;
  w.table = page;
  w.page = page;
  ClaimDefinitionChain(page);
  auto def = ReadTableDef(pager_, layout_, text_, page);
  if (!def.ok()) {
    Report("tdef-invalid", w, def.error().description());
    return;
  }
  ++report_.counts.tables;
  const TableDef& t = def.value();
  const bool layout_ok = CheckTableDef(t);
  // The rows live in the remote source; the maps and the (empty) index
  // trees the definition names are checked and claimed like any table's.
  if (t.owned_map.page != 0) ReadMap(t.owned_map, page, w, "the owned-pages map of a linked table");
  if (t.free_map.page != 0) ReadMap(t.free_map, page, w, "the free-space map of a linked table");
  if (layout_ok) {
    const std::vector<LiveRow> no_rows;
    index_named_pages_.clear();
    CheckIndexes(t, no_rows, IndexFactsGatherer(db_, layout_, t).Take());
  }
  data_pages_.clear();
}

void Checker::CheckTable(uint32_t page, bool catalog) {
  Where w;
  w.table = page;
  w.page = page;
  TableSummary& summary = tables_[page];
  summary.page = page;

  ClaimDefinitionChain(page);
  auto def = ReadTableDef(pager_, layout_, text_, page);
  if (!def.ok()) {
    Report("tdef-invalid", w, def.error().description());
    return;
  }
  const TableDef& t = def.value();
  summary.readable = true;
  summary.logical = t.logical_indexes;
  ++report_.counts.tables;
  // A table whose check found nothing at all, every key verified, needs no
  // second pass for rows its indexes contradict (CheckAlteredRows).
  const uint64_t problems_before = report_.total_problems();
  const uint64_t unverifiable_before = report_.counts.keys_not_verifiable;
  bool layout_ok = CheckTableDef(t);

  std::vector<LiveRow> rows;
  std::optional<IndexFactsGatherer> facts;
  if (layout_ok) facts.emplace(db_, layout_, t);
  ScanTableRows(t, rows, facts ? &*facts : nullptr);
  CheckLongValueMaps(t);
  if (catalog) CollectCatalogRows(t, rows);
  CollectIdReferences(t, rows);
  index_named_pages_.clear();
  fully_indexed_ = false;
  if (layout_ok) CheckIndexes(t, rows, facts->Take());
  CheckUnmappedPages(t, rows);
  if (layout_ok && report_.total_problems() == problems_before &&
      report_.counts.keys_not_verifiable == unverifiable_before) {
    keys_agree_.insert(t.first_page);
  }
  owned_pages_.clear();
  // Decoded pages are kept for one table at a time.
  data_pages_.clear();
}

bool Checker::CheckTableDef(const TableDef& t) {
  bool ok = true;
  for (const Finding& f : TableDefFindings(t, layout_)) {
    if (f.breaks_layout) ok = false;
    if (f.code == nullptr) continue;
    Where w;
    w.table = t.first_page;
    w.page = f.page.value_or(t.first_page);
    w.index = f.index;
    Report(f.code, w, f.message);
  }
  return ok;
}

void Checker::ScanTableRows(const TableDef& t, std::vector<LiveRow>& rows,
                            IndexFactsGatherer* facts) {
  Where w;
  w.table = t.first_page;
  w.page = t.first_page;
  if (t.owned_map.page == 0) {
    Report("tdef-invalid", w, "the table has no owned-pages map");
    return;
  }
  auto owned = ReadMap(t.owned_map, t.first_page, w, "the table's owned-pages map");
  if (!owned) return;
  const std::vector<uint32_t>& pages = owned->pages;
  owned_pages_ = pages;
  if (owned->pages_beyond_file > 0) {
    Report("page-out-of-range", w,
           "the table's owned-pages map lists " + Num(owned->pages_beyond_file) +
               " page(s) past the end of the file");
  }
  if (t.free_map.page != 0) {
    auto free_map = ReadMap(t.free_map, t.first_page, w, "the table's free-space map");
    if (free_map) {
      for (uint32_t p : free_map->pages) {
        if (!std::binary_search(pages.begin(), pages.end(), p)) {
          Where wp = w;
          wp.page = p;
          Report(
              "free-map-not-subset", wp,
              "the free-space map lists page " + Num(p) + ", which the owned-pages map does not");
        }
      }
    }
  }

  struct Lookup {
    RowPointer location;
    ByteSpan bytes;
  };
  std::vector<Lookup> lookups;
  std::unordered_map<uint32_t, bool> targets;  // 0x8000 slots -> referenced yet
  std::vector<LiveRow> live;
  for (uint32_t p : pages) {
    Where wp = w;
    wp.page = p;
    const PageOwner owner{OwnerKind::kTableData, t.first_page, 0};
    Claim(p, owner, wp, "the table's owned-pages map");
    // A page another structure owns was reported; its rows are not this
    // table's (and a hostile map cannot make every table read every page).
    if (p >= page_count_ || !(owners_[p] == owner)) continue;
    ByteSpan page = pager_.PageOrThrow(p);
    if (page[0] != static_cast<uint8_t>(PageType::kData)) continue;
    const DataPage* dp = DataPageAt(p, wp);
    if (dp == nullptr) continue;
    if (dp->owner != t.first_page) {
      Report("data-page-owner", wp,
             "data page " + Num(p) + " in the table's page map has owner field " + Num(dp->owner) +
                 " (" + TableName(dp->owner) + ")");
      continue;
    }
    // Row pointers carry one byte of row number.
    const uint32_t n =
        std::min<uint32_t>(static_cast<uint32_t>(dp->slots.size()), kRowPointerSlots);
    for (uint32_t i = 0; i < n; ++i) {
      const RowSlot& s = dp->slots[i];
      Where wr = wp;
      wr.row = i;
      RowPointer loc{p, static_cast<uint8_t>(i)};
      if (!s.in_bounds) continue;  // reported with the page's layout
      if (s.deleted()) {
        if (!s.lookup()) targets.emplace(PackRow(loc), false);
        continue;
      }
      ByteSpan bytes = page.subspan(s.start, s.length());
      if (s.lookup()) {
        lookups.push_back({loc, bytes});
      } else {
        live.push_back({loc, bytes, false});
      }
    }
  }
  for (const Lookup& lk : lookups) {
    Where wr = w;
    wr.page = lk.location.page;
    wr.row = lk.location.row;
    if (lk.bytes.size() < 4) {
      Report("overflow-invalid", wr,
             "overflow slot of " + Num(lk.bytes.size()) + " bytes, too short for its pointer");
      continue;
    }
    RowPointer target = RowPointer::FromLe(Le32(lk.bytes.data()));
    std::string to = "overflow pointer to page " + Num(target.page) + " row " + Num(target.row);
    if (!std::binary_search(pages.begin(), pages.end(), target.page)) {
      Report("overflow-invalid", wr, to + ": not a page of this table");
      continue;
    }
    const DataPage* tp = DataPageAt(target.page, wr);
    if (tp == nullptr || target.row >= tp->slots.size()) {
      Report("overflow-invalid", wr, to + ": no such row");
      continue;
    }
    const RowSlot& ts = tp->slots[target.row];
    if (ts.lookup()) {
      Report("overflow-chain", wr, to + ", which is itself an overflow slot");
      continue;
    }
    if (!ts.deleted()) {
      Report("overflow-target-not-flagged", wr,
             to + ", which is a live row (targets carry the 0x8000 flag)");
      continue;
    }
    if (!ts.in_bounds) continue;  // reported with its page
    auto it = targets.find(PackRow(target));
    if (it != targets.end() && it->second) {
      Report("overflow-target-shared", wr, to + ", which another overflow slot also names");
      continue;
    }
    if (it != targets.end()) it->second = true;
    ByteSpan tpage = pager_.PageOrThrow(target.page);
    live.push_back({lk.location, tpage.subspan(ts.start, ts.length()), false});
    ++report_.counts.overflow_rows;
  }

  // AutoNumber: the stored counter is at least the largest value handed
  // out; the largest is taken as each row is decoded for its own checks.
  const ColumnDef* autonumber = nullptr;
  size_t auto_pos = 0;
  for (size_t i = 0; i < t.columns.size(); ++i) {
    const ColumnDef& c = t.columns[i];
    if (IsType(c, ColumnType::kLong) && (c.flags & kColumnAutoLong)) {
      autonumber = &c;
      auto_pos = i;
    }
  }
  int64_t autonumber_max = 0;
  RowDecoder decoder(t, layout_);
  for (LiveRow& r : live) {
    Where wr = w;
    wr.page = r.location.page;
    wr.row = r.location.row;
    Status st = decoder.Decode(r.bytes);
    if (facts != nullptr) facts->Add(st.ok(), decoder);
    if (!st.ok()) {
      Report("row-invalid", wr, st.error().description());
      continue;
    }
    r.decodes = true;
    if (autonumber != nullptr) {
      const FieldRef& f = decoder.fields()[auto_pos];
      if (f.present && f.bytes.size() == 4) {
        autonumber_max =
            std::max<int64_t>(autonumber_max, static_cast<int32_t>(Le32(f.bytes.data())));
      }
    }
    CheckRowValues(t, decoder, r);
  }
  report_.counts.rows += live.size();
  if (live.size() != t.num_rows) {
    Report("row-count-mismatch", w,
           "the table definition records " + Num(t.num_rows) + " rows, " + Num(live.size()) +
               " live rows were found");
  }

  if (autonumber != nullptr && autonumber_max > static_cast<int64_t>(t.autonumber)) {
    Report("autonumber-below-max", w,
           "the AutoNumber counter is " + Num(t.autonumber) + " but column \"" + autonumber->name +
               "\" holds " + std::to_string(autonumber_max));
  }
  rows = std::move(live);
}

void Checker::CheckUnmappedPages(const TableDef& t, const std::vector<LiveRow>& rows) {
  auto candidates = data_pages_by_owner_.find(t.first_page);
  if (candidates == data_pages_by_owner_.end()) return;
  // Rows of the table as stored on its mapped pages, built on first need.
  std::unordered_set<std::string_view> mapped_rows;
  bool mapped_rows_built = false;
  const bool navpane = TableName(t.first_page).rfind("MSysNavPane", 0) == 0;
  for (uint32_t p : candidates->second) {
    if (std::binary_search(owned_pages_.begin(), owned_pages_.end(), p)) continue;
    if (free_[p] != 0 || owners_[p].kind != OwnerKind::kNone) continue;
    ByteSpan page = pager_.PageOrThrow(p);
    auto decoded = DecodeDataPage(page, layout_, p);
    if (!decoded.ok()) continue;  // reported as an orphan page
    bool rows_lost = index_named_pages_.count(p) != 0;
    bool uncopied = false;
    for (const RowSlot& s : decoded.value().slots) {
      if (!s.in_bounds || s.deleted()) continue;
      if (s.lookup()) {
        uncopied = true;
        continue;
      }
      if (!mapped_rows_built) {
        for (const LiveRow& r : rows) {
          mapped_rows.emplace(reinterpret_cast<const char*>(r.bytes.data()), r.bytes.size());
        }
        mapped_rows_built = true;
      }
      ByteSpan bytes = page.subspan(s.start, s.length());
      std::string_view row(reinterpret_cast<const char*>(bytes.data()), bytes.size());
      if (!mapped_rows.count(row)) uncopied = true;
    }
    // Access leaves pages it dropped from a map behind with stale copies of
    // rows it rewrote elsewhere; rows that no complete index of the table
    // lists are not the table's either. The navigation-pane tables, which
    // Access rewrites whole and which have no index, also keep rows of
    // objects deleted since. Anything else is lost to a reader.
    if (uncopied && !fully_indexed_ && !navpane) rows_lost = true;
    if (rows_lost) unmapped_with_rows_.insert(p);
  }
}

void Checker::CheckRowValues(const TableDef& t, RowDecoder& decoder, const LiveRow& row) {
  Where w;
  w.table = t.first_page;
  w.page = row.location.page;
  w.row = row.location.row;
  auto report = [&](const Findings& findings) {
    for (const Finding& f : findings) {
      if (f.code != nullptr) Report(f.code, w, f.message);
    }
  };
  report(RowFindings(t, layout_, decoder, row.bytes.size()));
  for (size_t k = 0; k < t.columns.size(); ++k) {
    const ColumnDef& c = t.columns[k];
    const FieldRef& f = decoder.fields()[k];
    report(ValueFindings(c, layout_, f, page_count_));
    if (!c.holds_long_values() || !f.present) continue;
    auto header = DecodeLongValueHeader(f.bytes);
    if (header.ok() && header.value().kind != LongValueKind::kInline) {
      CheckLongValue(t, c, header.value(), w);
    }
  }
}

std::optional<ByteSpan> Checker::LvalPiece(const TableDef& t, const ColumnDef& c, RowPointer ptr,
                                           const Where& where) {
  const std::string at =
      "long value of column \"" + c.name + "\" at page " + Num(ptr.page) + " row " + Num(ptr.row);
  if (ptr.page == 0 || ptr.page >= page_count_) {
    Report("lv-pointer-invalid", where, at + ": no such page");
    return std::nullopt;
  }
  Claim(ptr.page, PageOwner{OwnerKind::kLongValue, t.first_page, c.number}, where,
        "a long-value pointer");
  ByteSpan page = pager_.PageOrThrow(ptr.page);
  if (page[0] != static_cast<uint8_t>(PageType::kData)) return std::nullopt;  // Claim reported
  const DataPage* dp = DataPageAt(ptr.page, where);
  if (dp == nullptr) return std::nullopt;
  if (!dp->is_lval()) {
    Report("lv-pointer-invalid", where, at + ": the page is not a long-value (LVAL) page");
    return std::nullopt;
  }
  lval_pages_referenced_[{t.first_page, c.number}].insert(ptr.page);
  if (ptr.row >= dp->slots.size()) {
    Report("lv-pointer-invalid", where,
           at + ": the page has only " + Num(dp->slots.size()) + " rows");
    return std::nullopt;
  }
  const RowSlot& s = dp->slots[ptr.row];
  if (s.deleted() || s.lookup()) {
    Report("lv-pointer-invalid", where, at + ": the row is deleted");
    return std::nullopt;
  }
  if (!s.in_bounds) {
    Report("lv-pointer-invalid", where, at + ": the row's offsets lie outside the page");
    return std::nullopt;
  }
  if (!lval_rows_used_.insert(PackRow(ptr)).second) {
    Report("lv-row-shared", where, at + ": the row is used by another long value too");
    return std::nullopt;
  }
  return page.subspan(s.start, s.length());
}

void Checker::CheckLongValue(const TableDef& t, const ColumnDef& c, const LongValueHeader& h,
                             const Where& where) {
  const std::string col = "column \"" + c.name + "\": ";
  ++report_.counts.long_values;
  if (h.kind == LongValueKind::kSingle) {
    auto piece = LvalPiece(t, c, h.first, where);
    if (piece && piece->size() != h.length) {
      Report("lv-length-mismatch", where,
             col + "single-row value declares " + Num(h.length) + " bytes, its row at page " +
                 Num(h.first.page) + " row " + Num(h.first.row) + " holds " + Num(piece->size()));
    }
    return;
  }
  // A chain: pieces of "next pointer | data", the last pointer 0. The walk
  // ends at a 0 pointer, a bad piece, or a piece seen before; each piece is
  // also marked used, so its length is bounded by the LVAL rows in the file.
  std::unordered_set<uint32_t> seen;
  uint64_t total = 0;
  RowPointer ptr = h.first;
  while (true) {
    if (ptr.ToLe() == 0) {
      if (total != h.length) {
        Report(total < h.length ? "lv-chain-short" : "lv-length-mismatch", where,
               col + "chain starting at page " + Num(h.first.page) + " row " + Num(h.first.row) +
                   " holds " + Num(total) + " bytes, its header declares " + Num(h.length));
      }
      return;
    }
    if (!seen.insert(PackRow(ptr)).second) {
      Report("lv-chain-cycle", where,
             col + "chain starting at page " + Num(h.first.page) + " row " + Num(h.first.row) +
                 " loops back to page " + Num(ptr.page) + " row " + Num(ptr.row));
      return;
    }
    auto piece = LvalPiece(t, c, ptr, where);
    if (!piece) return;
    if (piece->size() < 4) {
      Report("lv-invalid", where,
             col + "chain piece at page " + Num(ptr.page) + " row " + Num(ptr.row) +
                 " is shorter than its 4-byte pointer");
      return;
    }
    total += piece->size() - 4;
    ptr = RowPointer::FromLe(Le32(piece->data()));
  }
}

void Checker::CheckLongValueMaps(const TableDef& t) {
  for (const LongValueMap& m : t.long_value_maps) {
    const ColumnDef* c = t.ColumnByNumber(m.column_number);
    if (c == nullptr || !c->holds_long_values()) continue;  // reported with the definition
    Where w;
    w.table = t.first_page;
    w.page = t.first_page;
    const std::string col = "column \"" + c->name + "\"";
    std::vector<uint32_t> owned;
    if (m.owned_map.page != 0) {
      auto map = ReadMap(m.owned_map, t.first_page, w, "the long-value page map of " + col);
      if (map) owned = map->pages;
    }
    for (uint32_t p : owned) {
      Where wp = w;
      wp.page = p;
      Claim(p, PageOwner{OwnerKind::kLongValue, t.first_page, c->number}, wp,
            "a long-value page map");
      if (p >= page_count_ || pager_.PageOrThrow(p)[0] != static_cast<uint8_t>(PageType::kData)) {
        continue;  // reported by Claim
      }
      const DataPage* dp = DataPageAt(p, wp);
      if (dp != nullptr && !dp->is_lval()) {
        Report("usage-map-disagrees", wp,
               "the long-value page map of " + col + " lists page " + Num(p) +
                   ", which is not an LVAL page");
      }
    }
    if (m.free_map.page != 0) {
      auto map = ReadMap(m.free_map, t.first_page, w, "the long-value free-space map of " + col);
      if (map) {
        for (uint32_t p : map->pages) {
          if (!std::binary_search(owned.begin(), owned.end(), p)) {
            Where wp = w;
            wp.page = p;
            Report("free-map-not-subset", wp,
                   "the long-value free-space map of " + col + " lists page " + Num(p) +
                       ", which its page map does not");
          }
        }
      }
    }
    // Pages the rows lead to but the map leaves out. Some writers keep no
    // long-value maps at all; only a map that lists pages is held to it.
    if (owned.empty()) continue;
    auto it = lval_pages_referenced_.find({t.first_page, c->number});
    if (it == lval_pages_referenced_.end()) continue;
    std::vector<uint32_t> missing;
    for (uint32_t p : it->second) {
      if (!std::binary_search(owned.begin(), owned.end(), p)) missing.push_back(p);
    }
    std::sort(missing.begin(), missing.end());
    for (uint32_t p : missing) {
      Where wp = w;
      wp.page = p;
      Report("usage-map-disagrees", wp,
             "values of " + col + " are stored on LVAL page " + Num(p) +
                 ", which the column's long-value page map does not list");
    }
  }
}

}  // namespace engine::check
