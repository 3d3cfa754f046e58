#include "format/data_page.h"

#include "base/bytes.h"

namespace engine {

Result<DataPage> DecodeDataPage(ByteSpan page, const Layout& layout, uint32_t number) {
  return Guard([&]() -> DataPage {
    DataPage out;
    out.number = number;
    std::string where = "data page " + std::to_string(number);
    if (page.size() != layout.page_size) Fail(ErrorCode::kDamaged, where + ": wrong page size");
    if (page[0] != static_cast<uint8_t>(PageType::kData)) {
      Fail(ErrorCode::kDamaged,
           where + ": expected a data page, found page type " + std::to_string(page[0]));
    }
    out.free_space = Le16(page.data() + layout.data_free_space_offset);
    out.owner = Le32(page.data() + layout.data_owner_offset);
    if (layout.data_extra_offset != 0) out.extra = Le32(page.data() + layout.data_extra_offset);
    uint32_t count = Le16(page.data() + layout.data_row_count_offset);
    uint32_t table_end = layout.data_header_size + 2 * count;
    if (table_end > layout.page_size) {
      Fail(ErrorCode::kDamaged,
           where + ": row count " + std::to_string(count) + " does not fit the page");
    }
    out.slots.resize(count);
    uint32_t prev_start = layout.page_size;
    for (uint32_t i = 0; i < count; ++i) {
      RowSlot& s = out.slots[i];
      s.raw = Le16(page.data() + layout.data_header_size + 2 * i);
      uint32_t start = s.raw & kRowOffsetMask;
      s.start = static_cast<uint16_t>(start);
      s.end = static_cast<uint16_t>(prev_start);
      s.in_bounds = start >= table_end && start <= prev_start;
      // The next row ends where this one starts, as long as this start is sane.
      if (start <= layout.page_size) prev_start = start;
    }
    return out;
  });
}

uint32_t MaxDataRowSize(const Layout& layout) {
  return layout.page_size - layout.data_header_size - 2;
}

uint32_t DataPageFreeSpace(const Layout& layout, uint32_t rows, uint32_t row_bytes) {
  uint64_t used = static_cast<uint64_t>(layout.data_header_size) + 2ull * rows + row_bytes;
  return used >= layout.page_size ? 0 : static_cast<uint32_t>(layout.page_size - used);
}

void PutDataPageHeader(const Layout& layout, std::span<uint8_t> page, uint32_t owner, uint32_t rows,
                       uint32_t free_space) {
  page[0] = static_cast<uint8_t>(PageType::kData);
  page[1] = 0x01;
  Put16(page.data() + layout.data_free_space_offset, free_space);
  Put32(page.data() + layout.data_owner_offset, owner);
  Put16(page.data() + layout.data_row_count_offset, rows);
}

Result<std::vector<uint8_t>> EncodeDataPage(const Layout& layout, uint32_t owner,
                                            std::span<const ByteSpan> rows) {
  if (rows.size() > kMaxRowsPerDataPage) {
    return Error(ErrorCode::kInvalidArgument, std::to_string(rows.size()) +
                                                  " rows do not fit one data page (at most " +
                                                  std::to_string(kMaxRowsPerDataPage) + ")");
  }
  uint64_t total = 0;
  for (ByteSpan r : rows) total += r.size();
  if (layout.data_header_size + 2 * rows.size() + total > layout.page_size) {
    return Error(ErrorCode::kInvalidArgument,
                 std::to_string(rows.size()) + " rows of " + std::to_string(total) +
                     " bytes do not fit one data page of " + std::to_string(layout.page_size));
  }
  std::vector<uint8_t> page(layout.page_size, 0);
  uint32_t low = layout.page_size;
  for (size_t i = 0; i < rows.size(); ++i) {
    low -= static_cast<uint32_t>(rows[i].size());
    if (!rows[i].empty()) std::memcpy(page.data() + low, rows[i].data(), rows[i].size());
    Put16(page.data() + layout.data_header_size + 2 * i, low);
  }
  const uint32_t n = static_cast<uint32_t>(rows.size());
  PutDataPageHeader(layout, page, owner, n,
                    DataPageFreeSpace(layout, n, static_cast<uint32_t>(total)));
  return page;
}

}  // namespace engine
