// Codes of accented letters worked out from their base letter.
//
// In both General orders a Latin letter with one diacritic is an
// international character: its inline bytes are those of its base letter
// and its accent code depends on the diacritic alone (é, è, ê and ë carry
// the codes of e, as á, à, â, ä carry those of a, each with the accent code
// of its diacritic). StudyAccents checks this on a table and reads off the
// accent code of every diacritic whose letters all follow it; DeriveAccented
// then gives codes for letters the table lacks. A derived code is a
// hypothesis: CheckDerived holds it against stored keys, and a code that
// any key contradicts is not to be used.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "keys/index_key.h"
#include "keys/learn/index_key_infer.h"
#include "keys/index_key_text.h"

namespace engine::index_text {

// A letter as base letter (ASCII) and combining diacritic (U+0300-U+036F),
// from its canonical decomposition. Jet 3 characters are code-page 1252
// byte values.
struct AccentedLetter {
  uint16_t base = 0;
  uint16_t mark = 0;
};
std::optional<AccentedLetter> SplitAccent(KeyFormat format, uint16_t ch);

struct AccentStudy {
  std::map<uint16_t, uint8_t> accent;   // diacritic -> the accent code all its letters share
  std::set<uint16_t> broken;            // diacritics with a letter that breaks the rule
  size_t pairs = 0;                     // accented letters whose base letter is known too
  size_t fitting = 0;                   // of those, the ones that follow the rule
  std::vector<std::string> exceptions;  // the ones that do not, described
};

// Looks at every accented letter of `table` (sorted by character).
AccentStudy StudyAccents(KeyFormat format, CodeTable table);

// Codes for the characters of `wanted` that `table` lacks, where the base
// letter has a simple code in `table` and the diacritic an accent code in
// `study`. Sorted by character.
std::vector<TextCode> DeriveAccented(KeyFormat format, CodeTable table, const AccentStudy& study,
                                     std::span<const uint16_t> wanted);

// `table` and `more` together, sorted; where both have a character, the
// entry of `table` wins.
std::vector<TextCode> MergeCodes(CodeTable table, std::span<const TextCode> more);

struct DerivedCheck {
  std::map<uint16_t, size_t> confirmed;          // character -> keys it reproduced
  std::map<uint16_t, std::string> contradicted;  // character -> the key it missed
};

// Encodes every observation holding a derived character with `table` and
// `derived` together. A key that comes out as stored confirms each derived
// character in it; one that does not contradicts them all. Keys with a
// character neither knows say nothing.
DerivedCheck CheckDerived(KeyFormat format, CodeTable table, std::span<const TextCode> derived,
                          std::span<const Observation> observations);

// Jet 3 control characters (0x00-0x1F) the table lacks, given the code that
// all but at most two of the known ones share: Jet 3 General sorts the
// control characters as one (the tab, coded like the space, is the one
// exception the corpus shows). Empty when the known ones do not agree so.
// A hypothesis like the accented letters: CheckDerived holds it against
// stored keys.
std::vector<TextCode> DeriveJet3Controls(CodeTable table);

// `table` with the derived control characters that no key of `keys`
// contradicts; `check` tells which keys confirmed or contradicted them.
struct DerivedCodes {
  std::vector<TextCode> table;
  DerivedCheck check;
};
DerivedCodes AddJet3Controls(CodeTable table, std::span<const Observation> keys);

// Codes learned from keys another engine wrote, held against Access's own
// (`access`, learned from `access_keys`): characters Access's keys leave open
// are added, unless with them an Access-written key comes out otherwise (a
// mismatched key drops every added character in it, then the check runs
// again); where both have a code and they differ, Access's stays.
struct OtherWriterCodes {
  std::vector<TextCode> table;  // `access` with the added codes, sorted
  size_t offered = 0;           // codes the other writer's keys gave
  size_t same = 0;              // of those, the same as Access's
  size_t added = 0;
  std::vector<std::string> disagreements;  // each described, for the report
};
OtherWriterCodes AddOtherWriterCodes(KeyFormat format, CodeTable access, CodeTable other,
                                     std::span<const Observation> access_keys);

}  // namespace engine::index_text
