#include "writer/usage_map_builder.h"

#include <algorithm>
#include <string>

#include "base/bytes.h"

namespace engine {

namespace {

std::vector<uint32_t> SortedUnique(std::span<const uint32_t> pages) {
  std::vector<uint32_t> out(pages.begin(), pages.end());
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

// Page pointers a reference map row of the usual size holds: 33 / 17.
uint32_t ReferenceSlots(const Layout& layout) {
  return (StandardUsageMapRowSize(layout) - layout.map_start_page) / 4;
}

}  // namespace

Result<std::vector<uint8_t>> BuildUsageMap(PageSink& sink, std::span<const uint32_t> pages) {
  const Layout& layout = sink.layout();
  std::vector<uint32_t> set = SortedUnique(pages);
  if (set.empty()) return EmptyUsageMap(layout);
  const uint32_t bitmap_bytes = StandardInlineBitmapBytes(layout);
  uint32_t start = set.front() & ~7u;
  if (static_cast<uint64_t>(set.back()) - start < 8ull * bitmap_bytes) {
    return EncodeInlineUsageMap(layout, start, bitmap_bytes, set);
  }

  const uint64_t per_page = layout.pages_per_bitmap_page();
  const uint32_t slots = ReferenceSlots(layout);
  if (set.back() / per_page >= slots) {
    return Error(ErrorCode::kInvalidArgument, "page " + std::to_string(set.back()) +
                                                  " lies beyond what a usage map covers (" +
                                                  std::to_string(per_page * slots) + " pages)");
  }
  std::vector<uint8_t> row(StandardUsageMapRowSize(layout), 0);
  row[0] = kReferenceUsageMap;
  size_t next = 0;
  while (next < set.size()) {
    uint32_t range = static_cast<uint32_t>(set[next] / per_page);
    uint64_t first = range * per_page;
    std::vector<uint8_t> page = EmptyBitmapPage(layout);
    while (next < set.size() && set[next] < first + per_page) {
      SetMapBit(page.data() + layout.map_bitmap_page_data, set[next] - first);
      ++next;
    }
    uint32_t number = sink.AllocatePage();
    Status s = sink.WritePage(number, page);
    if (!s.ok()) return s.error();
    Put32(row.data() + layout.map_start_page + 4 * range, number);
  }
  return row;
}

Result<std::vector<uint8_t>> BuildGlobalUsageMap(PageSink& sink, uint32_t pages_in_use,
                                                 uint32_t max_inline_row) {
  const Layout& layout = sink.layout();
  // Inline: just long enough to cover the file, in whole 4-byte steps.
  uint64_t bytes = (static_cast<uint64_t>(pages_in_use) + 7) / 8;
  bytes = (bytes + 3) / 4 * 4;
  bytes = std::max<uint64_t>(bytes, StandardInlineBitmapBytes(layout));
  if (layout.map_inline_bitmap + bytes <= max_inline_row) {
    std::vector<uint8_t> row(layout.map_inline_bitmap + static_cast<size_t>(bytes), 0);
    row[0] = kInlineUsageMap;  // start page 0
    for (uint64_t p = pages_in_use; p < 8 * bytes; ++p)
      SetMapBit(row.data() + layout.map_inline_bitmap, p);
    return row;
  }

  // Reference: the bitmap pages go at the end of the file and count as in
  // use; add pages until they cover the file including themselves.
  const uint64_t per_page = layout.pages_per_bitmap_page();
  uint64_t count = (pages_in_use + per_page - 1) / per_page;
  while ((pages_in_use + count + per_page - 1) / per_page > count) ++count;
  const uint64_t total = pages_in_use + count;
  if (count > ReferenceSlots(layout)) {
    return Error(ErrorCode::kInvalidArgument,
                 std::to_string(total) + " pages are more than a usage map covers");
  }
  std::vector<uint8_t> row(StandardUsageMapRowSize(layout), 0);
  row[0] = kReferenceUsageMap;
  for (uint64_t i = 0; i < count; ++i) {
    uint32_t number = sink.AllocatePage();
    if (number != pages_in_use + i) {
      return Error(ErrorCode::kInvalidArgument,
                   "the global usage map expected to add page " + std::to_string(pages_in_use + i) +
                       ", the file's next page is " + std::to_string(number));
    }
    std::vector<uint8_t> page = EmptyBitmapPage(layout);
    uint64_t first = i * per_page;
    for (uint64_t p = std::max(first, total); p < first + per_page; ++p) {
      SetMapBit(page.data() + layout.map_bitmap_page_data, p - first);
    }
    Status s = sink.WritePage(number, page);
    if (!s.ok()) return s.error();
    Put32(row.data() + layout.map_start_page + 4 * i, number);
  }
  return row;
}

}  // namespace engine
