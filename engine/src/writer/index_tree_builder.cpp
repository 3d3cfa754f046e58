#include "writer/index_tree_builder.h"

#include <algorithm>
#include <cstring>

#include "format/index_page.h"

namespace engine {

namespace {

constexpr uint8_t kLeaf = static_cast<uint8_t>(PageType::kIndexLeaf);
constexpr uint8_t kNode = static_cast<uint8_t>(PageType::kIndexNode);
constexpr size_t kRowPointerSize = 4;
constexpr size_t kChildPointerSize = 4;

int Compare(ByteSpan a, ByteSpan b) {
  const size_t n = std::min(a.size(), b.size());
  if (n != 0) {
    int c = std::memcmp(a.data(), b.data(), n);
    if (c != 0) return c;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

size_t CommonPrefix(ByteSpan a, ByteSpan b) {
  const size_t n = std::min(a.size(), b.size());
  size_t i = 0;
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

void AppendRowPointer(std::vector<uint8_t>& out, RowPointer row) {
  out.push_back(static_cast<uint8_t>(row.page >> 16));
  out.push_back(static_cast<uint8_t>(row.page >> 8));
  out.push_back(static_cast<uint8_t>(row.page));
  out.push_back(row.row);
}

void AppendBe32(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v >> 24));
  out.push_back(static_cast<uint8_t>(v >> 16));
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}

// A page of the level above the leaves, or a leaf seen from above: its
// number and its greatest leaf entry (key · row pointer).
struct Child {
  uint32_t page = 0;
  std::vector<uint8_t> last;
};

}  // namespace

std::vector<uint8_t> IndexEntryBytes(ByteSpan key, RowPointer row) {
  std::vector<uint8_t> out(key.begin(), key.end());
  AppendRowPointer(out, row);
  return out;
}

class IndexTreeBuilder::Impl {
 public:
  Impl(PageSink& sink, IndexTreeOptions options)
      : sink_(sink),
        layout_(sink.layout()),
        options_(options),
        area_(layout_.page_size - layout_.ipage_entries),
        prefix_max_(layout_.ipage_prefix_size == 1 ? 0xFFu : 0xFFFFu) {
    use_prefix_ = options_.leaf_prefixes;
    page_.resize(layout_.page_size);
  }

  Status Add(ByteSpan key, RowPointer row) {
    if (finished_)
      return Error(ErrorCode::kInvalidArgument, "index entry added after the tree was finished");
    if (row.page > 0xFFFFFF) {
      return Damaged("index entry for page " + std::to_string(row.page) +
                     ", beyond what an index row pointer can name");
    }
    entry_.assign(key.begin(), key.end());
    AppendRowPointer(entry_, row);
    // Every entry must fit an empty node page with its child pointer too.
    if (entry_.size() + kChildPointerSize > area_) {
      return Damaged("an index key of " + std::to_string(key.size()) +
                     " bytes is too long for an index page");
    }
    if (have_last_) {
      const int order = Compare(entry_, last_entry_);
      if (order <= 0) {
        return Damaged(std::string("index entries ") + (order == 0 ? "repeat" : "out of order") +
                       " at entry " + std::to_string(result_.entry_count));
      }
      const ByteSpan last_key(last_entry_.data(), last_entry_.size() - kRowPointerSize);
      if (Compare(key, last_key) != 0) ++result_.distinct_keys;
    } else {
      ++result_.distinct_keys;
    }

    if (!ends_.empty() && !Fits()) {
      if (Status st = FlushLeaf(/*last=*/false); !st.ok()) return st;
    }
    if (ends_.empty()) {
      if (leaf_page_ == 0) leaf_page_ = Allocate();
      leaf_prefix_ = entry_.size();
      sum_lengths_ = 0;
    } else {
      leaf_prefix_ = std::min(leaf_prefix_, CommonPrefix(FirstEntry(), entry_));
    }
    buffer_.insert(buffer_.end(), entry_.begin(), entry_.end());
    ends_.push_back(static_cast<uint32_t>(buffer_.size()));
    sum_lengths_ += entry_.size();
    last_entry_.swap(entry_);
    have_last_ = true;
    ++result_.entry_count;
    return Status::Ok();
  }

  Result<BuiltIndex> Finish() {
    if (finished_) return Error(ErrorCode::kInvalidArgument, "index tree finished twice");
    finished_ = true;
    if (leaf_page_ == 0) leaf_page_ = Allocate();  // empty index: one empty leaf
    if (Status st = FlushLeaf(/*last=*/true); !st.ok()) return st.error();
    result_.leaf_pages = static_cast<uint32_t>(children_.size());
    result_.levels = 1;
    std::vector<Child> level = std::move(children_);
    // Plan every node level before writing any, so that node pages are
    // linked only to siblings under the same parent.
    struct Level {
      std::vector<Child> children;
      std::vector<std::pair<size_t, size_t>> groups;  // [begin, end) of children per page
      std::vector<uint32_t> pages;
    };
    std::vector<Level> levels;
    while (level.size() > 1) {
      Level l;
      l.children = std::move(level);
      l.groups = Partition(l.children);
      std::vector<Child> above;
      for (const auto& [b, e] : l.groups) {
        l.pages.push_back(Allocate());
        above.push_back(Child{l.pages.back(), l.children[e - 1].last});
      }
      levels.push_back(std::move(l));
      level = std::move(above);
      ++result_.levels;
    }
    result_.root_page = level.front().page;
    for (size_t li = 0; li < levels.size(); ++li) {
      const Level& l = levels[li];
      // Which parent each page of this level hangs under.
      std::vector<size_t> parent(l.pages.size(), 0);
      if (li + 1 < levels.size()) {
        const auto& up = levels[li + 1].groups;
        for (size_t g = 0; g < up.size(); ++g) {
          for (size_t i = up[g].first; i < up[g].second; ++i) parent[i] = g;
        }
      }
      for (size_t g = 0; g < l.groups.size(); ++g) {
        IndexPageHeader h;
        h.type = kNode;
        h.owner = options_.owner_page;
        if (g > 0 && parent[g - 1] == parent[g]) h.prev_page = l.pages[g - 1];
        if (g + 1 < l.groups.size() && parent[g + 1] == parent[g]) h.next_page = l.pages[g + 1];
        const auto [b, e] = l.groups[g];
        // A lone child is an ordinary entry; otherwise the last is the tail.
        const size_t with_entry = e - b == 1 ? e : e - 1;
        if (e - b > 1) h.child_tail = l.children[e - 1].page;
        buffer_.clear();
        ends_.clear();
        for (size_t i = b; i < with_entry; ++i) {
          buffer_.insert(buffer_.end(), l.children[i].last.begin(), l.children[i].last.end());
          AppendBe32(buffer_, l.children[i].page);
          ends_.push_back(static_cast<uint32_t>(buffer_.size()));
        }
        if (Status st = WriteOne(h, l.pages[g]); !st.ok()) return st.error();
      }
    }
    std::sort(result_.pages.begin(), result_.pages.end());
    return std::move(result_);
  }

 private:
  ByteSpan FirstEntry() const { return ByteSpan(buffer_.data(), ends_.front()); }

  // Whether entry_ fits the current leaf.
  bool Fits() const {
    size_t prefix = 0;
    if (use_prefix_) {
      prefix = std::min<size_t>({leaf_prefix_, CommonPrefix(FirstEntry(), entry_), prefix_max_});
    }
    // First entry whole, every other one without the prefix.
    const size_t n = ends_.size() + 1;
    const size_t total = sum_lengths_ + entry_.size() - (n - 1) * prefix;
    return total <= area_;
  }

  uint32_t Allocate() {
    const uint32_t n = sink_.AllocatePage();
    result_.pages.push_back(n);
    return n;
  }

  // Writes the current leaf; unless it is the last, starts the next one
  // (its page number is the current leaf's next link).
  Status FlushLeaf(bool last) {
    IndexPageHeader h;
    h.type = kLeaf;
    h.owner = options_.owner_page;
    h.prev_page = prev_leaf_;
    const uint32_t next = last ? 0 : Allocate();
    h.next_page = next;
    if (use_prefix_ && ends_.size() > 1) {
      h.prefix_length = static_cast<uint16_t>(std::min<size_t>(leaf_prefix_, prefix_max_));
    }
    if (Status st = WriteOne(h, leaf_page_); !st.ok()) return st;
    Child c;
    c.page = leaf_page_;
    if (!ends_.empty()) {
      const uint32_t begin = ends_.size() > 1 ? ends_[ends_.size() - 2] : 0;
      c.last.assign(buffer_.begin() + begin, buffer_.begin() + ends_.back());
    }
    children_.push_back(std::move(c));
    prev_leaf_ = leaf_page_;
    leaf_page_ = next;
    buffer_.clear();
    ends_.clear();
    return Status::Ok();
  }

  Status WriteOne(const IndexPageHeader& h, uint32_t number) {
    Status st = EncodeIndexPage(h, buffer_, ends_, layout_, page_);
    if (!st.ok()) return st;
    return sink_.WritePage(number, page_);
  }

  // Splits children into node pages: each takes as many children as fit
  // (entries for all but the last, which is the tail and costs nothing). A
  // last page left with a single child takes one from the page before when
  // that one keeps two or more.
  std::vector<std::pair<size_t, size_t>> Partition(const std::vector<Child>& children) const {
    std::vector<std::pair<size_t, size_t>> groups;
    size_t b = 0;
    while (b < children.size()) {
      size_t e = b + 1;
      size_t used = 0;
      while (e < children.size()) {
        // Taking child e makes child e-1 an entry.
        const size_t cost = children[e - 1].last.size() + kChildPointerSize;
        if (used + cost > area_) break;
        used += cost;
        ++e;
      }
      groups.emplace_back(b, e);
      b = e;
    }
    if (groups.size() >= 2 && groups.back().second - groups.back().first == 1) {
      auto& before = groups[groups.size() - 2];
      if (before.second - before.first >= 3) {
        --before.second;
        --groups.back().first;
      }
    }
    return groups;
  }

  PageSink& sink_;
  const Layout& layout_;
  IndexTreeOptions options_;
  const size_t area_;
  const size_t prefix_max_;
  bool use_prefix_ = false;
  bool finished_ = false;

  std::vector<uint8_t> page_;
  std::vector<uint8_t> entry_;       // the entry being added
  std::vector<uint8_t> last_entry_;  // the one before it
  bool have_last_ = false;

  // The leaf being filled.
  uint32_t leaf_page_ = 0;
  uint32_t prev_leaf_ = 0;
  std::vector<uint8_t> buffer_;  // entries back to back
  std::vector<uint32_t> ends_;
  size_t sum_lengths_ = 0;
  size_t leaf_prefix_ = 0;  // common prefix of the leaf's first and last entries

  std::vector<Child> children_;  // completed leaves
  BuiltIndex result_;
};

IndexTreeBuilder::IndexTreeBuilder(PageSink& sink, IndexTreeOptions options)
    : impl_(std::make_unique<Impl>(sink, options)) {}
IndexTreeBuilder::~IndexTreeBuilder() = default;

Status IndexTreeBuilder::Add(ByteSpan key, RowPointer row) {
  return impl_->Add(key, row);
}
Result<BuiltIndex> IndexTreeBuilder::Finish() {
  return impl_->Finish();
}

}  // namespace engine
