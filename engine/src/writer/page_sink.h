// Where the writer puts the pages of a fresh database file.
//
// A fresh file is written append-only: pages are numbered by a counter in the
// order they are allocated, and each is written once (page 0 and the global
// usage map last). The sink encrypts pages when the database is encoded, as
// the pager decrypts them when reading, so builders only ever see plain pages.
#pragma once

#include <cstdint>

#include "engine/error.h"
#include "format/layout.h"
#include "io/pager.h"
#include "format/data_page.h"

namespace engine {

class PageSink {
 public:
  virtual ~PageSink() = default;

  virtual const Layout& layout() const = 0;
  uint32_t page_size() const { return layout().page_size; }

  // The number of the next page, counted from 0; the caller must write it.
  virtual uint32_t AllocatePage() = 0;

  // Writes one whole page (exactly page_size bytes) at a page number that
  // AllocatePage handed out. Errors: 3026 disk full, 3043 other I/O.
  virtual Status WritePage(uint32_t number, ByteSpan bytes) = 0;
};

}  // namespace engine
