// Text index keys: code tables and the two "General" algorithms.
//
// Each character of a text value maps to a code entry of one kind; how a key
// is assembled from the entries is spelled out in index_key_text.cpp. The
// compiled-in tables are generated from the corpus (src/generated/); the
// generator itself builds candidate tables of the same shape and runs them
// through these functions, so the encoder and the generator cannot disagree
// about the algorithm.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "keys/index_key.h"

namespace engine::index_text {

enum class CodeKind : uint8_t {
  kSimple,             // inline bytes only
  kInternational,      // inline bytes and an accent code
  kUnprintable,        // Jet 4: no inline bytes, a record in the unprintable part
  kModifier,           // Jet 4: no inline bytes, adds to the previous accent code
  kInternationalFlag,  // Jet 4: inline bytes, optional accent code, a flag code
  kIgnored,            // contributes nothing
};

// Jet 3: how many accent placeholders a character stands for is not always
// visible in the keys; this value marks it as unknown.
inline constexpr uint8_t kWeightUnknown = 0xFF;

struct TextCode {
  uint16_t ch = 0;  // Jet 3: byte value in the code page; Jet 4: UCS-2 unit
  CodeKind kind = CodeKind::kIgnored;
  // Jet 3 simple characters: accent placeholders the character stands for
  // (0 for punctuation, 1 for a letter, 2 for a ligature such as "ss").
  uint8_t weight = 0;
  uint8_t inline_len = 0;
  std::array<uint8_t, 6> inline_bytes{};
  // International kinds: the accent code(s); Jet 3 uses the low nibble of the
  // first. Unprintable: the record bytes. Modifier: the added value.
  uint8_t extra_len = 0;
  std::array<uint8_t, 4> extra{};
  uint8_t flag = 0;  // kInternationalFlag: 2 or 3

  // Builds an entry; throws std::length_error when the bytes do not fit.
  static TextCode Make(uint16_t ch, CodeKind kind, std::span<const uint8_t> inl,
                       std::span<const uint8_t> extra = {}, uint8_t weight = 0, uint8_t flag = 0);

  std::span<const uint8_t> inline_span() const { return {inline_bytes.data(), inline_len}; }
  std::span<const uint8_t> extra_span() const { return {extra.data(), extra_len}; }
};

// A table: entries sorted by `ch`, at most one per character.
using CodeTable = std::span<const TextCode>;

const TextCode* FindCode(CodeTable table, uint16_t ch);

// The compiled-in tables (generated).
CodeTable Jet3GeneralCodes();
CodeTable Jet4GeneralLegacyCodes();
// Sort order "General" of Access 2010 and later (ACE columns with sort-order
// version 1): the same algorithm as legacy, other codes.
CodeTable Jet4General2010Codes();

// Result of encoding one text value: the segment bytes after the flag byte,
// or the character that has no usable code.
struct TextOutcome {
  bool ok = false;
  std::vector<uint8_t> bytes;
  uint16_t missing = 0;         // the character without a code
  bool weight_unknown = false;  // Jet 3: the code exists but its weight matters and is unknown
};

// `chars` are the code-page bytes (Jet 3) or UCS-2 units (Jet 4) of the value
// after the common preparation (first 255 characters, trailing spaces removed).
TextOutcome EncodeJet3Text(CodeTable table, std::span<const uint16_t> chars, bool ascending);
TextOutcome EncodeJet4Text(CodeTable table, std::span<const uint16_t> chars, bool ascending);

// The same, appending the segment bytes to `out`: the key builders' path,
// which allocates nothing for text whose characters all have simple codes.
// On false `out` is as it was and `miss` names the character.
struct TextMiss {
  uint16_t ch = 0;
  bool weight_unknown = false;
};
bool AppendJet3Text(CodeTable table, std::span<const uint16_t> chars, bool ascending,
                    std::vector<uint8_t>& out, TextMiss& miss);
bool AppendJet4Text(CodeTable table, std::span<const uint16_t> chars, bool ascending,
                    std::vector<uint8_t>& out, TextMiss& miss);

// The key encoder with explicit tables instead of the compiled-in ones.
struct TextTables {
  CodeTable jet3;
  CodeTable jet4;       // General legacy (version 0)
  CodeTable jet4_2010;  // General of 2010 (version 1)
};
EncodedKey EncodeKeySegmentWith(const TextTables& tables, const KeyColumn& column,
                                const KeyValue& value);
EncodedKey EncodeIndexKeyWith(const TextTables& tables, std::span<const KeyColumn> columns,
                              std::span<const KeyValue> values);

// Appends one segment (flag byte and value) to `out`. Anything but kEncoded
// leaves `out` as it was and says why in `reason`.
// `missing`, when given, receives the character a text value lacks a code
// for (see EncodedKey::missing).
KeyStatus AppendKeySegmentWith(const TextTables& tables, const KeyColumn& column,
                               const KeyValue& value, std::vector<uint8_t>& out,
                               std::string& reason, int32_t* missing = nullptr);
// The same with the compiled-in tables.
KeyStatus AppendKeySegment(const KeyColumn& column, const KeyValue& value,
                           std::vector<uint8_t>& out, std::string& reason);

// The characters of a text value as the text algorithms see them, before
// preparation: Jet 3 bytes, Jet 4 UCS-2 units (odd trailing byte ignored).
std::vector<uint16_t> TextChars(KeyFormat format, std::span<const uint8_t> bytes);

// The common preparation: keep the first 255 characters, drop trailing spaces.
std::vector<uint16_t> PrepareText(std::vector<uint16_t> chars);

}  // namespace engine::index_text

namespace engine {

struct ExtraTextCodes {
  // One sort order's table: for the General orders the compiled-in codes
  // with the learned ones added; for any other order what was learned from
  // its keys, used with the General algorithm of the format.
  struct Order {
    KeyFormat format = KeyFormat::kJet4;
    uint16_t sort_order = kGeneralSortOrder;
    uint8_t version = 0;                      // Jet 4 sort-order version
    uint16_t code_page = 1252;                // Jet 3
    std::vector<index_text::TextCode> table;  // sorted by character
  };
  std::vector<Order> orders;

  const Order* Find(const KeyColumn& column) const;
};

}  // namespace engine
