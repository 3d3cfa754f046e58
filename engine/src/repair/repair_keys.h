// Text codes for the keys a repair must encode, learned from the damaged
// file's own index entries.
//
// The built-in code tables do not know every character. Where a kept row
// holds one in an indexed text column and its index entry is gone, the key
// can only come from a code learned elsewhere in the file: intact leaf
// entries (pages that decode, owned by the table, reached from the index's
// root or along the leaf chain) pointing at kept rows are the observations.
// Codes are learned from them with the built-in tables taken as given; each
// learned code reproduces every observed key that holds it. Accented letters
// still without a code get one from their base letter and the accent code
// of their diacritic (index_key_derive.h) where the known letters follow
// that rule; a derived code that any observed key contradicts is dropped.
// Jet 3 letters whose accent weight the built-in table leaves open get one
// placeholder per inline code that is the code of a letter carrying accents
// in the table (a, e, s: one; b, k, z: none; ß: two), kept where the keys
// in which the weight matters come out as stored and none comes out
// otherwise. A sort order without built-in codes takes the General codes its
// own keys confirm. Everything is also measured on held-out keys: worked
// out from half the observations, checked on the other half.
#pragma once

#include <memory>

#include "reader/database.h"
#include "keys/index_key.h"
#include "engine/repair.h"
#include "keys/index_key_text.h"

namespace engine {

struct LearnedKeyCodes {
  std::shared_ptr<const ExtraTextCodes> codes;  // null when nothing was missing or learned
  KeyCodeLearning stats;
};

// Never fails: what cannot be read is left out of the learning.
LearnedKeyCodes LearnKeyCodes(const Database& db);
// The same with other tables in place of the built-in ones (to see what
// learning gives back of a character taken out of them).
LearnedKeyCodes LearnKeyCodes(const Database& db, const index_text::TextTables& known);

}  // namespace engine
