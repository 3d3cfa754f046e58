// Page 0's code page and sort order held against the table definitions:
// every text and memo column carries the sort order (Jet 3 also the code
// page) the database had when the column was made, so a page 0 that names
// values no such column holds was damaged. The checker reports what this
// finds; the tolerant reader restores page 0 by it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "format/header.h"
#include "format/layout.h"
#include "io/page_source.h"

namespace engine {

struct HeaderDisagreement {
  enum class Field : uint8_t { kCodePage, kSortOrder };
  Field field = Field::kCodePage;
  uint16_t stored = 0;   // what page 0 holds
  uint16_t shown = 0;    // what the columns hold
  uint32_t columns = 0;  // text columns holding `shown`
  uint32_t of = 0;       // text columns seen

  const char* name() const { return field == Field::kCodePage ? "code page" : "sort order"; }
  // "page 0 holds code page 1253, but 40 of the 40 text columns ... 1252".
  std::string Describe() const;
};

// The fields of `header` that no text column of the definitions on
// `page_types`' table-definition pages agrees with, where the columns agree
// with each other (more than half of them, at least two, on one value).
// Each definition chain is read once from its first page; unreadable ones
// are passed over (the checker reports those on their own).
std::vector<HeaderDisagreement> JudgeHeaderFields(const PageSource& pages, const Layout& layout,
                                                  const DatabaseHeader& header,
                                                  const std::vector<uint8_t>& page_types);

// Writes the shown values of `found` into `header` (its fields and the
// unmasked page), so that a copy made from it carries them.
void RestoreHeaderFields(DatabaseHeader& header, const std::vector<HeaderDisagreement>& found);

}  // namespace engine
