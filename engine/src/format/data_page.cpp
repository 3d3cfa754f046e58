#include "format/data_page.h"

#include <algorithm>
#include <cstring>

#include "base/bytes.h"

namespace engine {

SlotTable::SlotTable(ByteSpan page, const Layout& layout, uint32_t valid)
    : page_(page),
      layout_(layout),
      valid_(std::min<uint32_t>(valid, static_cast<uint32_t>(page.size()))),
      count_(Le16(page.data() + layout.data_row_count_offset)) {}

uint16_t SlotTable::free_space() const {
  return Le16(page_.data() + layout_.data_free_space_offset);
}

uint32_t SlotTable::owner() const {
  return Le32(page_.data() + layout_.data_owner_offset);
}

uint32_t SlotTable::extra() const {
  return layout_.data_extra_offset == 0 ? 0 : Le32(page_.data() + layout_.data_extra_offset);
}

uint16_t SlotTable::raw(uint32_t i) const {
  return Le16(page_.data() + layout_.data_header_size + 2 * i);
}

ByteSpan SlotTable::bytes(uint32_t i) const {
  if (!in_bounds(i)) return {};
  return page_.subspan(start(i), end(i) - start(i));
}

uint32_t SlotTable::nearest_end(uint32_t i) const {
  const uint32_t s = start(i);
  uint32_t end = layout_.page_size;
  for (uint32_t k = 0; k < count_; ++k) {
    uint32_t other = start(k);
    if (other > s && other < end) end = other;
  }
  return end;
}

ByteSpan SlotTable::nearest_bytes(uint32_t i) const {
  const uint32_t s = start(i), e = nearest_end(i);
  if (s < table_end() || s > e || e > valid_) return {};
  return page_.subspan(s, e - s);
}

uint32_t SlotTable::undeleted_count() const {
  if (!fits()) return 0;
  uint32_t n = 0;
  for (uint32_t i = 0; i < count_; ++i) n += !deleted(i);
  return n;
}

uint32_t SlotTable::lowest_row_start() const {
  uint32_t lowest = layout_.page_size;
  if (!fits()) return lowest;
  for (uint32_t i = 0; i < count_; ++i) {
    uint32_t s = start(i);
    if (s >= table_end() && s < lowest) lowest = s;
  }
  return lowest;
}

uint32_t SlotTable::lowest_start() const {
  uint32_t lowest = layout_.page_size;
  if (!fits()) return lowest;
  for (uint32_t i = 0; i < count_; ++i) lowest = std::min(lowest, start(i));
  return lowest;
}

Result<DataPage> DecodeDataPage(ByteSpan page, const Layout& layout, uint32_t number) {
  return Guard([&]() -> DataPage {
    DataPage out;
    out.number = number;
    std::string where = "data page " + std::to_string(number);
    if (page.size() != layout.page_size) Fail(ErrorCode::kDamaged, where + ": wrong page size");
    const SlotTable slots(page, layout);
    if (!slots.is_data_page()) {
      Fail(ErrorCode::kDamaged,
           where + ": expected a data page, found page type " + std::to_string(slots.page_type()));
    }
    out.free_space = slots.free_space();
    out.owner = slots.owner();
    out.extra = slots.extra();
    if (!slots.fits()) {
      Fail(ErrorCode::kDamaged,
           where + ": row count " + std::to_string(slots.count()) + " does not fit the page");
    }
    out.slots.resize(slots.count());
    // A start beyond the page bounds no row: the row after it ends where the
    // last start inside the page is (the checker reports the wild entry
    // once, not also the rows below it).
    uint32_t bound = layout.page_size;
    for (uint32_t i = 0; i < slots.count(); ++i) {
      RowSlot& s = out.slots[i];
      const uint32_t start = slots.start(i);
      s.raw = slots.raw(i);
      s.start = static_cast<uint16_t>(start);
      s.end = static_cast<uint16_t>(bound);
      s.in_bounds = start >= slots.table_end() && start <= bound;
      if (start <= layout.page_size) bound = start;
    }
    return out;
  });
}

uint32_t MaxDataRowSize(const Layout& layout) {
  return layout.page_size - SlotTableEnd(layout, 1);
}

uint32_t DataPageFreeSpace(const Layout& layout, uint32_t rows, uint32_t row_bytes) {
  uint64_t used = static_cast<uint64_t>(layout.data_header_size) + 2ull * rows + row_bytes;
  return used >= layout.page_size ? 0 : static_cast<uint32_t>(layout.page_size - used);
}

void PutDataPageHeader(const Layout& layout, std::span<uint8_t> page, uint32_t owner, uint32_t rows,
                       uint32_t free_space) {
  page[0] = static_cast<uint8_t>(PageType::kData);
  page[1] = 0x01;
  PutDataPageFreeSpace(layout, page, free_space);
  PutDataPageOwner(layout, page, owner);
  Put16(page.data() + layout.data_row_count_offset, rows);
}

void PutSlotEntry(const Layout& layout, std::span<uint8_t> page, uint32_t i, uint16_t raw) {
  Put16(page.data() + layout.data_header_size + 2 * i, raw);
}

void PutDataPageOwner(const Layout& layout, std::span<uint8_t> page, uint32_t owner) {
  Put32(page.data() + layout.data_owner_offset, owner);
}

void PutDataPageExtra(const Layout& layout, std::span<uint8_t> page, uint32_t extra) {
  if (layout.data_extra_offset != 0) Put32(page.data() + layout.data_extra_offset, extra);
}

void PutDataPageFreeSpace(const Layout& layout, std::span<uint8_t> page, uint32_t free_space) {
  Put16(page.data() + layout.data_free_space_offset, free_space);
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
  if (SlotTableEnd(layout, static_cast<uint32_t>(rows.size())) + total > layout.page_size) {
    return Error(ErrorCode::kInvalidArgument,
                 std::to_string(rows.size()) + " rows of " + std::to_string(total) +
                     " bytes do not fit one data page of " + std::to_string(layout.page_size));
  }
  std::vector<uint8_t> page(layout.page_size, 0);
  uint32_t low = layout.page_size;
  for (size_t i = 0; i < rows.size(); ++i) {
    low -= static_cast<uint32_t>(rows[i].size());
    if (!rows[i].empty()) std::memcpy(page.data() + low, rows[i].data(), rows[i].size());
    PutSlotEntry(layout, page, static_cast<uint32_t>(i), static_cast<uint16_t>(low));
  }
  const uint32_t n = static_cast<uint32_t>(rows.size());
  PutDataPageHeader(layout, page, owner, n,
                    DataPageFreeSpace(layout, n, static_cast<uint32_t>(total)));
  return page;
}

}  // namespace engine
