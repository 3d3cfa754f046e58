#include "writer/table_index_writer.h"

#include <algorithm>

#include "writer/index_key_maker.h"

namespace engine {

namespace {

// Sort payload: flags, then the row's source location (for messages).
constexpr uint8_t kPayloadAnyNull = 0x01;
constexpr size_t kPayloadSize = 5;
constexpr size_t kRowPointerSize = 4;
// Each index's sorter gets at least this much, whatever the table's share.
constexpr std::size_t kMinIndexBudget = std::size_t{64} << 10;

std::string RowText(RowPointer p) {
  return "page " + std::to_string(p.page) + " row " + std::to_string(p.row);
}

}  // namespace

class TableIndexWriter::Impl {
 public:
  Impl(PageSink& sink, SourcePages source, std::string table_name, const TableDef& table,
       uint32_t new_tdef_page, SorterOptions options)
      : sink_(sink),
        name_(table_name),
        table_(table),
        owner_(new_tdef_page),
        keys_(source, std::move(table_name), table) {
    const size_t n = table.physical_indexes.size();
    SorterOptions each = options;
    if (n > 0) each.budget_bytes = std::max(options.budget_bytes / n, kMinIndexBudget);
    const std::optional<uint32_t> pk = PrimaryKeyIndex(table);
    primary_ = pk;
    for (size_t i = 0; i < n; ++i) {
      const PhysicalIndex& pi = table.physical_indexes[i];
      Index ix;
      ix.name = IndexDisplayName(table, pi.position);
      ix.unique = pi.flags & kIndexUnique;
      ix.no_nulls = (pi.flags & kIndexRequired) || (pk && *pk == i);
      ix.sorter = std::make_unique<ExternalSorter>(each);
      indexes_.push_back(std::move(ix));
    }
  }

  Status AddRow(ByteSpan row, RowPointer from, RowPointer to) {
    if (finished_)
      return Error(ErrorCode::kInvalidArgument, "row added after the indexes were built");
    if (indexes_.empty()) {
      ++rows_;
      return Status::Ok();
    }
    if (Status st = keys_.MakeKeys(row, from, keys_out_); !st.ok()) return st;
    return AddKeys(from, to, nullptr);
  }

  Status AddDecodedRow(const RowDecoder& decoded, RowPointer from, RowPointer to,
                       const RowIndexKey* primary) {
    if (finished_)
      return Error(ErrorCode::kInvalidArgument, "row added after the indexes were built");
    if (indexes_.empty()) {
      ++rows_;
      return Status::Ok();
    }
    if (primary != nullptr && !primary_) {
      return Error(ErrorCode::kInvalidArgument, "a primary key given for a table without one");
    }
    std::optional<uint32_t> skip;
    if (primary != nullptr) skip = primary_;
    if (Status st = keys_.MakeKeysDecoded(decoded, from, keys_out_, skip); !st.ok()) return st;
    if (primary != nullptr && primary->reused) ++given_reused_;
    return AddKeys(from, to, primary);
  }

  // Feeds the keys in keys_out_ (the primary key's from `primary` when
  // given) to the sorters.
  Status AddKeys(RowPointer from, RowPointer to, const RowIndexKey* primary) {
    for (size_t i = 0; i < indexes_.size(); ++i) {
      const RowIndexKey& k = primary != nullptr && i == *primary_ ? *primary : keys_out_[i];
      if (!k.has_entry) continue;
      Index& ix = indexes_[i];
      if (ix.no_nulls && k.any_null) {
        return Damaged("table \"" + name_ + "\", index \"" + ix.name + "\", row at " +
                       RowText(from) +
                       " of the source: a key column is NULL in a primary-key or required index");
      }
      record_.assign(k.key.begin(), k.key.end());
      record_.push_back(static_cast<uint8_t>(to.page >> 16));
      record_.push_back(static_cast<uint8_t>(to.page >> 8));
      record_.push_back(static_cast<uint8_t>(to.page));
      record_.push_back(to.row);
      const uint32_t packed = from.ToLe();
      uint8_t payload[kPayloadSize] = {
          static_cast<uint8_t>(k.any_null ? kPayloadAnyNull : 0), static_cast<uint8_t>(packed),
          static_cast<uint8_t>(packed >> 8), static_cast<uint8_t>(packed >> 16),
          static_cast<uint8_t>(packed >> 24)};
      if (Status st = ix.sorter->Add(record_, ByteSpan(payload, kPayloadSize)); !st.ok()) return st;
    }
    ++rows_;
    return Status::Ok();
  }

  Result<std::vector<BuiltIndex>> Finish(const std::function<bool(uint32_t, uint32_t)>& progress) {
    if (finished_) return Error(ErrorCode::kInvalidArgument, "the indexes were built twice");
    finished_ = true;
    std::vector<BuiltIndex> built;
    const uint32_t total = static_cast<uint32_t>(indexes_.size());
    for (uint32_t i = 0; i < total; ++i) {
      auto one = Build(indexes_[i]);
      runs_ += indexes_[i].sorter->runs_spilled();
      indexes_[i].sorter.reset();  // frees its memory and run files now
      if (!one.ok()) return one.error();
      built.push_back(std::move(one.value()));
      if (progress && !progress(i + 1, total)) {
        return Error(ErrorCode::kInvalidArgument, "cancelled");
      }
    }
    return built;
  }

  uint64_t rows() const { return rows_; }
  uint64_t reused() const { return keys_.keys_reused() + given_reused_; }
  void UseExtraCodes(const ExtraTextCodes* extra) { keys_.UseExtraCodes(extra); }
  void NeverReuseFor(const std::vector<size_t>& columns) { keys_.NeverReuseFor(columns); }
  uint64_t runs() const { return runs_; }

 private:
  struct Index {
    std::string name;
    bool unique = false;
    bool no_nulls = false;
    std::unique_ptr<ExternalSorter> sorter;
  };

  Result<BuiltIndex> Build(Index& ix) {
    if (Status st = ix.sorter->Finish(); !st.ok()) return st.error();
    // Prefix compression on every leaf, Jet 4 too: files whose Jet 4 leaves
    // use it would otherwise come out larger than they went in.
    IndexTreeBuilder tree(sink_, IndexTreeOptions{.owner_page = owner_, .leaf_prefixes = true});
    std::vector<uint8_t> previous;  // key of the previous entry without NULLs
    RowPointer previous_row;
    bool have_previous = false;
    ExternalSorter::Record r;
    while (true) {
      auto more = ix.sorter->Next(r);
      if (!more.ok()) return more.error();
      if (!more.value()) break;
      if (r.key.size() < kRowPointerSize || r.payload.size() != kPayloadSize) {
        return Error(ErrorCode::kIoError, "a sorted index record came back damaged");
      }
      ByteSpan key = r.key.first(r.key.size() - kRowPointerSize);
      const uint8_t* p = r.key.data() + key.size();
      const RowPointer to{(uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2], p[3]};
      const bool any_null = r.payload[0] & kPayloadAnyNull;
      const RowPointer from =
          RowPointer::FromLe(uint32_t{r.payload[1]} | (uint32_t{r.payload[2]} << 8) |
                             (uint32_t{r.payload[3]} << 16) | (uint32_t{r.payload[4]} << 24));
      if (ix.unique && !any_null) {
        if (have_previous && std::equal(key.begin(), key.end(), previous.begin(), previous.end())) {
          return Damaged("table \"" + name_ + "\", unique index \"" + ix.name + "\": rows at " +
                         RowText(previous_row) + " and " + RowText(from) +
                         " of the source have the same key");
        }
        previous.assign(key.begin(), key.end());
        previous_row = from;
        have_previous = true;
      } else {
        have_previous = false;
      }
      if (Status st = tree.Add(key, to); !st.ok()) {
        return Error(st.error().number(), "table \"" + name_ + "\", index \"" + ix.name +
                                              "\": " + st.error().description());
      }
    }
    return tree.Finish();
  }

  PageSink& sink_;
  std::string name_;
  const TableDef& table_;
  uint32_t owner_;
  IndexKeyMaker keys_;
  std::vector<Index> indexes_;
  std::vector<RowIndexKey> keys_out_;
  std::vector<uint8_t> record_;
  std::optional<uint32_t> primary_;  // physical index of the primary key
  uint64_t given_reused_ = 0;        // primary keys handed over that were reused
  uint64_t rows_ = 0;
  uint64_t runs_ = 0;
  bool finished_ = false;
};

TableIndexWriter::TableIndexWriter(PageSink& sink, SourcePages source, std::string table_name,
                                   const TableDef& table, uint32_t new_tdef_page,
                                   SorterOptions options)
    : impl_(std::make_unique<Impl>(sink, source, std::move(table_name), table, new_tdef_page,
                                   std::move(options))) {}
TableIndexWriter::~TableIndexWriter() = default;

Status TableIndexWriter::AddRow(ByteSpan row, RowPointer source_location, RowPointer new_location) {
  return impl_->AddRow(row, source_location, new_location);
}

Status TableIndexWriter::AddDecodedRow(const RowDecoder& decoded, RowPointer source_location,
                                       RowPointer new_location, const RowIndexKey* primary_key) {
  return impl_->AddDecodedRow(decoded, source_location, new_location, primary_key);
}

Result<std::vector<BuiltIndex>> TableIndexWriter::Finish(
    const std::function<bool(uint32_t, uint32_t)>& progress) {
  return impl_->Finish(progress);
}

uint64_t TableIndexWriter::rows() const {
  return impl_->rows();
}
void TableIndexWriter::UseExtraCodes(const ExtraTextCodes* extra) {
  impl_->UseExtraCodes(extra);
}

void TableIndexWriter::NeverReuseFor(const std::vector<size_t>& columns) {
  impl_->NeverReuseFor(columns);
}

uint64_t TableIndexWriter::keys_reused() const {
  return impl_->reused();
}
uint64_t TableIndexWriter::sort_runs() const {
  return impl_->runs();
}

}  // namespace engine
