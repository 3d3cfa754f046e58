#include "writer/data_page_builder.h"

#include <cstring>
#include <string>

#include "base/bytes.h"

namespace engine {

Error PageBeyondRowPointers(uint32_t page) {
  // Jet's own answer to a database grown past its limit is "invalid argument".
  return Error(
      ErrorCode::kInvalidArgument,
      "page " + std::to_string(page) +
          " lies beyond the largest page a row pointer can name; the database is too large");
}

DataPageBuilder::DataPageBuilder(PageSink& sink, uint32_t owner)
    : sink_(sink), layout_(sink.layout()), owner_(owner) {}

bool DataPageBuilder::Fits(uint32_t length) const {
  if (!open_ || starts_.size() >= kMaxRowsPerDataPage) return false;
  uint32_t table_end = layout_.data_header_size + 2 * static_cast<uint32_t>(starts_.size() + 1);
  return low_ >= table_end && low_ - table_end >= length;
}

void DataPageBuilder::OpenPage() {
  page_number_ = sink_.AllocatePage();
  page_.assign(layout_.page_size, 0);
  starts_.clear();
  reserved_.clear();
  low_ = layout_.page_size;
  open_ = true;
}

Status DataPageBuilder::WriteCurrent() {
  if (!open_) return Status::Ok();
  for (size_t i = 0; i < reserved_.size(); ++i) {
    if (reserved_[i]) {
      return Error(ErrorCode::kInvalidArgument, "data page " + std::to_string(page_number_) +
                                                    ": row " + std::to_string(i) +
                                                    " was reserved but never filled");
    }
  }
  const uint32_t rows = static_cast<uint32_t>(starts_.size());
  PutDataPageHeader(layout_, page_, owner_, rows,
                    DataPageFreeSpace(layout_, rows, layout_.page_size - low_));
  open_ = false;
  Status s = sink_.WritePage(page_number_, page_);
  if (!s.ok()) return s;
  written_.push_back(
      {page_number_, static_cast<uint16_t>(rows),
       static_cast<uint16_t>(DataPageFreeSpace(layout_, rows, layout_.page_size - low_))});
  return Status::Ok();
}

Result<RowPointer> DataPageBuilder::Reserve(uint32_t length) {
  if (length > MaxDataRowSize(layout_)) {
    return Damaged("a row of " + std::to_string(length) +
                   " bytes does not fit a data page (at most " +
                   std::to_string(MaxDataRowSize(layout_)) + ")");
  }
  if (!Fits(length)) {
    Status s = WriteCurrent();
    if (!s.ok()) return s.error();
    OpenPage();
    if (page_number_ > kMaxRowPointerPage) {
      open_ = false;
      return PageBeyondRowPointers(page_number_);
    }
  }
  uint8_t row = static_cast<uint8_t>(starts_.size());
  low_ -= length;
  Put16(page_.data() + layout_.data_header_size + 2 * row, low_);
  starts_.push_back(static_cast<uint16_t>(low_));
  reserved_.push_back(true);
  ++rows_added_;
  return RowPointer{page_number_, row};
}

Status DataPageBuilder::Fill(RowPointer at, ByteSpan bytes) {
  if (!open_ || at.page != page_number_ || at.row >= starts_.size() || !reserved_[at.row]) {
    return Error(ErrorCode::kInvalidArgument, "page " + std::to_string(at.page) + " row " +
                                                  std::to_string(at.row) +
                                                  " is not a reserved row of the open page");
  }
  uint32_t end = at.row == 0 ? layout_.page_size : starts_[at.row - 1];
  uint32_t length = end - starts_[at.row];
  if (bytes.size() != length) {
    return Error(ErrorCode::kInvalidArgument, "page " + std::to_string(at.page) + " row " +
                                                  std::to_string(at.row) + ": reserved " +
                                                  std::to_string(length) + " bytes, filled with " +
                                                  std::to_string(bytes.size()));
  }
  if (length) std::memcpy(page_.data() + starts_[at.row], bytes.data(), length);
  reserved_[at.row] = false;
  return Status::Ok();
}

Result<RowPointer> DataPageBuilder::Add(ByteSpan row) {
  auto at = Reserve(static_cast<uint32_t>(row.size()));
  if (!at.ok()) return at;
  Status s = Fill(*at, row);
  if (!s.ok()) return s.error();
  return at;
}

Status DataPageBuilder::Finish() {
  return WriteCurrent();
}

std::vector<uint32_t> DataPageBuilder::page_numbers() const {
  std::vector<uint32_t> out;
  out.reserve(written_.size());
  for (const auto& p : written_) out.push_back(p.number);
  return out;
}

std::vector<uint32_t> DataPageBuilder::PagesWithRoom(uint32_t min_free) const {
  std::vector<uint32_t> out;
  for (const auto& p : written_) {
    if (p.free_space >= min_free) out.push_back(p.number);
  }
  return out;
}

}  // namespace engine
