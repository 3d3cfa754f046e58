#include "salvage/census.h"

#include "base/bytes.h"
#include "format/data_page.h"
#include "format/layout.h"

namespace engine {

PageCensus TakeCensus(const Pager& pager, const Layout& layout, uint32_t last_page_bytes) {
  const uint32_t pages = pager.page_count();
  PageCensus c;
  c.type.assign(pages, 0);
  c.owner.assign(pages, kNoOwner);
  for (uint32_t n = 1; n < pages; ++n) {
    ByteSpan page = pager.PageOrThrow(n);
    c.type[n] = page[0];
    const uint32_t valid = n + 1 == pages ? last_page_bytes : pager.page_size();
    if (page[0] == static_cast<uint8_t>(PageType::kData) && valid >= layout.data_owner_offset + 4) {
      c.owner[n] = SlotTable(page, layout).owner();
    }
  }
  return c;
}

}  // namespace engine
