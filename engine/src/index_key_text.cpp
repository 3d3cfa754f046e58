// Text index keys in the "General" sort order.
//
// Jet 3 (order "97") looks characters up by their byte in the code page:
//   simple         inline bytes; a letter also counts towards the accent
//                  placeholders (its weight: 1, or 2 for a ligature)
//   international  inline bytes, then in the accent nibble list: a 0 nibble if
//                  the list is new, one 2 nibble per weight counted since the
//                  previous international character, the accent nibble
//   ignored        nothing
// The segment is the inline bytes followed by either the nibble list closed
// by a 0 nibble and packed two per byte (high first, padded with 0), or a
// single 0x00 when no character had an accent. Descending complements it.
//
// Jet 4 ("legacy" General) looks characters up by UCS-2 unit and builds four
// parts: inline bytes, accent codes, unprintable records and flag codes.
//   simple         inline bytes
//   international  inline bytes; its accent code goes to the accent list at
//                  the character's position (earlier characters with inline
//                  bytes and no accent are filled with 0x02 first)
//   flag kind      as international (the accent may be absent), plus a flag
//   unprintable    no inline bytes; a record: big-endian 0x8000 | (7 + 4 q),
//                  0x06, the character's record bytes, where q counts the
//                  positions before it as the accent list sees them
//   modifier       no inline bytes; adds its value to the last accent code
//   ignored        nothing
// Segment: inline bytes, 0x01, the accent list without trailing 0x00-0x02
// bytes, and, when there are records or flags, 0x01 0x01, the packed flags
// with their fixed suffix, and 0x01 followed by the records; then 0x00.
// Descending: 0x00 is appended, everything after the flag byte complemented,
// and another 0x00 appended.
#include "index_key_text.h"

#include <algorithm>
#include <iterator>
#include <stdexcept>

namespace engine::index_text {

TextCode TextCode::Make(uint16_t ch, CodeKind kind, std::span<const uint8_t> inl,
                        std::span<const uint8_t> extra, uint8_t weight, uint8_t flag) {
  TextCode c;
  if (inl.size() > c.inline_bytes.size() || extra.size() > c.extra.size()) {
    throw std::length_error("text code entry longer than its fields");
  }
  c.ch = ch;
  c.kind = kind;
  c.weight = weight;
  c.inline_len = static_cast<uint8_t>(inl.size());
  std::copy(inl.begin(), inl.end(), c.inline_bytes.begin());
  c.extra_len = static_cast<uint8_t>(extra.size());
  std::copy(extra.begin(), extra.end(), c.extra.begin());
  c.flag = flag;
  return c;
}

const TextCode* FindCode(CodeTable table, uint16_t ch) {
  auto it = std::lower_bound(table.begin(), table.end(), ch,
                             [](const TextCode& c, uint16_t v) { return c.ch < v; });
  if (it == table.end() || it->ch != ch) return nullptr;
  return &*it;
}

std::vector<uint16_t> TextChars(KeyFormat format, std::span<const uint8_t> bytes) {
  std::vector<uint16_t> chars;
  if (format == KeyFormat::kJet3) {
    chars.assign(bytes.begin(), bytes.end());
  } else {
    chars.reserve(bytes.size() / 2);
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
      chars.push_back(static_cast<uint16_t>(bytes[i] | bytes[i + 1] << 8));
    }
  }
  return chars;
}

std::vector<uint16_t> PrepareText(std::vector<uint16_t> chars) {
  constexpr size_t kMaxIndexedChars = 255;
  if (chars.size() > kMaxIndexedChars) chars.resize(kMaxIndexedChars);
  while (!chars.empty() && chars.back() == 0x20) chars.pop_back();
  return chars;
}

namespace {

void Complement(std::vector<uint8_t>& bytes) {
  for (auto& b : bytes) b = static_cast<uint8_t>(~b);
}

TextOutcome Missing(uint16_t ch, bool weight_unknown = false) {
  TextOutcome out;
  out.missing = ch;
  out.weight_unknown = weight_unknown;
  return out;
}

}  // namespace

TextOutcome EncodeJet3Text(CodeTable table, std::span<const uint16_t> chars, bool ascending) {
  std::vector<uint8_t> main;
  std::vector<uint8_t> nibbles;
  bool has_nibbles = false;
  int weight = 0;
  // A character of unknown weight since the last international character:
  // fine unless another international character follows.
  std::optional<uint16_t> unknown_weight;

  for (uint16_t ch : chars) {
    const TextCode* code = FindCode(table, ch);
    if (code == nullptr) return Missing(ch);
    switch (code->kind) {
      case CodeKind::kIgnored:
        break;
      case CodeKind::kSimple:
        main.insert(main.end(), code->inline_span().begin(), code->inline_span().end());
        if (code->weight == kWeightUnknown) {
          if (!unknown_weight) unknown_weight = ch;
        } else {
          weight += code->weight;
        }
        break;
      case CodeKind::kInternational: {
        if (unknown_weight) return Missing(*unknown_weight, true);
        if (code->extra_len == 0) return Missing(ch);
        main.insert(main.end(), code->inline_span().begin(), code->inline_span().end());
        if (!has_nibbles) {
          nibbles.push_back(0);
          has_nibbles = true;
        }
        nibbles.insert(nibbles.end(), static_cast<size_t>(weight), uint8_t{2});
        weight = 0;
        nibbles.push_back(code->extra[0] & 0x0F);
        break;
      }
      default:
        // The Jet 4 kinds have no meaning in a Jet 3 key.
        return Missing(ch);
    }
  }

  std::vector<uint8_t> out = std::move(main);
  if (has_nibbles) {
    nibbles.push_back(0);
    for (size_t i = 0; i < nibbles.size(); i += 2) {
      uint8_t hi = nibbles[i];
      uint8_t lo = i + 1 < nibbles.size() ? nibbles[i + 1] : 0;
      out.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
  } else {
    out.push_back(0x00);
  }
  if (!ascending) Complement(out);
  TextOutcome result;
  result.ok = true;
  result.bytes = std::move(out);
  return result;
}

TextOutcome EncodeJet4Text(CodeTable table, std::span<const uint16_t> chars, bool ascending) {
  std::vector<uint8_t> main;
  std::vector<uint8_t> accents;
  size_t accent_positions = 0;  // characters the accent list already covers
  bool accents_started = false;
  size_t modifier_prefix = 0;  // 1 when the list began with a modifier
  std::vector<uint8_t> records;
  std::vector<uint8_t> flags;
  bool has_flags = false;
  size_t pos = 0;  // characters with inline bytes so far

  for (uint16_t ch : chars) {
    const TextCode* code = FindCode(table, ch);
    if (code == nullptr) return Missing(ch);
    const size_t here = pos;
    const CodeKind kind = code->kind;
    if (kind == CodeKind::kSimple || kind == CodeKind::kInternational ||
        kind == CodeKind::kInternationalFlag) {
      main.insert(main.end(), code->inline_span().begin(), code->inline_span().end());
      ++pos;
    }
    if (kind == CodeKind::kSimple || kind == CodeKind::kIgnored) continue;

    const bool has_accent =
        (kind == CodeKind::kInternational || kind == CodeKind::kInternationalFlag) &&
        code->extra_len > 0;
    const bool is_modifier = kind == CodeKind::kModifier && code->extra_len > 0 && code->extra[0];
    if (has_accent || is_modifier) {
      accents_started = true;
      if (accent_positions < here) {
        accents.insert(accents.end(), here - accent_positions, uint8_t{0x02});
        accent_positions = here;
      }
      if (has_accent) {
        accents.insert(accents.end(), code->extra_span().begin(), code->extra_span().end());
        ++accent_positions;
      } else if (!accents.empty()) {
        accents.back() = static_cast<uint8_t>(accents.back() + code->extra[0]);
      } else {
        accents.push_back(code->extra[0]);
        modifier_prefix = 1;
      }
    }
    if (kind == CodeKind::kUnprintable) {
      size_t q = here;
      if (accents_started) q = accents.size() + (here - accent_positions) - modifier_prefix;
      const uint32_t offset = 0x8000u | static_cast<uint32_t>(7 + 4 * q);
      records.push_back(static_cast<uint8_t>(offset >> 8));
      records.push_back(static_cast<uint8_t>(offset));
      records.push_back(0x06);
      records.insert(records.end(), code->extra_span().begin(), code->extra_span().end());
    }
    if (kind == CodeKind::kInternationalFlag) {
      flags.push_back(code->flag);
      has_flags = true;
    }
  }

  std::vector<uint8_t> out = std::move(main);
  out.push_back(0x01);
  while (!accents.empty() && accents.back() <= 0x02) accents.pop_back();
  const bool has_records = !records.empty();
  if (!accents.empty() || has_records || has_flags) {
    out.insert(out.end(), accents.begin(), accents.end());
    if (has_records || has_flags) {
      out.push_back(0x01);
      out.push_back(0x01);
      if (has_flags) {
        while (!flags.empty() && flags.back() == 3) flags.pop_back();
        for (size_t i = 0; i < flags.size(); i += 3) {
          uint8_t b = 0x80;
          for (size_t j = 0; j < 3 && i + j < flags.size(); ++j) {
            b = static_cast<uint8_t>(b | (flags[i + j] & 0x03) << (4 - 2 * j));
          }
          out.push_back(b);
        }
        constexpr uint8_t kFlagSuffix[] = {0xFF, 0x02, 0x80, 0xFF, 0x80};
        out.insert(out.end(), std::begin(kFlagSuffix), std::end(kFlagSuffix));
        if (has_records) out.push_back(0xFF);
      }
      if (has_records) {
        out.push_back(0x01);
        out.insert(out.end(), records.begin(), records.end());
      }
    }
  }
  out.push_back(0x00);
  if (!ascending) {
    Complement(out);
    out.push_back(0x00);
  }
  TextOutcome result;
  result.ok = true;
  result.bytes = std::move(out);
  return result;
}

}  // namespace engine::index_text
