// Pages by number: what every decoder reads a database through. The Pager
// gives the pages of a file; repair's mended image gives the pages of the
// copy it is mending, so the same readers serve both.
#pragma once

#include <cstdint>

#include "engine/error.h"
#include "engine/types.h"

namespace engine {

class PageSource {
 public:
  virtual ~PageSource() = default;

  virtual uint32_t page_size() const = 0;
  virtual uint32_t page_count() const = 0;

  // The plain (decoded) bytes of one page, page_size() long. Throws
  // EngineFailure (3049, naming the page) past the last page: for decoders
  // inside the engine. How long a span stays valid is the source's to say.
  virtual ByteSpan PageOrThrow(uint32_t number) const = 0;
  // Same, the failure as an Error.
  Result<ByteSpan> Page(uint32_t number) const;
};

// The failure PageOrThrow throws for a page past the last of `page_count`.
[[noreturn]] void ThrowPageBeyondEnd(uint32_t number, uint32_t page_count);

}  // namespace engine
