#include "io/page_source.h"

#include <string>

#include "base/bytes.h"

namespace engine {

Result<ByteSpan> PageSource::Page(uint32_t number) const {
  return Guard([&] { return PageOrThrow(number); });
}

void ThrowPageBeyondEnd(uint32_t number, uint32_t page_count) {
  Fail(ErrorCode::kDamaged, "page " + std::to_string(number) + " is beyond the end of the file (" +
                                std::to_string(page_count) + " pages)");
}

}  // namespace engine
