#include "engine/page.h"

#include <cstring>

#include "bytes.h"
#include "engine/header.h"

namespace engine {

Pager::Pager(std::unique_ptr<FileSource> source, uint32_t page_size, uint32_t database_key)
    : source_(std::move(source)), page_size_(page_size), database_key_(database_key) {
  uint64_t size = source_->bytes().size();
  uint64_t pages = size / page_size_;
  // Row pointers carry 24-bit page numbers; a Jet file never has more pages.
  page_count_ = static_cast<uint32_t>(std::min<uint64_t>(pages, 0xFFFFFF + 1));
  trailing_bytes_ = static_cast<uint32_t>(size % page_size_);
  if (database_key_ != 0) decoded_.resize(page_count_);
}

ByteSpan Pager::PageOrThrow(uint32_t number) const {
  if (number >= page_count_) {
    Fail(ErrorCode::kDamaged, "page " + std::to_string(number) +
                                  " is beyond the end of the file (" + std::to_string(page_count_) +
                                  " pages)");
  }
  const uint8_t* base = source_->bytes().data() + static_cast<uint64_t>(number) * page_size_;
  if (database_key_ == 0 || number == 0) return ByteSpan(base, page_size_);
  auto& slot = decoded_[number];
  if (!slot) {
    slot.reset(new uint8_t[page_size_]);
    std::memcpy(slot.get(), base, page_size_);
    ApplyPageCipher(slot.get(), page_size_, number, database_key_);
  }
  return ByteSpan(slot.get(), page_size_);
}

ByteSpan Pager::PageOnce(uint32_t number, std::vector<uint8_t>& scratch) const {
  if (database_key_ == 0 || number == 0 || number >= page_count_ || decoded_[number]) {
    return PageOrThrow(number);
  }
  const uint8_t* base = source_->bytes().data() + static_cast<uint64_t>(number) * page_size_;
  scratch.assign(base, base + page_size_);
  ApplyPageCipher(scratch.data(), page_size_, number, database_key_);
  return ByteSpan(scratch.data(), page_size_);
}

Result<ByteSpan> Pager::Page(uint32_t number) const {
  return Guard([&] { return PageOrThrow(number); });
}

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
    out.free_space = Le16(page.data() + 2);
    out.owner = Le32(page.data() + 4);
    if (layout.version == JetVersion::kJet4) out.extra = Le32(page.data() + 8);
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

}  // namespace engine
