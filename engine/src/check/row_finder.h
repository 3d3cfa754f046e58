// From the slot an index entry names to the position of the row in a table's
// list of rows, for walks that look up every entry: the rows sorted by slot
// and, for each page from the table's lowest to its highest, where its rows
// begin. Two memory reads where a hash table takes two cache misses.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "engine/types.h"

namespace engine {

class RowFinder {
 public:
  RowFinder() = default;

  // `slots` by position; a slot listed twice is found at its first position.
  explicit RowFinder(const std::vector<RowPointer>& slots) {
    sorted_.reserve(slots.size());
    for (size_t i = 0; i < slots.size(); ++i) {
      sorted_.push_back({Pack(slots[i]), static_cast<uint32_t>(i)});
    }
    std::stable_sort(sorted_.begin(), sorted_.end(),
                     [](const Row& a, const Row& b) { return a.slot < b.slot; });
    sorted_.erase(std::unique(sorted_.begin(), sorted_.end(),
                              [](const Row& a, const Row& b) { return a.slot == b.slot; }),
                  sorted_.end());
    if (sorted_.empty()) return;
    low_ = sorted_.front().slot >> 8;
    const uint32_t high = sorted_.back().slot >> 8;
    // Pages come from the file, so the span is bounded by its page count.
    page_start_.resize(size_t{high - low_} + 2);
    size_t j = 0;
    for (size_t p = 0; p < page_start_.size(); ++p) {
      while (j < sorted_.size() && (sorted_[j].slot >> 8) - low_ < p) ++j;
      page_start_[p] = static_cast<uint32_t>(j);
    }
  }

  std::optional<size_t> Find(RowPointer at) const {
    if (sorted_.empty() || at.page < low_ || size_t{at.page - low_} + 1 >= page_start_.size()) {
      return std::nullopt;
    }
    const uint32_t slot = Pack(at);
    const auto begin = sorted_.begin() + page_start_[at.page - low_];
    const auto end = sorted_.begin() + page_start_[at.page - low_ + 1];
    auto it =
        std::lower_bound(begin, end, slot, [](const Row& r, uint32_t s) { return r.slot < s; });
    if (it == end || it->slot != slot) return std::nullopt;
    return it->position;
  }

 private:
  struct Row {
    uint32_t slot;  // page << 8 | row
    uint32_t position;
  };
  static uint32_t Pack(RowPointer p) { return p.page << 8 | p.row; }

  std::vector<Row> sorted_;
  std::vector<uint32_t> page_start_;  // by page - low_, one past the highest too
  uint32_t low_ = 0;
};

}  // namespace engine
