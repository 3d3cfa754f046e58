// The first look at every page of a file: its type byte and, for a data
// page, the table its owner field names. Taken once per reading, by the
// checker and the tolerant reader alike.
#pragma once

#include <cstdint>
#include <vector>

#include "format/layout.h"
#include "io/pager.h"

namespace engine {

inline constexpr uint32_t kNoOwner = 0xFFFFFFFFu;

struct PageCensus {
  std::vector<uint8_t> type;    // first byte of every page; page 0 (the header) 0
  std::vector<uint32_t> owner;  // owner field of data pages, kNoOwner for other pages
};

// Every page of the pager. `last_page_bytes`: how many bytes of the last
// page are the file's (a file cut inside a page is padded); a data page
// needs 8 for its owner field.
PageCensus TakeCensus(const Pager& pager, const Layout& layout, uint32_t last_page_bytes);

}  // namespace engine
