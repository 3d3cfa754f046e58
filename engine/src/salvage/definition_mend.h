// Table definitions that read but contradict themselves, set right before
// their rows are read: what a copy written from them would carry over and
// its own check would then report. Only what the definition itself shows is
// changed; an element that cannot be told is dropped, never guessed.
//
//   for (const DefinitionMend& m : MendDefinition(def, layout, text, calculated_allowed))
//     report(m);
//
// - a calculated-column flag in a file of a version without calculated
//   columns: cleared (the values are then read as the column's type);
// - a text column longer than a text column can be: the longest one (no
//   value is cut);
// - a fixed column of a type of known size declared another length: that
//   size, which it is read as;
// - an index's column slots used after an unused one: the columns end at
//   the first unused slot;
// - an index column's order flag other than 0 or 1: 1, ascending, as it is
//   read;
// - a logical index naming a physical index the table does not have: given
//   the one physical index it can only have meant (the only one, or the only
//   one no other logical index uses), else dropped;
// - the long-value map list: entries naming a column that holds no long
//   values, or one named before, dropped; a memo/OLE column without an entry
//   gains one (its map pointers empty: a compaction writes them).
#pragma once

#include <string>
#include <vector>

#include "format/layout.h"
#include "format/table_def.h"
#include "format/text.h"

namespace engine {

struct DefinitionMend {
  std::string element;       // the column or index concerned, by name
  std::string reason;        // what was wrong and what was done
  std::vector<uint8_t> raw;  // the element's bytes as found
};

// Mends `def` in place; when anything changed, its raw bytes are encoded
// afresh (EncodeTableDef) and decoded again, so every field and offset
// agrees with them. Its pages and per-page fields stay as read. An encoding
// or decoding that fails leaves `def` as it was and returns nothing.
std::vector<DefinitionMend> MendDefinition(TableDef& def, const Layout& layout,
                                           const TextCodec& text, bool calculated_allowed);

}  // namespace engine
