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
#include "keys/index_key_text.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <stdexcept>
#include <tuple>

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

namespace {
const uint16_t* DenseSlots(CodeTable table);
}  // namespace

const TextCode* FindCode(CodeTable table, uint16_t ch) {
  if (const uint16_t* slot = DenseSlots(table)) {
    return slot[ch] == 0 ? nullptr : table.data() + (slot[ch] - 1);
  }
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

// Direct lookup for the compiled-in tables, which every key of a compaction
// goes through: position + 1 of each character's entry, 0 for none.
struct DenseCodes {
  const TextCode* data = nullptr;
  size_t size = 0;
  std::vector<uint16_t> slot;
};

DenseCodes MakeDense(CodeTable table) {
  DenseCodes d;
  d.data = table.data();
  d.size = table.size();
  if (table.size() >= 0xFFFF) return d;  // does not fit; binary search then
  d.slot.assign(0x10000, 0);
  for (size_t i = table.size(); i-- > 0;) d.slot[table[i].ch] = static_cast<uint16_t>(i + 1);
  return d;
}

// The dense slots of `table` when it is one of the compiled-in tables; null
// for any other (the generator's candidates, learned tables, tests).
const uint16_t* DenseSlots(CodeTable table) {
  static const DenseCodes jet3 = MakeDense(Jet3GeneralCodes());
  static const DenseCodes jet4 = MakeDense(Jet4GeneralLegacyCodes());
  static const DenseCodes jet4_2010 = MakeDense(Jet4General2010Codes());
  for (const DenseCodes* d : {&jet4, &jet4_2010, &jet3}) {
    if (d->data == table.data() && d->size == table.size() && !d->slot.empty()) {
      return d->slot.data();
    }
  }
  return nullptr;
}

// Resolves characters of one table: dense for the compiled-in tables,
// binary search for any other.
class CodeLookup {
 public:
  explicit CodeLookup(CodeTable table) : table_(table), slot_(DenseSlots(table)) {}
  const TextCode* operator()(uint16_t ch) const {
    if (slot_ == nullptr) return FindCode(table_, ch);
    const uint16_t s = slot_[ch];
    return s == 0 ? nullptr : table_.data() + (s - 1);
  }

 private:
  CodeTable table_;
  const uint16_t* slot_ = nullptr;
};

void ComplementFrom(std::vector<uint8_t>& bytes, size_t from) {
  for (size_t i = from; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(~bytes[i]);
}

void AppendSpan(std::vector<uint8_t>& out, std::span<const uint8_t> bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}

bool Miss(std::vector<uint8_t>& out, size_t start, TextMiss& miss, uint16_t ch,
          bool weight_unknown = false) {
  out.resize(start);
  miss.ch = ch;
  miss.weight_unknown = weight_unknown;
  return false;
}

TextOutcome Outcome(bool ok, std::vector<uint8_t> bytes, const TextMiss& miss) {
  TextOutcome result;
  result.ok = ok;
  if (ok) {
    result.bytes = std::move(bytes);
  } else {
    result.missing = miss.ch;
    result.weight_unknown = miss.weight_unknown;
  }
  return result;
}

}  // namespace

bool AppendJet3Text(CodeTable table, std::span<const uint16_t> chars, bool ascending,
                    std::vector<uint8_t>& out, TextMiss& miss) {
  const CodeLookup lookup(table);
  const size_t start = out.size();
  std::vector<uint8_t> nibbles;  // allocated only when an accent shows up
  bool has_nibbles = false;
  int weight = 0;
  // A character of unknown weight since the last international character:
  // fine unless another international character follows.
  std::optional<uint16_t> unknown_weight;

  for (uint16_t ch : chars) {
    const TextCode* code = lookup(ch);
    if (code == nullptr) return Miss(out, start, miss, ch);
    switch (code->kind) {
      case CodeKind::kIgnored:
        break;
      case CodeKind::kSimple:
        AppendSpan(out, code->inline_span());
        if (code->weight == kWeightUnknown) {
          if (!unknown_weight) unknown_weight = ch;
        } else {
          weight += code->weight;
        }
        break;
      case CodeKind::kInternational: {
        if (unknown_weight) return Miss(out, start, miss, *unknown_weight, true);
        if (code->extra_len == 0) return Miss(out, start, miss, ch);
        AppendSpan(out, code->inline_span());
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
        return Miss(out, start, miss, ch);
    }
  }

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
  if (!ascending) ComplementFrom(out, start);
  return true;
}

TextOutcome EncodeJet3Text(CodeTable table, std::span<const uint16_t> chars, bool ascending) {
  std::vector<uint8_t> bytes;
  TextMiss miss;
  const bool ok = AppendJet3Text(table, chars, ascending, bytes, miss);
  return Outcome(ok, std::move(bytes), miss);
}

bool AppendJet4Text(CodeTable table, std::span<const uint16_t> chars, bool ascending,
                    std::vector<uint8_t>& out, TextMiss& miss) {
  const CodeLookup lookup(table);
  const size_t start = out.size();
  // The parts after the inline bytes, in buffers kept from call to call
  // (one set per thread), so that spaces and punctuation allocate nothing.
  thread_local struct { std::vector<uint8_t> accents, records, flags; } parts;
  std::vector<uint8_t>& accents = parts.accents;
  std::vector<uint8_t>& records = parts.records;
  std::vector<uint8_t>& flags = parts.flags;
  accents.clear();
  records.clear();
  flags.clear();
  size_t accent_positions = 0;  // characters the accent list already covers
  bool accents_started = false;
  size_t modifier_prefix = 0;  // 1 when the list began with a modifier
  bool has_flags = false;
  size_t pos = 0;  // characters with inline bytes so far

  // Inline bytes go straight into room made for the longest possible
  // ones; each character's whole field is copied, its length kept.
  constexpr size_t kMaxInline = std::tuple_size_v<decltype(TextCode::inline_bytes)>;
  out.resize(start + chars.size() * kMaxInline);
  uint8_t* w = out.data() + start;
  for (uint16_t ch : chars) {
    const TextCode* code = lookup(ch);
    if (code == nullptr) return Miss(out, start, miss, ch);
    const CodeKind kind = code->kind;
    if (kind == CodeKind::kSimple) {
      std::memcpy(w, code->inline_bytes.data(), kMaxInline);
      w += code->inline_len;
      ++pos;
      continue;
    }
    const size_t here = pos;
    if (kind == CodeKind::kInternational || kind == CodeKind::kInternationalFlag) {
      std::memcpy(w, code->inline_bytes.data(), kMaxInline);
      w += code->inline_len;
      ++pos;
    }
    if (kind == CodeKind::kIgnored) continue;

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
        AppendSpan(accents, code->extra_span());
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
      AppendSpan(records, code->extra_span());
    }
    if (kind == CodeKind::kInternationalFlag) {
      flags.push_back(code->flag);
      has_flags = true;
    }
  }

  out.resize(static_cast<size_t>(w - out.data()));
  out.push_back(0x01);
  while (!accents.empty() && accents.back() <= 0x02) accents.pop_back();
  const bool has_records = !records.empty();
  if (!accents.empty() || has_records || has_flags) {
    AppendSpan(out, accents);
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
        AppendSpan(out, records);
      }
    }
  }
  out.push_back(0x00);
  if (!ascending) {
    ComplementFrom(out, start);
    out.push_back(0x00);
  }
  return true;
}

TextOutcome EncodeJet4Text(CodeTable table, std::span<const uint16_t> chars, bool ascending) {
  std::vector<uint8_t> bytes;
  TextMiss miss;
  const bool ok = AppendJet4Text(table, chars, ascending, bytes, miss);
  return Outcome(ok, std::move(bytes), miss);
}

}  // namespace engine::index_text
