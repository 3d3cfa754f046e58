#include "compact/compactor.h"

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include "base/bytes.h"

#include "compact/id_map.h"
#include "compact/key_feeder.h"
#include "compact/sort_order_fallback.h"
#include "compact/table_def_writer.h"
#include "format/data_page.h"
#include "format/header.h"
#include "format/long_value.h"
#include "format/row.h"
#include "writer/data_page_builder.h"
#include "writer/index_key_maker.h"
#include "writer/long_value_writer.h"
#include "writer/row_rewriter.h"
#include "writer/table_index_writer.h"
#include "writer/usage_map_builder.h"

namespace engine {
namespace {

// Passes pages through to the real sink and counts them.
class CountingSink final : public PageSink {
 public:
  explicit CountingSink(PageSink& inner) : inner_(inner) {}
  const Layout& layout() const override { return inner_.layout(); }
  uint32_t AllocatePage() override {
    if (first_ < hand_out_first_.size()) return hand_out_first_[first_++];
    uint32_t n = inner_.AllocatePage();
    next_ = n + 1;
    return n;
  }
  // Pages already allocated that the next allocations return, in order.
  void HandOutFirst(std::vector<uint32_t> pages) {
    hand_out_first_ = std::move(pages);
    first_ = 0;
  }
  bool all_handed_out() const { return first_ == hand_out_first_.size(); }
  Status WritePage(uint32_t number, ByteSpan bytes) override {
    return inner_.WritePage(number, bytes);
  }
  uint32_t next() const { return next_; }

 private:
  PageSink& inner_;
  uint32_t next_ = 0;
  std::vector<uint32_t> hand_out_first_;
  size_t first_ = 0;
};

struct TablePlan {
  const CatalogObject* object = nullptr;
  TableDef def;
  uint32_t length = 0;          // of the definition as written
  std::vector<uint32_t> pages;  // its definition pages in the copy
  uint32_t new_id() const { return pages.front(); }
};

// The table named once: messages of the key maker already begin with it.
Error InTable(const std::string& table, const Error& e) {
  if (e.description().starts_with("table \"" + table + "\"")) return e;
  return Error(e.number(), "table " + table + ": " + e.description());
}

class Compactor {
 public:
  Compactor(const Database& db, PageSink& sink, const CompactOptions& options, std::string temp_dir,
            const CompactTuning& tuning)
      : db_(db),
        sink_(sink),
        options_(options),
        temp_dir_(std::move(temp_dir)),
        tuning_(tuning),
        layout_(db.layout()) {}

  Result<CompactStats> Run();

 private:
  Status Plan();
  Status FindStaleIds(const std::map<uint32_t, const CatalogObject*>& tables,
                      std::set<uint32_t>& stale);
  std::vector<uint32_t> reserved_;  // pages skipped by the definitions
  Status CopyTable(TablePlan& table);
  Status WriteMaps(TablePlan& table, DataPageBuilder& rows, LongValueWriter& long_values,
                   const std::vector<BuiltIndex>& built, TableDefUpdate& update);
  uint32_t longest_row_ = 0;  // of the table being copied
  Status WritePage1();
  Status WritePage0();
  bool Report(const std::string& phase, const std::string& detail, uint64_t done, uint64_t total);
  Result<RowPointer> PlaceMapRow(PageSink& sink, std::span<const uint32_t> pages);

  const Database& db_;
  CountingSink sink_;
  const CompactOptions& options_;
  std::string temp_dir_;
  const CompactTuning tuning_;
  const Layout& layout_;
  std::vector<TablePlan> tables_;
  IdMap ids_;
  std::set<uint32_t> object_ids_;              // every object of the source's catalog
  std::unique_ptr<DataPageBuilder> map_rows_;  // usage-map rows of every table
  CompactStats stats_;
};

bool Compactor::Report(const std::string& phase, const std::string& detail, uint64_t done,
                       uint64_t total) {
  if (!options_.progress) return true;
  return options_.progress(Progress{phase, detail, done, total});
}

Error Cancelled() {
  return Error(ErrorCode::kInvalidArgument, "cancelled");
}

Status Compactor::Plan() {
  std::map<uint32_t, const CatalogObject*> by_id;
  for (const CatalogObject& o : db_.objects()) {
    if (!o.is_table()) continue;
    const uint32_t id = static_cast<uint32_t>(o.id);
    if ((id & 0xFF000000u) != 0 || id < 2 || id >= db_.page_count()) {
      return Damaged("table " + o.name + " has the id " + std::to_string(o.id) +
                     ", which is no page of the file");
    }
    auto [it, inserted] = by_id.emplace(id, &o);
    if (!inserted) {
      return Damaged("tables " + it->second->name + " and " + o.name + " share the id " +
                     std::to_string(id));
    }
  }
  if (by_id.empty() || by_id.begin()->first != 2) {
    return Damaged("the catalog lists no table on page 2 (MSysObjects)");
  }
  if (sink_.AllocatePage() != 0 || sink_.AllocatePage() != 1) {
    return Error(ErrorCode::kInvalidArgument, "the destination is not empty");
  }
  for (const auto& [id, object] : by_id) {
    auto def = db_.ReadTableDef(id);
    if (!def.ok()) return InTable(object->name, def.error());
    TablePlan t;
    t.object = object;
    t.def = std::move(def.value());
    t.length = WrittenTableDefLength(t.def);
    tables_.push_back(std::move(t));
  }
  std::set<uint32_t> stale;
  if (Status st = FindStaleIds(by_id, stale); !st.ok()) return st;
  for (TablePlan& t : tables_) {
    // A first definition page on the number of a stale id would make that
    // id name this table: the page goes to the first data, index or map
    // page instead, and the definition starts on the next one.
    while (stale.count(sink_.next())) reserved_.push_back(sink_.AllocatePage());
    uint32_t count = TableDefPageCount(t.length, layout_.page_size);
    for (uint32_t i = 0; i < count; ++i) t.pages.push_back(sink_.AllocatePage());
    ids_.AddTable(t.def.first_page, t.new_id());
  }
  sink_.HandOutFirst(reserved_);
  return Status::Ok();
}

// Values of the id columns that name no table of the source yet could be
// a page number (high byte 0): ids of deleted objects that permission rows
// keep.
Status Compactor::FindStaleIds(const std::map<uint32_t, const CatalogObject*>& tables,
                               std::set<uint32_t>& stale) {
  std::set<uint32_t>& ids = object_ids_;
  for (const CatalogObject& o : db_.objects()) ids.insert(static_cast<uint32_t>(o.id));
  for (const TablePlan& t : tables_) {
    const std::vector<size_t> columns = IdColumns(t.object->name, t.def);
    // Navigation-pane and permission rows with stale ids are not copied at all.
    if (columns.empty() || DropsRowsOfMissingObjects(t.object->name)) continue;
    RowDecoder decoder(t.def, layout_);
    Status failure;
    Status st = db_.ScanRows(t.def, [&](const RowRef& ref) {
      failure = decoder.Decode(ref.bytes);
      if (!failure.ok()) return false;
      for (size_t c : columns) {
        const FieldRef& f = decoder.fields()[c];
        if (!f.present || f.bytes.size() != 4) continue;
        uint32_t v = Le32(f.bytes.data());
        if ((v & 0xFF000000u) == 0 && !tables.count(v) && !ids.count(v)) stale.insert(v);
      }
      return true;
    });
    if (!st.ok()) return InTable(t.object->name, st.error());
    if (!failure.ok()) return InTable(t.object->name, failure.error());
  }
  return Status::Ok();
}

Status Compactor::CopyTable(TablePlan& t) {
  const std::string& name = t.object->name;
  // Text columns keyed under General instead of their own order: the
  // definition says so before anything is made from it.
  auto rekeyed =
      RekeyUnderGeneral(db_, name, t.def, options_.sort_order, options_.extra_text_codes.get());
  if (!rekeyed.ok()) return InTable(name, rekeyed.error());
  const std::vector<size_t>& rekeyed_columns = rekeyed.value().columns;
  for (SortOrderChange& c : rekeyed.value().changes) stats_.sort_order_changes.push_back(c);
  const TableDef& def = t.def;
  const uint32_t new_id = t.new_id();
  longest_row_ = 0;

  DataPageBuilder rows(sink_, new_id);
  LongValueWriter long_values(sink_);
  RowRewriter rewriter(def, layout_, db_.pager(), long_values);
  TableIndexWriter indexes(sink_, db_, name, def, new_id,
                           SorterOptions{options_.sort_budget_bytes, temp_dir_});
  indexes.UseExtraCodes(options_.extra_text_codes.get());
  indexes.NeverReuseFor(rekeyed_columns);
  // Index keys on a second thread for tables large enough to pay for it.
  KeyFeeder keys(indexes,
                 !def.physical_indexes.empty() && def.num_rows >= tuning_.threaded_keys_min_rows);
  RowDecoder decoder(def, layout_);
  const std::vector<size_t> id_columns = IdColumns(name, def);
  // Navigation-pane and permission rows of objects the source no longer has
  // are Access's leftovers: the copy leaves them out.
  const bool drop_stale = !id_columns.empty() && DropsRowsOfMissingObjects(name);
  auto stale = [&] {
    for (size_t c : id_columns) {
      const FieldRef& f = decoder.fields()[c];
      if (f.present && f.bytes.size() == 4 && !object_ids_.count(Le32(f.bytes.data()))) return true;
    }
    return false;
  };
  std::optional<size_t> auto_column;
  for (size_t i = 0; i < def.columns.size(); ++i) {
    const ColumnDef& c = def.columns[i];
    if ((c.flags & kColumnAutoLong) && c.type == static_cast<uint8_t>(ColumnType::kLong)) {
      auto_column = i;
      break;
    }
  }
  int64_t auto_max = 0;
  std::vector<uint8_t> copy;  // the row with its ids remapped, where it has any
  ByteSpan row;               // the row being copied, decoded once by `decoder`

  // The row as the copy holds it before its long values move: ids remapped.
  // `bytes` must stay valid while the row is placed (they point into the
  // source's pages).
  auto prepare = [&](ByteSpan bytes, RowPointer source_location) -> Status {
    if (id_columns.empty()) {
      row = bytes;
    } else {
      copy.assign(bytes.begin(), bytes.end());
      row = copy;
    }
    if (Status st = decoder.Decode(row); !st.ok()) {
      return Error(st.error().number(), "row at page " + std::to_string(source_location.page) +
                                            " row " + std::to_string(source_location.row) +
                                            " of the source: " + st.error().description());
    }
    // Ids are rewritten in place at their size: the decoded fields stay valid.
    if (!id_columns.empty()) RemapRowIds(copy, decoder, id_columns, ids_);
    if (auto_column) {
      const FieldRef& f = decoder.fields()[*auto_column];
      if (f.present && f.bytes.size() == 4) {
        auto_max = std::max<int64_t>(auto_max, static_cast<int32_t>(Le32(f.bytes.data())));
      }
    }
    return Status::Ok();
  };
  uint64_t placed = 0;
  const uint64_t expected = def.num_rows;
  auto place = [&](RowPointer source_location) -> Status {
    auto rewritten = rewriter.RewriteDecoded(row, decoder);
    if (!rewritten.ok()) return rewritten.error();
    longest_row_ =
        std::max<uint32_t>(longest_row_, static_cast<uint32_t>(rewritten.value().size()));
    auto where = rows.Add(rewritten.value());
    if (!where.ok()) return where.error();
    if (Status st = indexes.AddDecodedRow(decoder, source_location, where.value()); !st.ok()) {
      return st;
    }
    ++placed;
    if (placed % 16384 == 0 &&
        !Report("rows", name, placed, std::max<uint64_t>(expected, placed))) {
      return Cancelled();
    }
    return Status::Ok();
  };

  Status failure;
  auto scan = [&](const std::function<Status(const RowRef&)>& each) -> Status {
    Status st = db_.ScanRows(def, [&](const RowRef& ref) {
      failure = each(ref);
      return failure.ok();
    });
    if (!st.ok()) return st;
    return failure;
  };

  // Rows keep the source's storage order in every table: readers without an
  // index (and Access's datasheet of a table without a primary key) list
  // rows in that order, and a copy must show them as the source does.
  Status st = scan([&](const RowRef& ref) -> Status {
    if (drop_stale) {
      if (Status s = decoder.Decode(ref.bytes); s.ok() && stale()) return Status::Ok();
    }
    if (Status s = prepare(ref.bytes, ref.location); !s.ok()) return s;
    return place(ref.location);
  });
  // A key error is of an earlier row than any failure here.
  if (Status keyed = keys.Finish(); !keyed.ok()) st = keyed;
  if (st.ok()) st = rows.Finish();
  if (st.ok()) st = long_values.Finish();
  if (!st.ok()) return InTable(name, st.error());

  auto built = indexes.Finish(
      [&](uint32_t done, uint32_t total) { return Report("indexes", name, done, total); });
  if (!built.ok()) return InTable(name, built.error());

  TableDefUpdate update;
  update.num_rows = static_cast<uint32_t>(placed);
  update.autonumber = def.autonumber;
  if (auto_column && auto_max > static_cast<int64_t>(static_cast<int32_t>(def.autonumber)) &&
      auto_max > 0) {
    update.autonumber = static_cast<uint32_t>(auto_max);
  }
  update.table_id = [this](uint32_t old_id) { return ids_.TableId(old_id); };
  if (Status m = WriteMaps(t, rows, long_values, built.value(), update); !m.ok()) {
    return InTable(name, m.error());
  }
  auto definition = RewriteTableDef(def, layout_, update);
  if (!definition.ok()) return InTable(name, definition.error());
  auto pages = SplitTableDef(definition.value(), t.pages, layout_);
  for (size_t i = 0; i < pages.size(); ++i) {
    if (Status w = sink_.WritePage(t.pages[i], pages[i]); !w.ok()) return w;
  }

  stats_.rows += placed;
  stats_.indexes += static_cast<uint32_t>(built.value().size());
  for (const BuiltIndex& b : built.value()) stats_.index_entries += b.entry_count;
  stats_.keys_reused += indexes.keys_reused();
  return Status::Ok();
}

Result<RowPointer> Compactor::PlaceMapRow(PageSink& sink, std::span<const uint32_t> pages) {
  auto map = BuildUsageMap(sink, pages);
  if (!map.ok()) return map.error();
  return map_rows_->Add(map.value());
}

Status Compactor::WriteMaps(TablePlan& t, DataPageBuilder& rows, LongValueWriter& long_values,
                            const std::vector<BuiltIndex>& built, TableDefUpdate& update) {
  const TableDef& def = t.def;
  const std::vector<uint32_t> owned = rows.page_numbers();
  auto where = PlaceMapRow(sink_, owned);
  if (!where.ok()) return where.error();
  update.owned_map = where.value();
  // Pages with room for another row as long as the table's longest: with
  // rows packed densely that is at most the last page.
  std::vector<uint32_t> with_room = rows.PagesWithRoom(longest_row_ + 2);
  where = PlaceMapRow(sink_, with_room);
  if (!where.ok()) return where.error();
  update.free_map = where.value();

  for (size_t i = 0; i < built.size(); ++i) {
    where = PlaceMapRow(sink_, built[i].pages);
    if (!where.ok()) return where.error();
    uint32_t count_a =
        def.physical_indexes[i].count_a == 0 ? 0 : static_cast<uint32_t>(built[i].entry_count);
    update.indexes.push_back({where.value(), built[i].root_page, count_a,
                              static_cast<uint32_t>(built[i].distinct_keys)});
  }

  const std::vector<LongValueColumnPages> columns = long_values.Columns();
  for (const LongValueMap& m : def.long_value_maps) {
    const LongValueColumnPages* c = nullptr;
    for (const LongValueColumnPages& x : columns) {
      if (x.column_number == m.column_number) c = &x;
    }
    static const std::vector<uint32_t> kNone;
    TableDefUpdate::LongValue lv;
    where = PlaceMapRow(sink_, c ? c->pages : kNone);
    if (!where.ok()) return where.error();
    lv.owned_map = where.value();
    if (m.free_map.page != 0) {
      where = PlaceMapRow(sink_, c ? c->with_room : kNone);
      if (!where.ok()) return where.error();
      lv.free_map = where.value();
    }
    update.long_values.push_back(lv);
  }
  return Status::Ok();
}

Status Compactor::WritePage1() {
  const uint32_t ps = layout_.page_size;
  std::vector<uint8_t> second = EmptyUsageMap(layout_);
  // Page 1 holds the two map rows and their two slots.
  const uint32_t max_inline = ps - SlotTableEnd(layout_, 2) - static_cast<uint32_t>(second.size());
  auto global = BuildGlobalUsageMap(sink_, sink_.next(), max_inline);
  if (!global.ok()) return global.error();
  ByteSpan rows[2] = {global.value(), second};
  auto page = EncodeDataPage(layout_, 1, rows);
  if (!page.ok()) return page.error();
  return sink_.WritePage(1, page.value());
}

Status Compactor::WritePage0() {
  auto page0 = db_.pager().Page(0);
  if (!page0.ok()) return page0.error();
  if (options_.sort_order != SortOrderPolicy::kGeneral) return sink_.WritePage(0, page0.value());
  // A database re-sorted under General says so on page 0 too: its default
  // order is the one every text column now has.
  std::vector<uint8_t> page(page0.value().begin(), page0.value().end());
  ApplyHeaderMask(page.data(), page.size(), layout_.version);
  Put16(page.data() + layout_.header_sort_order_offset, kGeneralSortOrder);
  if (layout_.header_sort_order_version != 0) {
    page[layout_.header_sort_order_version] = FileGeneralVersion(db_);
  }
  ApplyHeaderMask(page.data(), page.size(), layout_.version);
  return sink_.WritePage(0, page);
}

Result<CompactStats> Compactor::Run() {
  stats_.pages_before = db_.page_count();
  stats_.bytes_before = static_cast<uint64_t>(db_.page_count()) * layout_.page_size;
  if (!Report("reading", "", 0, 0)) return Cancelled();
  if (Status st = Plan(); !st.ok()) return st.error();
  map_rows_ = std::make_unique<DataPageBuilder>(sink_, 0);
  const uint64_t total = tables_.size();
  for (size_t i = 0; i < tables_.size(); ++i) {
    if (!Report("tables", tables_[i].object->name, i, total)) return Cancelled();
    if (Status st = CopyTable(tables_[i]); !st.ok()) return st.error();
  }
  if (Status st = map_rows_->Finish(); !st.ok()) return st.error();
  if (!sink_.all_handed_out()) {
    return Error(ErrorCode::kInvalidArgument,
                 "pages kept free of table definitions were never used");
  }
  if (!Report("tables", "", total, total)) return Cancelled();
  if (Status st = WritePage1(); !st.ok()) return st.error();
  if (Status st = WritePage0(); !st.ok()) return st.error();
  stats_.tables = static_cast<uint32_t>(tables_.size());
  stats_.pages_after = sink_.next();
  stats_.bytes_after = static_cast<uint64_t>(sink_.next()) * layout_.page_size;
  return stats_;
}

}  // namespace

Result<CompactStats> CompactToSink(const Database& source, PageSink& sink,
                                   const CompactOptions& options, const std::string& temp_dir,
                                   const CompactTuning& tuning) {
  try {
    Compactor compactor(source, sink, options, temp_dir, tuning);
    return compactor.Run();
  } catch (const EngineFailure& f) {
    return f.error;
  } catch (const std::bad_alloc&) {
    return Error(ErrorCode::kIoError, "out of memory while compacting");
  }
}

}  // namespace engine
