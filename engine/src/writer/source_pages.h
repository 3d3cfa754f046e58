// What the writer reads of the source database: its pages and their layout.
// Long values of key columns are read through them, and so are the source's
// own index entries where a key is reused. The writer knows nothing more of
// the source: no catalog, no Database.
#pragma once

#include "format/layout.h"
#include "io/pager.h"

namespace engine {

struct SourcePages {
  const Pager& pager;
  const Layout& layout;

  SourcePages(const Pager& p, const Layout& l) : pager(p), layout(l) {}
  // From anything that has its pages and layout (a Database, a Salvager).
  template <typename Source>
  SourcePages(const Source& source)  // NOLINT: a conversion on purpose
      : pager(source.pager()), layout(source.layout()) {}
};

}  // namespace engine
