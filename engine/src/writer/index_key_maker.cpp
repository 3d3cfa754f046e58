#include "writer/index_key_maker.h"

#include <algorithm>
#include <cstdint>

#include "format/index_page.h"
#include "format/row.h"
#include "keys/index_key_text.h"
#include "keys/rows/row_keys.h"

namespace engine {

namespace {

std::string RowText(RowPointer p) {
  return "page " + std::to_string(p.page) + " row " + std::to_string(p.row);
}

uint32_t Pack(RowPointer p) {
  return (p.page << 8) | p.row;
}

constexpr uint8_t kAscValue = 0x7F;
constexpr uint8_t kDescValue = 0x80;

}  // namespace

std::optional<uint32_t> PrimaryKeyIndex(const TableDef& table) {
  for (const LogicalIndex& li : table.logical_indexes) {
    if (li.kind == 1 && li.physical < table.physical_indexes.size()) return li.physical;
  }
  return std::nullopt;
}

std::string IndexDisplayName(const TableDef& table, uint32_t position) {
  std::string first;
  for (const LogicalIndex& li : table.logical_indexes) {
    if (li.physical != position) continue;
    if (li.kind == 1) return li.name;
    if (first.empty()) first = li.name;
  }
  return first.empty() ? "#" + std::to_string(position) : first;
}

// The keys of one source index by the row they point at, read from its
// leaf chain: sorted by row, key bytes in one arena.
struct SourceKeys {
  struct Ref {
    uint32_t row;  // packed row pointer
    uint32_t offset;
    uint32_t size;
  };
  std::vector<Ref> refs;
  std::vector<uint8_t> arena;
};

class IndexKeyMaker::Impl {
 public:
  Impl(SourcePages source, std::string table_name, const TableDef& table)
      : db_(source), name_(std::move(table_name)), table_(table), decoder_(table, source.layout) {
    for (const PhysicalIndex& pi : table.physical_indexes) {
      Index ix;
      ix.def = &pi;
      ix.name = IndexDisplayName(table, pi.position);
      auto columns = IndexKeyColumns(source.layout.version, table, pi);
      if (columns.ok()) {
        ix.columns = std::move(columns.value());
      } else {
        ix.setup_error = columns.error().description();
      }
      for (const IndexColumn& ic : pi.columns) {
        bool found = false;
        for (size_t k = 0; k < table.columns.size(); ++k) {
          if (table.columns[k].number == ic.column_number) {
            ix.positions.push_back(k);
            found = true;
            break;
          }
        }
        if (!found && ix.setup_error.empty()) {
          ix.setup_error = "it uses column number " + std::to_string(ic.column_number) +
                           ", which the table does not have";
        }
      }
      indexes_.push_back(std::move(ix));
    }
  }

  Status MakeKeys(ByteSpan row, RowPointer at, std::vector<RowIndexKey>& out) {
    if (Status st = Decode(row, at); !st.ok()) return st;
    return KeysOfDecoded(at, out, std::nullopt);
  }

  Status MakeKeysDecoded(const RowDecoder& decoded, RowPointer at, std::vector<RowIndexKey>& out,
                         std::optional<uint32_t> skip) {
    current_ = &decoded;
    Status st = KeysOfDecoded(at, out, skip);
    current_ = &decoder_;
    return st;
  }

  Status MakeKeyDecoded(uint32_t i, const RowDecoder& decoded, RowPointer at, RowIndexKey& out) {
    current_ = &decoded;
    Status st = KeyOfDecoded(i, at, out);
    current_ = &decoder_;
    return st;
  }

  Status MakeKey(uint32_t i, ByteSpan row, RowPointer at, RowIndexKey& out) {
    if (i >= indexes_.size()) {
      return Error(ErrorCode::kInvalidArgument,
                   "table \"" + name_ + "\" has no physical index " + std::to_string(i));
    }
    if (Status st = Decode(row, at); !st.ok()) return st;
    return KeyOfDecoded(i, at, out);
  }

  uint64_t reused() const { return reused_; }
  void set_extra(const ExtraTextCodes* extra) { extra_ = extra; }
  void never_reuse_for(const std::vector<size_t>& columns) {
    for (Index& ix : indexes_) {
      for (size_t k : ix.positions) {
        if (std::find(columns.begin(), columns.end(), k) != columns.end()) ix.no_reuse = true;
      }
    }
  }
  std::optional<size_t> uncoded_column() const { return uncoded_column_; }

 private:
  struct Index {
    const PhysicalIndex* def = nullptr;
    std::string name;
    std::vector<KeyColumn> columns;
    std::vector<size_t> positions;  // of the key columns in TableDef::columns
    std::string setup_error;
    std::unique_ptr<SourceKeys> source;  // loaded on first need
    std::string source_error;            // why it could not be loaded
    bool no_reuse = false;               // the source's entries are in another order
    bool last_reused = false;            // the last key came from the source
  };

  Error Fault(const Index& ix, RowPointer at, const std::string& why) const {
    return Damaged("table \"" + name_ + "\", index \"" + ix.name + "\", row at " + RowText(at) +
                   " of the source: " + why);
  }

  Status Decode(ByteSpan row, RowPointer at) {
    Status st = decoder_.Decode(row);
    if (!st.ok()) {
      return Damaged(
          "table \"" + name_ + "\", row at " + RowText(at) +
          " of the source cannot be read for its index keys: " + st.error().description());
    }
    return Status::Ok();
  }

  Status KeysOfDecoded(RowPointer at, std::vector<RowIndexKey>& out, std::optional<uint32_t> skip) {
    out.resize(indexes_.size());
    for (uint32_t i = 0; i < indexes_.size(); ++i) {
      if (skip && *skip == i) continue;
      if (Status st = KeyOfDecoded(i, at, out[i]); !st.ok()) return st;
    }
    return Status::Ok();
  }

  Status KeyOfDecoded(uint32_t i, RowPointer at, RowIndexKey& out) {
    if (i >= indexes_.size()) {
      return Error(ErrorCode::kInvalidArgument,
                   "table \"" + name_ + "\" has no physical index " + std::to_string(i));
    }
    Index& ix = indexes_[i];
    uncoded_column_.reset();
    out.has_entry = out.any_null = out.reused = false;
    out.key.clear();
    if (!ix.setup_error.empty()) return Fault(ix, at, ix.setup_error);
    bool all_null = true;
    for (size_t k : ix.positions) {
      const bool null = !table_.columns[k].is_boolean() && !current_->fields()[k].present;
      all_null = all_null && null;
      out.any_null = out.any_null || null;
    }
    if ((ix.def->flags & kIndexIgnoreNulls) && all_null) return Status::Ok();
    out.has_entry = true;

    if (Status st = GatherKeyValues(db_.pager, db_.layout, table_, *ix.def, *current_, values_);
        !st.ok()) {
      return Fault(ix, at, "a key value cannot be read: " + st.error().description());
    }
    // Straight into the key while every segment has a code (the hot path:
    // no allocation once the buffers have grown). After a key that took
    // the source's entry the next one likely does too: it goes the long way
    // at once, which gives the same bytes.
    bool complete = !ix.columns.empty() && !ix.last_reused;
    for (size_t c = 0; c < ix.columns.size() && complete; ++c) {
      complete = index_text::AppendKeySegment(ix.columns[c], values_.values[c], out.key,
                                              scratch_reason_) == KeyStatus::kEncoded;
    }
    if (complete) return Status::Ok();
    out.key.clear();

    // Each segment on its own: where one has no code, the others still
    // come from the row (their values may have been remapped).
    auto& segments = segments_;
    segments.resize(ix.columns.size());
    for (auto& seg : segments) seg.reset();
    std::string reason;
    complete = !ix.columns.empty();
    for (size_t c = 0; c < ix.columns.size(); ++c) {
      EncodedKey s = extra_ == nullptr ? EncodeKeySegment(ix.columns[c], values_.values[c])
                                       : EncodeKeySegment(ix.columns[c], values_.values[c], extra_);
      if (s.ok()) {
        segments[c] = std::move(s.bytes);
      } else {
        complete = false;
        if (reason.empty()) {
          reason = "column " + std::to_string(c + 1) + ": " + s.reason;
          if (s.status == KeyStatus::kNotCovered && c < ix.positions.size()) {
            uncoded_column_ = ix.positions[c];
          }
        }
      }
    }
    // Every segment had a code once the learned ones were tried.
    ix.last_reused = !complete;
    if (complete) {
      for (auto& s : segments) out.key.insert(out.key.end(), s->begin(), s->end());
      return Status::Ok();
    }
    if (ix.columns.empty()) reason = "the index has no columns";
    return Reuse(ix, at, segments, reason, out);
  }

  // The key from the source's entry for the row, with every segment the
  // encoder can make replaced by the fresh one.
  Status Reuse(Index& ix, RowPointer at,
               const std::vector<std::optional<std::vector<uint8_t>>>& segments,
               const std::string& reason, RowIndexKey& out) {
    if (!ix.source && !ix.no_reuse && ix.source_error.empty()) Load(ix);
    // Made only for a failure: most calls succeed.
    auto no_code = [&] { return "the key encoder has no code for the values (" + reason + ")"; };
    if (ix.no_reuse) {
      return Fault(ix, at,
                   no_code() + ", and the source's entries are under the column's old sort order");
    }
    if (!ix.source) return Fault(ix, at, no_code() + " and " + ix.source_error);
    const SourceKeys& sk = *ix.source;
    const uint32_t packed = Pack(at);
    auto lo = std::lower_bound(sk.refs.begin(), sk.refs.end(), packed,
                               [](const SourceKeys::Ref& r, uint32_t v) { return r.row < v; });
    if (lo == sk.refs.end() || lo->row != packed) {
      return Fault(ix, at, no_code() + " and the source index has no entry for the row");
    }
    ByteSpan key(sk.arena.data() + lo->offset, lo->size);
    for (auto it = lo + 1; it != sk.refs.end() && it->row == packed; ++it) {
      ByteSpan other(sk.arena.data() + it->offset, it->size);
      if (!std::equal(key.begin(), key.end(), other.begin(), other.end())) {
        return Fault(ix, at, no_code() + " and the source index has different entries for the row");
      }
    }
    // Fresh segments before the first and after the last one without code
    // have known lengths; the middle is the source's.
    size_t first = 0;
    while (first < segments.size() && segments[first]) ++first;
    size_t last = segments.size();
    while (last > first && segments[last - 1]) --last;
    size_t head = 0, tail = 0;
    for (size_t c = 0; c < first; ++c) head += segments[c]->size();
    for (size_t c = last; c < segments.size(); ++c) tail += segments[c]->size();
    if (head + tail >= key.size()) {
      return Fault(ix, at, no_code() + " and the source's entry is too short for the row's values");
    }
    ByteSpan middle = key.subspan(head, key.size() - head - tail);
    if (first < ix.columns.size()) {
      const uint8_t flag = ix.columns[first].ascending ? kAscValue : kDescValue;
      if (middle[0] != flag) {
        return Fault(ix, at, no_code() + " and the source's entry does not match the row's values");
      }
    }
    out.key.clear();
    for (size_t c = 0; c < first; ++c)
      out.key.insert(out.key.end(), segments[c]->begin(), segments[c]->end());
    out.key.insert(out.key.end(), middle.begin(), middle.end());
    for (size_t c = last; c < segments.size(); ++c)
      out.key.insert(out.key.end(), segments[c]->begin(), segments[c]->end());
    out.reused = true;
    ++reused_;
    return Status::Ok();
  }

  void Load(Index& ix) {
    if (ix.def->root_page == 0) {
      ix.source_error = "the source index has no root page";
      return;
    }
    auto keys = std::make_unique<SourceKeys>();
    // Through the tree, not the leaf chain: some writers link leaves only
    // among the children of one node page, so in a tree of three levels or
    // more the chain from the first leaf ends early while the nodes still
    // name every leaf.
    bool too_large = false;
    Status walked =
        WalkTree(db_.pager, db_.layout, ix.def->root_page, [&](const IndexPage& page, int) {
          if (!page.is_leaf()) return true;
          for (const IndexEntry& e : page.entries) {
            if (keys->arena.size() + e.key.size() > UINT32_MAX) {
              too_large = true;
              return false;
            }
            keys->refs.push_back(SourceKeys::Ref{Pack(e.row),
                                                 static_cast<uint32_t>(keys->arena.size()),
                                                 static_cast<uint32_t>(e.key.size())});
            keys->arena.insert(keys->arena.end(), e.key.begin(), e.key.end());
          }
          return true;
        });
    if (!walked.ok()) {
      ix.source_error = "the source index cannot be read (" + walked.error().description() + ")";
      return;
    }
    if (too_large) {
      ix.source_error = "the source index holds more than 4 GiB of keys";
      return;
    }
    std::stable_sort(
        keys->refs.begin(), keys->refs.end(),
        [](const SourceKeys::Ref& a, const SourceKeys::Ref& b) { return a.row < b.row; });
    ix.source = std::move(keys);
  }

  SourcePages db_;
  std::string name_;
  const TableDef& table_;
  RowDecoder decoder_;
  const RowDecoder* current_ = &decoder_;  // the row the keys are made of
  RowKeyValues values_;
  std::vector<std::optional<std::vector<uint8_t>>> segments_;
  std::string scratch_reason_;
  std::vector<Index> indexes_;
  uint64_t reused_ = 0;
  const ExtraTextCodes* extra_ = nullptr;
  std::optional<size_t> uncoded_column_;
};

IndexKeyMaker::IndexKeyMaker(SourcePages source, std::string table_name, const TableDef& table)
    : impl_(std::make_unique<Impl>(source, std::move(table_name), table)),
      primary_(PrimaryKeyIndex(table)) {}
IndexKeyMaker::~IndexKeyMaker() = default;

Status IndexKeyMaker::MakeKeys(ByteSpan row, RowPointer source_location,
                               std::vector<RowIndexKey>& out) {
  return impl_->MakeKeys(row, source_location, out);
}

Status IndexKeyMaker::MakeKey(uint32_t index_position, ByteSpan row, RowPointer source_location,
                              RowIndexKey& out) {
  return impl_->MakeKey(index_position, row, source_location, out);
}

Status IndexKeyMaker::PrimaryKey(ByteSpan row, RowPointer source_location, RowIndexKey& out) {
  if (!primary_) {
    out = RowIndexKey{};
    return Status::Ok();
  }
  return impl_->MakeKey(*primary_, row, source_location, out);
}

Status IndexKeyMaker::MakeKeysDecoded(const RowDecoder& decoded, RowPointer source_location,
                                      std::vector<RowIndexKey>& out, std::optional<uint32_t> skip) {
  return impl_->MakeKeysDecoded(decoded, source_location, out, skip);
}

Status IndexKeyMaker::PrimaryKeyDecoded(const RowDecoder& decoded, RowPointer source_location,
                                        RowIndexKey& out) {
  if (!primary_) {
    out = RowIndexKey{};
    return Status::Ok();
  }
  return impl_->MakeKeyDecoded(*primary_, decoded, source_location, out);
}

uint64_t IndexKeyMaker::keys_reused() const {
  return impl_->reused();
}

void IndexKeyMaker::UseExtraCodes(const ExtraTextCodes* extra) {
  impl_->set_extra(extra);
}

void IndexKeyMaker::NeverReuseFor(const std::vector<size_t>& columns) {
  impl_->never_reuse_for(columns);
}

std::optional<size_t> IndexKeyMaker::uncoded_column() const {
  return impl_->uncoded_column();
}

}  // namespace engine
