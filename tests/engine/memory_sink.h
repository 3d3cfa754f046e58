// Helpers for the index writer's tests over the in-memory page sink: a
// pager over what was written, so the reader's decoders can read it back,
// and a sink whose writes start failing.
#pragma once

#include <memory>

#include "io/file_source.h"
#include "io/pager.h"
#include "format/data_page.h"
#include "writer/memory_page_sink.h"

namespace writer_test {

// Page numbers start at 2, as after page 0 and the global usage map.
inline engine::MemoryPageSink SinkFor(engine::JetVersion version, uint32_t first_page = 2) {
  return engine::MemoryPageSink(engine::LayoutFor(version), first_page);
}

inline std::unique_ptr<engine::Pager> PagerOver(const engine::MemoryPageSink& sink) {
  return std::make_unique<engine::Pager>(engine::FileSource::FromBuffer(sink.bytes()),
                                         sink.layout().page_size, 0);
}

// Writes fail with `code` after `ok_writes` pages.
class FailingSink : public engine::MemoryPageSink {
 public:
  FailingSink(engine::JetVersion version, int ok_writes, engine::ErrorCode code)
      : MemoryPageSink(engine::LayoutFor(version), 2), left_(ok_writes), code_(code) {}
  engine::Status WritePage(uint32_t number, engine::ByteSpan bytes) override {
    if (left_-- <= 0) return engine::Error(code_, "simulated write failure");
    return MemoryPageSink::WritePage(number, bytes);
  }

 private:
  int left_;
  engine::ErrorCode code_;
};

}  // namespace writer_test
