// A PageSink that keeps the pages in memory: for tests, and for building
// small files whole before they go to disk.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "writer/page_sink.h"

namespace engine {

class MemoryPageSink : public PageSink {
 public:
  explicit MemoryPageSink(const Layout& layout, uint32_t first_page = 0)
      : layout_(layout), next_(first_page) {}

  const Layout& layout() const override { return layout_; }

  uint32_t AllocatePage() override { return next_++; }

  // Errors (3001): a page never allocated, written twice, or of the wrong size.
  Status WritePage(uint32_t number, ByteSpan bytes) override {
    if (number >= next_) {
      return Error(ErrorCode::kInvalidArgument,
                   "page " + std::to_string(number) + " written before it was allocated");
    }
    if (bytes.size() != layout_.page_size) {
      return Error(ErrorCode::kInvalidArgument, "page " + std::to_string(number) +
                                                    " written with " +
                                                    std::to_string(bytes.size()) + " bytes");
    }
    if (written_.size() <= number) written_.resize(number + 1, false);
    if (written_[number]) {
      return Error(ErrorCode::kInvalidArgument,
                   "page " + std::to_string(number) + " written twice");
    }
    written_[number] = true;
    size_t end = static_cast<size_t>(number + 1) * layout_.page_size;
    if (bytes_.size() < end) bytes_.resize(end, 0);
    std::memcpy(bytes_.data() + static_cast<size_t>(number) * layout_.page_size, bytes.data(),
                bytes.size());
    return Status::Ok();
  }

  uint32_t allocated() const { return next_; }
  bool written(uint32_t number) const { return number < written_.size() && written_[number]; }
  // The file so far: every allocated page, unwritten ones all zero.
  std::vector<uint8_t> bytes() const {
    std::vector<uint8_t> out = bytes_;
    out.resize(static_cast<size_t>(next_) * layout_.page_size, 0);
    return out;
  }

 private:
  const Layout& layout_;
  uint32_t next_;
  std::vector<bool> written_;
  std::vector<uint8_t> bytes_;
};

}  // namespace engine
