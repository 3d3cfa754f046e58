// A page sink that keeps the pages in memory, for the writer's tests, and
// a pager over what was written so the reader's decoders can read it back.
#pragma once

#include <map>
#include <memory>
#include <vector>

#include "engine/file_source.h"
#include "engine/page.h"
#include "writer/page_sink.h"

namespace writer_test {

class MemorySink : public engine::PageSink {
 public:
  explicit MemorySink(engine::JetVersion version, uint32_t first_page = 2)
      : layout_(engine::LayoutFor(version)), next_(first_page) {}

  const engine::Layout& layout() const override { return layout_; }
  uint32_t AllocatePage() override { return next_++; }
  engine::Status WritePage(uint32_t number, engine::ByteSpan bytes) override {
    if (number >= next_) {
      return engine::Error(engine::ErrorCode::kInvalidArgument, "page not allocated");
    }
    if (bytes.size() != layout_.page_size) {
      return engine::Error(engine::ErrorCode::kInvalidArgument, "not a whole page");
    }
    if (!pages_.emplace(number, std::vector<uint8_t>(bytes.begin(), bytes.end())).second) {
      ++rewrites_;
      pages_[number].assign(bytes.begin(), bytes.end());
    }
    return engine::Status::Ok();
  }

  uint32_t allocated() const { return next_; }
  int rewrites() const { return rewrites_; }
  const std::map<uint32_t, std::vector<uint8_t>>& pages() const { return pages_; }

  // The written pages as a file (unwritten pages zero) and a pager over it.
  std::vector<uint8_t> File() const {
    std::vector<uint8_t> file(size_t{next_} * layout_.page_size, 0);
    for (const auto& [n, bytes] : pages_) {
      std::copy(bytes.begin(), bytes.end(), file.begin() + size_t{n} * layout_.page_size);
    }
    return file;
  }
  std::unique_ptr<engine::Pager> MakePager() const {
    return std::make_unique<engine::Pager>(engine::FileSource::FromBuffer(File()),
                                           layout_.page_size, 0);
  }

 private:
  const engine::Layout& layout_;
  uint32_t next_;
  std::map<uint32_t, std::vector<uint8_t>> pages_;
  int rewrites_ = 0;
};

// A sink whose writes start failing after `ok_writes` pages.
class FailingSink : public MemorySink {
 public:
  FailingSink(engine::JetVersion version, int ok_writes, engine::ErrorCode code)
      : MemorySink(version), left_(ok_writes), code_(code) {}
  engine::Status WritePage(uint32_t number, engine::ByteSpan bytes) override {
    if (left_-- <= 0) return engine::Error(code_, "simulated write failure");
    return MemorySink::WritePage(number, bytes);
  }

 private:
  int left_;
  engine::ErrorCode code_;
};

}  // namespace writer_test
