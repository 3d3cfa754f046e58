// Working out text code tables from index keys that Access wrote.
//
// Each observation is one index entry: the key columns, the values of the
// row it points to and the stored key bytes. A character's code is learned
// from observations in which it is the only character not yet known: every
// plausible code entry (each kind, with inline bytes cut from the key where
// the character's codes must sit) is tried by encoding the whole key with the
// real encoder, and the entries that reproduce the stored bytes survive.
// Entries surviving every observation of the character form its candidate
// set; a character is known when one entry is left (Jet 3: or when only the
// accent weight of a simple character remains open). Learning repeats until
// nothing new is found, so a character first seen next to unknown ones is
// learned once its neighbours are.
//
// Jet 4 keys made only of inline bytes ("plain": inline bytes, 0x01, 0x00)
// can hold only simple and ignored characters, since every other kind leaves
// bytes after the 0x01. For them all ways of cutting the inline bytes into
// one piece per character (the same piece for every occurrence of a
// character) are enumerated, so several unknown characters are learned from
// one key; a character's candidates are the pieces it gets in some cutting of
// every plain key it appears in. Keys with several unknown characters that
// are not plain are taken apart part by part (index_key_infer_joint.cpp).
//
// Assumptions, stated because the keys rarely show them: Jet 4 accent codes
// are never 0x00 or 0x01 (the assembled key drops trailing accent codes up to
// 0x02, the "no accent" filler, so such a code would be visible only before
// another accent), and a modifier never wraps an accent code past 0xFF
// (values 0xFE and 0xFF would turn the filler into 0x00 / 0x01). Candidates
// of those shapes are not tried.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "keys/index_key.h"
#include "keys/index_key_text.h"

namespace engine::index_text {

struct ObservedValue {
  bool is_null = false;
  bool boolean = false;
  std::vector<uint8_t> bytes;
};

struct Observation {
  std::vector<KeyColumn> columns;
  std::vector<ObservedValue> values;
  std::vector<uint8_t> key;  // stored key bytes (without the row pointer)
  std::string where;         // for reports: file, table, index, row
};

struct InferenceReport {
  size_t observations = 0;
  size_t matched = 0;      // reproduced exactly by the final table
  size_t not_covered = 0;  // contain a character the final table lacks
  struct Mismatch {
    std::string where;
    std::vector<uint8_t> expected;
    std::vector<uint8_t> encoded;
  };
  std::vector<Mismatch> mismatches;
  // Characters seen but left out, with why (ambiguous, contradicted, never
  // alone among unknown characters).
  std::map<uint16_t, std::string> unresolved;
};

class CodeInference {
 public:
  // Jet 4 learns one General order: `version` is the sort-order version of
  // its columns (kGeneralLegacyVersion or kGeneral2010Version).
  explicit CodeInference(KeyFormat format, uint8_t version = kGeneralLegacyVersion)
      : format_(format), version_(version) {}

  // Observations whose text columns are not in this General order are
  // ignored; so are keys without a text column.
  void Add(Observation observation);

  // Codes taken as given (the compiled-in table): learning starts from them,
  // and they are never withdrawn; a key that only they encode and that does
  // not come out as stored stays a mismatch. Call before Run.
  void Seed(CodeTable known);

  // Learns until nothing changes, then checks every observation against the
  // resulting table.
  InferenceReport Run();

  // The learned table, sorted by character (seeded codes included).
  std::vector<TextCode> Table() const;
  // The codes learned beyond the seeded ones.
  std::vector<TextCode> Learned() const;

 private:
  struct Prepared {
    Observation obs;
    std::vector<uint16_t> distinct;  // distinct characters of its text values
    // What its characters' candidate sets looked like when it was last
    // learned from; sets only shrink, so equal sizes mean nothing changed
    // and learning again would find nothing new.
    std::vector<size_t> seen;
  };
  std::vector<size_t> Signature(const Prepared& p) const;
  bool Learn(const Prepared& p);
  // The characters of `p` whose code is already settled go into `settled`;
  // returns how many are still open, or nullopt when one is contradicted.
  std::optional<size_t> SettledCodes(const Prepared& p,
                                     std::map<uint16_t, TextCode>& settled) const;
  bool LearnPlain(const Prepared& p);
  bool LearnJoint(const Prepared& p);  // index_key_infer_joint.cpp
  // The key's single text column and its segment after the flag byte, in
  // ascending form (a last column without the closing byte a descending
  // segment adds); false when that cannot be found with `settled`.
  bool LocateText(const Prepared& p, const std::map<uint16_t, TextCode>& settled, size_t& column,
                  std::vector<uint8_t>& segment) const;
  std::vector<TextCode> Hypotheses(const Prepared& p, uint16_t ch,
                                   const std::map<uint16_t, TextCode>& base) const;
  bool Matches(const Prepared& p, const std::map<uint16_t, TextCode>& codes) const;
  EncodedKey Encode(const Prepared& p, const std::map<uint16_t, TextCode>& codes) const;
  bool Usable(uint16_t ch) const;
  // Withdraws codes until every key the table encodes is reproduced.
  void WithdrawUnreproduced();
  std::optional<TextCode> Resolved(uint16_t ch) const;

  // The table of `tables` this inference learns.
  CodeTable& Slot(TextTables& tables) const;

  KeyFormat format_;
  uint8_t version_;
  std::vector<Prepared> observations_;
  std::map<uint16_t, std::vector<TextCode>> candidates_;
  std::map<uint16_t, std::string> contradicted_;
  std::set<uint16_t> seeded_;
};

// "(international 60/04)" and the like, for reports.
std::string Describe(const TextCode& code);

// Two code entries mean the same thing.
bool SameCode(const TextCode& a, const TextCode& b);

}  // namespace engine::index_text
