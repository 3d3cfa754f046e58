// What is wrong with a table definition or a row, found once for both of
// its readers: the checker lists every finding as a problem, the tolerant
// reader drops a definition or row that has a finding it cannot read past.
//
//   for (const Finding& f : TableDefFindings(def, layout)) ...
//   if (auto why = FirstUnusable(RowFindings(def, layout, decoder, size))) drop(*why);
//
// The two readers weigh findings differently, so each finding says what it
// means to each:
// - code / message: the problem the checker reports (no code: not one it
//   reports, such as a definition without columns, which it reads anyway);
// - unusable: non-empty when values cannot be read with the definition or
//   from the row; the reason, in the words of a loss report (empty: a flaw
//   that reading does not trip over, such as a wrong free-space field);
// - breaks_layout: rows and index entries cannot be checked against the
//   definition.
// Findings come in the order the checker reports them; the first unusable
// one is the reason a definition or row is dropped.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "format/layout.h"
#include "format/row.h"
#include "format/table_def.h"

namespace engine {

struct Finding {
  const char* code = nullptr;
  std::string message;
  std::optional<uint32_t> page;  // a page other than the definition's first
  std::string index;             // the index concerned: its name, or "#n"
  std::string unusable;
  bool breaks_layout = false;
};
using Findings = std::vector<Finding>;

// The reason of the first unusable finding, or nothing.
std::optional<std::string> FirstUnusable(const Findings& findings);

// A decoded table definition beyond what decoding checks: length and page
// fields, counts, column numbers and variable indexes, types, lengths, fixed
// ranges, index columns and slots, logical indexes, the long-value map list.
// A column of a type no reader knows is unusable unless
// `unknown_types_as_bytes` (ACE files, whose later types the strict reader
// carries as plain bytes of the declared length).
Findings TableDefFindings(const TableDef& def, const Layout& layout,
                          bool unknown_types_as_bytes = false);

// The shape of a row RowDecoder took apart (`length` bytes): its column
// count, fixed area, variable offsets and trailer.
Findings RowFindings(const TableDef& def, const Layout& layout, const RowDecoder& decoder,
                     size_t length);

// One present field of a row: its size and form for the column's type; for a
// memo or OLE field its long-value header, and a reference's page within
// the file's `page_count` pages. Where the value's pages lie is not looked
// at.
Findings ValueFindings(const ColumnDef& column, const Layout& layout, const FieldRef& field,
                       uint32_t page_count);

}  // namespace engine
