#include "format/usage_map.h"

#include <algorithm>

#include "base/bytes.h"

namespace engine {

bool UsageMap::Contains(uint32_t page) const {
  return std::binary_search(pages.begin(), pages.end(), page);
}

namespace {

// A reference map's pointers start after its type byte.
constexpr uint32_t kReferenceMapPointers = 1;

void AddBits(const uint8_t* bits, size_t length, uint64_t first_page, uint32_t page_count,
             UsageMap& map) {
  map.pages_covered += static_cast<uint64_t>(length) * 8;
  for (size_t b = 0; b < length; ++b) {
    uint8_t byte = bits[b];
    if (byte == 0) continue;
    for (int k = 0; k < 8; ++k) {
      if (!(byte & (1u << k))) continue;
      uint64_t page = first_page + b * 8 + static_cast<uint64_t>(k);
      if (page < page_count) {
        map.pages.push_back(static_cast<uint32_t>(page));
      } else {
        if (map.pages_beyond_file == 0 || page < map.first_page_beyond_file) {
          map.first_page_beyond_file = page;
        }
        ++map.pages_beyond_file;
      }
    }
  }
}

UsageMap DecodeOrThrow(const PageSource& pager, const Layout& layout, ByteSpan row,
                       const std::string& where) {
  const uint32_t page_count = pager.page_count();
  UsageMap map;
  map.raw.assign(row.begin(), row.end());
  if (row.empty()) Fail(ErrorCode::kDamaged, where + ": empty usage map row");
  map.type = row[0];
  if (map.type == 0) {
    const size_t bits = layout.map_inline_bitmap;
    if (row.size() < bits) {
      Fail(ErrorCode::kDamaged,
           where + ": inline usage map shorter than " + std::to_string(bits) + " bytes");
    }
    map.start_page = Le32(row.data() + layout.map_start_page);
    AddBits(row.data() + bits, row.size() - bits, map.start_page, page_count, map);
  } else if (map.type == 1) {
    size_t count = (row.size() - kReferenceMapPointers) / 4;
    uint64_t per_page = layout.pages_per_bitmap_page();
    for (size_t i = 0; i < count; ++i) {
      uint32_t bitmap_page = Le32(row.data() + kReferenceMapPointers + 4 * i);
      map.bitmap_pages.push_back(bitmap_page);
      if (bitmap_page == 0) continue;
      // A range wholly past the end of the file holds no page of it; some
      // writers leave a junk pointer there (0xFFFFFF80 seen), so it is not read.
      if (i * per_page >= page_count) {
        map.pages_covered += per_page;
        continue;
      }
      ByteSpan page = pager.PageOrThrow(bitmap_page);
      if (page[0] != static_cast<uint8_t>(PageType::kUsageBitmap)) {
        Fail(ErrorCode::kDamaged, where + ": reference usage map points at page " +
                                      std::to_string(bitmap_page) + " of type " +
                                      std::to_string(page[0]) + ", not a bitmap page");
      }
      const size_t data = layout.map_bitmap_page_data;
      AddBits(page.data() + data, page.size() - data, i * per_page, page_count, map);
    }
  } else {
    Fail(ErrorCode::kDamaged, where + ": unknown usage map type " + std::to_string(map.type));
  }
  // Reference maps can list bitmap pages out of order.
  if (!std::is_sorted(map.pages.begin(), map.pages.end())) {
    std::sort(map.pages.begin(), map.pages.end());
    map.pages.erase(std::unique(map.pages.begin(), map.pages.end()), map.pages.end());
  }
  return map;
}

}  // namespace

Result<UsageMap> DecodeUsageMap(const PageSource& pager, const Layout& layout, ByteSpan row) {
  return Guard([&] { return DecodeOrThrow(pager, layout, row, "usage map"); });
}

Result<UsageMap> ReadUsageMap(const PageSource& pager, const Layout& layout, RowPointer pointer) {
  return Guard([&] {
    std::string where =
        "usage map at page " + std::to_string(pointer.page) + " row " + std::to_string(pointer.row);
    ByteSpan page = pager.PageOrThrow(pointer.page);
    auto decoded = DecodeDataPage(page, layout, pointer.page);
    if (!decoded.ok()) Fail(ErrorCode::kDamaged, where + ": " + decoded.error().description());
    const DataPage& dp = decoded.value();
    if (pointer.row >= dp.slots.size()) {
      Fail(ErrorCode::kDamaged,
           where + ": the page has only " + std::to_string(dp.slots.size()) + " rows");
    }
    const RowSlot& slot = dp.slots[pointer.row];
    if (!slot.in_bounds) Fail(ErrorCode::kDamaged, where + ": row offset out of the page");
    UsageMap map = DecodeOrThrow(pager, layout, page.subspan(slot.start, slot.length()), where);
    map.location = pointer;
    return map;
  });
}

uint32_t StandardInlineBitmapBytes(const Layout& layout) {
  return layout.version == JetVersion::kJet3 ? 128 : 64;
}

uint32_t StandardUsageMapRowSize(const Layout& layout) {
  return layout.map_inline_bitmap + StandardInlineBitmapBytes(layout);
}

std::vector<uint8_t> EmptyUsageMap(const Layout& layout) {
  return std::vector<uint8_t>(StandardUsageMapRowSize(layout), 0);
}

std::vector<uint8_t> EmptyBitmapPage(const Layout& layout) {
  std::vector<uint8_t> page(layout.page_size, 0);
  page[0] = static_cast<uint8_t>(PageType::kUsageBitmap);
  page[1] = 0x01;
  return page;
}

Result<std::vector<uint8_t>> EncodeInlineUsageMap(const Layout& layout, uint32_t start_page,
                                                  uint32_t bitmap_bytes,
                                                  std::span<const uint32_t> pages) {
  if (start_page % 8 != 0) {
    return Error(ErrorCode::kInvalidArgument,
                 "usage map start page " + std::to_string(start_page) + " is not a multiple of 8");
  }
  uint64_t end = static_cast<uint64_t>(start_page) + 8ull * bitmap_bytes;
  std::vector<uint8_t> row(layout.map_inline_bitmap + static_cast<size_t>(bitmap_bytes), 0);
  row[0] = kInlineUsageMap;
  Put32(row.data() + layout.map_start_page, start_page);
  for (uint32_t p : pages) {
    if (p < start_page || p >= end) {
      return Error(ErrorCode::kInvalidArgument,
                   "page " + std::to_string(p) + " lies outside the inline usage map of pages " +
                       std::to_string(start_page) + ".." + std::to_string(end - 1));
    }
    SetMapBit(row.data() + layout.map_inline_bitmap, p - start_page);
  }
  return row;
}

uint32_t ReferenceMapSlots(const Layout&, uint32_t row_size) {
  return row_size < kReferenceMapPointers ? 0 : (row_size - kReferenceMapPointers) / 4;
}

Result<std::vector<uint8_t>> EncodeReferenceUsageMap(const Layout& layout, uint32_t row_size,
                                                     std::span<const uint32_t> bitmap_pages) {
  if (bitmap_pages.size() > ReferenceMapSlots(layout, row_size)) {
    return Error(ErrorCode::kInvalidArgument, std::to_string(bitmap_pages.size()) +
                                                  " bitmap pages do not fit a usage map row of " +
                                                  std::to_string(row_size) + " bytes");
  }
  std::vector<uint8_t> row(row_size, 0);
  row[0] = kReferenceUsageMap;
  for (size_t i = 0; i < bitmap_pages.size(); ++i) {
    Put32(row.data() + kReferenceMapPointers + 4 * i, bitmap_pages[i]);
  }
  return row;
}

}  // namespace engine
