#include "format/index_page.h"

#include <algorithm>
#include <unordered_set>

#include "base/bytes.h"

namespace engine {

namespace {

IndexPage DecodeOrThrow(ByteSpan page, const Layout& L, uint32_t number) {
  const std::string where = "index page " + std::to_string(number);
  if (page.size() != L.page_size) Fail(ErrorCode::kDamaged, where + ": wrong page size");
  IndexPage out;
  out.number = number;
  out.type = page[0];
  if (out.type != static_cast<uint8_t>(PageType::kIndexNode) &&
      out.type != static_cast<uint8_t>(PageType::kIndexLeaf)) {
    Fail(ErrorCode::kDamaged,
         where + ": not an index page (type " + std::to_string(out.type) + ")");
  }
  const uint8_t* p = page.data();
  out.free_space = Le16(p + 2);
  out.owner = Le32(p + 4);
  out.prev_page = Le32(p + L.ipage_prev);
  out.next_page = Le32(p + L.ipage_next);
  out.child_tail = Le32(p + L.ipage_tail);
  out.prefix_length = L.ipage_prefix_size == 1 ? p[L.ipage_prefix] : Le16(p + L.ipage_prefix);
  out.node_flag = p[L.ipage_node_flag];

  const size_t pointer_size = out.is_leaf() ? 4 : 8;
  const size_t mask_bytes = L.ipage_entries - L.ipage_bitmask;
  const size_t area = L.page_size - L.ipage_entries;
  size_t entry_start = 0;
  std::vector<uint8_t> first;
  for (size_t byte = 0; byte < mask_bytes; ++byte) {
    uint8_t bits = p[L.ipage_bitmask + byte];
    if (bits == 0) continue;
    for (int k = 0; k < 8; ++k) {
      if (!(bits & (1u << k))) continue;
      size_t end = byte * 8 + static_cast<size_t>(k);
      if (end > area) {
        Fail(ErrorCode::kDamaged, where + ": an entry ends at " + std::to_string(end) +
                                      ", past the entry area (" + std::to_string(area) + " bytes)");
      }
      if (end <= entry_start) {
        Fail(ErrorCode::kDamaged, where + ": empty entry at " + std::to_string(end));
      }
      ByteSpan stored = page.subspan(L.ipage_entries + entry_start, end - entry_start);
      IndexEntry e;
      e.stored_offset = static_cast<uint16_t>(entry_start);
      e.stored_length = static_cast<uint16_t>(stored.size());
      std::vector<uint8_t> full;
      if (out.entries.empty()) {
        full.assign(stored.begin(), stored.end());
        if (out.prefix_length > full.size()) {
          Fail(ErrorCode::kDamaged, where + ": prefix length " + std::to_string(out.prefix_length) +
                                        " exceeds the first entry (" + std::to_string(full.size()) +
                                        " bytes)");
        }
        first = full;
      } else {
        full.reserve(out.prefix_length + stored.size());
        full.assign(first.begin(), first.begin() + out.prefix_length);
        full.insert(full.end(), stored.begin(), stored.end());
      }
      if (full.size() < pointer_size) {
        Fail(ErrorCode::kDamaged, where + ": entry " + std::to_string(out.entries.size()) +
                                      " is too short for its pointers (" +
                                      std::to_string(full.size()) + " bytes)");
      }
      size_t key_size = full.size() - pointer_size;
      const uint8_t* ptr = full.data() + key_size;
      e.row.page = Be24(ptr);
      e.row.row = ptr[3];
      if (!out.is_leaf()) e.child_page = Be32(ptr + 4);
      full.resize(key_size);
      e.key = std::move(full);
      out.entries.push_back(std::move(e));
      entry_start = end;
    }
  }
  return out;
}

IndexPage LoadOrThrow(const Pager& pager, const Layout& L, uint32_t number) {
  return DecodeOrThrow(pager.PageOrThrow(number), L, number);
}

constexpr int kMaxDepth = 32;

}  // namespace

Result<IndexPage> DecodeIndexPage(ByteSpan page, const Layout& layout, uint32_t number) {
  return Guard([&] { return DecodeOrThrow(page, layout, number); });
}

Status WalkLeafChain(const Pager& pager, const Layout& layout, uint32_t root_page,
                     const std::function<bool(const IndexPage&, const IndexEntry&)>& visit) {
  return GuardStatus([&] {
    const std::string where = "index with root page " + std::to_string(root_page);
    std::unordered_set<uint32_t> seen;
    IndexPage page = LoadOrThrow(pager, layout, root_page);
    seen.insert(root_page);
    // Down the left edge to the first leaf.
    int depth = 0;
    while (!page.is_leaf()) {
      if (++depth > kMaxDepth) Fail(ErrorCode::kDamaged, where + ": tree deeper than 32 levels");
      uint32_t child = page.entries.empty() ? page.child_tail : page.entries.front().child_page;
      if (child == 0) {
        Fail(ErrorCode::kDamaged,
             where + ": node page " + std::to_string(page.number) + " has no children");
      }
      if (!seen.insert(child).second) {
        Fail(ErrorCode::kDamaged, where + ": page " + std::to_string(child) + " reached twice");
      }
      page = LoadOrThrow(pager, layout, child);
    }
    seen.clear();
    while (true) {
      if (!seen.insert(page.number).second) {
        Fail(ErrorCode::kDamaged,
             where + ": the leaf chain loops back to page " + std::to_string(page.number));
      }
      for (const auto& e : page.entries) {
        if (!visit(page, e)) return;
      }
      if (page.next_page == 0) break;
      uint32_t next = page.next_page;
      page = LoadOrThrow(pager, layout, next);
      if (!page.is_leaf()) {
        Fail(ErrorCode::kDamaged,
             where + ": the leaf chain leads to node page " + std::to_string(next));
      }
    }
  });
}

Status WalkTree(const Pager& pager, const Layout& layout, uint32_t root_page,
                const std::function<bool(const IndexPage&, int depth)>& visit) {
  return GuardStatus([&] {
    const std::string where = "index with root page " + std::to_string(root_page);
    std::unordered_set<uint32_t> seen;
    bool stop = false;
    std::function<void(uint32_t, int)> walk = [&](uint32_t number, int depth) {
      if (stop) return;
      if (depth > kMaxDepth) Fail(ErrorCode::kDamaged, where + ": tree deeper than 32 levels");
      if (!seen.insert(number).second) {
        Fail(ErrorCode::kDamaged, where + ": page " + std::to_string(number) + " reached twice");
      }
      IndexPage page = LoadOrThrow(pager, layout, number);
      if (!visit(page, depth)) {
        stop = true;
        return;
      }
      if (page.is_leaf()) return;
      for (const auto& e : page.entries) {
        walk(e.child_page, depth + 1);
        if (stop) return;
      }
      if (page.child_tail != 0) walk(page.child_tail, depth + 1);
    };
    walk(root_page, 0);
  });
}

Status EncodeIndexPage(const IndexPageHeader& header, ByteSpan entries,
                       std::span<const uint32_t> ends, const Layout& L, std::span<uint8_t> out) {
  auto invalid = [](const std::string& what) {
    return Error(ErrorCode::kInvalidArgument, "index page not written: " + what);
  };
  const bool node = header.type == static_cast<uint8_t>(PageType::kIndexNode);
  if (!node && header.type != static_cast<uint8_t>(PageType::kIndexLeaf)) {
    return invalid("type " + std::to_string(header.type) + " is not an index page type");
  }
  if (out.size() != L.page_size) return invalid("output is not one page");
  const uint32_t prefix_max = L.ipage_prefix_size == 1 ? 0xFFu : 0xFFFFu;
  if (header.prefix_length > prefix_max) return invalid("prefix length too large");
  const size_t area = L.page_size - L.ipage_entries;
  const size_t mask_bits = (L.ipage_entries - L.ipage_bitmask) * 8;

  std::fill(out.begin(), out.end(), uint8_t{0});
  uint8_t* p = out.data();
  size_t stored_end = 0;  // within the entry area
  uint32_t begin = 0;
  for (size_t i = 0; i < ends.size(); ++i) {
    const uint32_t end = ends[i];
    if (end <= begin || end > entries.size())
      return invalid("entry " + std::to_string(i) + " is empty or out of range");
    ByteSpan entry = entries.subspan(begin, end - begin);
    size_t skip = 0;
    if (i > 0 && header.prefix_length > 0) {
      ByteSpan first = entries.subspan(0, ends[0]);
      skip = header.prefix_length;
      if (entry.size() <= skip || first.size() < skip ||
          !std::equal(first.begin(), first.begin() + static_cast<std::ptrdiff_t>(skip),
                      entry.begin())) {
        return invalid("entry " + std::to_string(i) + " does not share the page's prefix");
      }
    } else if (i == 0 && header.prefix_length > entry.size()) {
      return invalid("the prefix is longer than the first entry");
    }
    const size_t stored = entry.size() - skip;
    if (stored_end + stored > area || stored_end + stored >= mask_bits) {
      return invalid("the entries do not fit the page");
    }
    std::copy(entry.begin() + static_cast<std::ptrdiff_t>(skip), entry.end(),
              p + L.ipage_entries + stored_end);
    stored_end += stored;
    p[L.ipage_bitmask + stored_end / 8] |= static_cast<uint8_t>(1u << (stored_end % 8));
    begin = end;
  }
  auto put32 = [p](size_t at, uint32_t v) {
    for (int k = 0; k < 4; ++k) p[at + static_cast<size_t>(k)] = static_cast<uint8_t>(v >> (8 * k));
  };
  p[0] = header.type;
  p[1] = 0x01;
  const uint32_t free_space = static_cast<uint32_t>(L.page_size - (L.ipage_entries + stored_end));
  p[2] = static_cast<uint8_t>(free_space);
  p[3] = static_cast<uint8_t>(free_space >> 8);
  put32(4, header.owner);
  put32(L.ipage_prev, header.prev_page);
  put32(L.ipage_next, header.next_page);
  put32(L.ipage_tail, header.child_tail);
  p[L.ipage_prefix] = static_cast<uint8_t>(header.prefix_length);
  if (L.ipage_prefix_size == 2)
    p[L.ipage_prefix + 1] = static_cast<uint8_t>(header.prefix_length >> 8);
  p[L.ipage_node_flag] = node ? 1 : 0;
  return Status::Ok();
}

}  // namespace engine
