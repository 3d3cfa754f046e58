#include "keys/packed_codes.h"

#include <algorithm>
#include <stdexcept>

namespace engine::index_text {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr uint8_t kMaxStep = 0xBF;
constexpr uint8_t kRun = 0xC0;  // + run length - 2
constexpr size_t kMaxRun = 63;
constexpr uint8_t kNewField = 0xFE;
constexpr uint8_t kFull = 0xFF;

// The field a step raises: inline bytes where the entry has them.
uint8_t* VaryingField(TextCode& c, size_t& len) {
  if (c.inline_len > 0) {
    len = c.inline_len;
    return c.inline_bytes.data();
  }
  len = c.extra_len;
  return c.extra.data();
}

bool SameShape(const TextCode& a, const TextCode& b) {
  return a.kind == b.kind && a.weight == b.weight && a.flag == b.flag &&
         a.inline_len == b.inline_len && a.extra_len == b.extra_len &&
         (a.inline_len == 0 || a.extra_span().size() == 0 ||
          std::equal(a.extra_span().begin(), a.extra_span().end(), b.extra_span().begin()));
}

// `b` is `a` moved to character `ch`.
bool SameCode(const TextCode& a, const TextCode& b, uint32_t ch) {
  TextCode moved = a;
  moved.ch = static_cast<uint16_t>(ch);
  return SameShape(moved, b) && moved.inline_bytes == b.inline_bytes && moved.extra == b.extra &&
         b.ch == ch;
}

std::string ToLetters(const std::vector<uint8_t>& bytes) {
  std::string out;
  out.reserve((bytes.size() * 4 + 2) / 3);
  uint32_t acc = 0;
  int bits = 0;
  for (uint8_t b : bytes) {
    acc = (acc << 8) | b;
    bits += 8;
    while (bits >= 6) {
      bits -= 6;
      out.push_back(kAlphabet[(acc >> bits) & 0x3F]);
    }
  }
  if (bits > 0) out.push_back(kAlphabet[(acc << (6 - bits)) & 0x3F]);
  return out;
}

std::vector<uint8_t> FromLetters(std::string_view text) {
  std::vector<uint8_t> out;
  out.reserve(text.size() * 3 / 4);
  uint32_t acc = 0;
  int bits = 0;
  for (char ch : text) {
    int v = -1;
    if (ch >= 'A' && ch <= 'Z') v = ch - 'A';
    if (ch >= 'a' && ch <= 'z') v = ch - 'a' + 26;
    if (ch >= '0' && ch <= '9') v = ch - '0' + 52;
    if (ch == '+') v = 62;
    if (ch == '/') v = 63;
    if (v < 0) throw std::invalid_argument("packed code table: a letter outside the alphabet");
    acc = (acc << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<uint8_t>(acc >> bits));
    }
  }
  return out;
}

}  // namespace

std::string PackCodes(CodeTable table) {
  std::vector<uint8_t> bytes;
  const TextCode* prev = nullptr;
  for (size_t i = 0; i < table.size(); ++i) {
    const TextCode& c = table[i];
    if (prev != nullptr && c.ch == prev->ch + 1 && SameShape(*prev, c)) {
      TextCode a = *prev;
      TextCode b = c;
      size_t la = 0, lb = 0;
      const uint8_t* fa = VaryingField(a, la);
      const uint8_t* fb = VaryingField(b, lb);
      const bool same_prefix = la == 0 || std::equal(fa, fa + la - 1, fb);
      const int step = la == 0 ? 0 : fb[la - 1] - fa[la - 1];
      if (same_prefix && step == 0) {
        // A run of entries that differ from the one before only by character.
        size_t n = 1;
        while (n < kMaxRun && i + n < table.size() && table[i + n].ch == c.ch + n &&
               SameCode(c, table[i + n], static_cast<uint32_t>(c.ch + n))) {
          ++n;
        }
        if (n >= 2) {
          bytes.push_back(static_cast<uint8_t>(kRun + n - 2));
          i += n - 1;
          prev = &table[i];
          continue;
        }
      }
      if (same_prefix && step >= 0 && step <= kMaxStep) {
        bytes.push_back(static_cast<uint8_t>(step));
        prev = &c;
        continue;
      }
      if (la > 0) {
        bytes.push_back(kNewField);
        bytes.insert(bytes.end(), fb, fb + lb);
        prev = &c;
        continue;
      }
    }
    bytes.push_back(kFull);
    bytes.push_back(static_cast<uint8_t>(c.ch >> 8));
    bytes.push_back(static_cast<uint8_t>(c.ch));
    bytes.push_back(static_cast<uint8_t>(c.kind));
    bytes.push_back(c.weight);
    bytes.push_back(c.flag);
    bytes.push_back(c.inline_len);
    bytes.insert(bytes.end(), c.inline_span().begin(), c.inline_span().end());
    bytes.push_back(c.extra_len);
    bytes.insert(bytes.end(), c.extra_span().begin(), c.extra_span().end());
    prev = &c;
  }
  return ToLetters(bytes);
}

std::vector<TextCode> UnpackCodes(std::string_view packed) {
  const std::vector<uint8_t> bytes = FromLetters(packed);
  std::vector<TextCode> table;
  size_t at = 0;
  auto next = [&]() -> uint8_t {
    if (at >= bytes.size()) throw std::invalid_argument("packed code table: a record cut short");
    return bytes[at++];
  };
  auto field = [&](std::span<uint8_t> into, uint8_t len) {
    if (len > into.size()) {
      throw std::invalid_argument("packed code table: a field longer than an entry holds");
    }
    for (uint8_t i = 0; i < len; ++i) into[i] = next();
  };
  // The letters carry whole bytes only; bits left over at the end are padding.
  while (at < bytes.size()) {
    const uint8_t op = next();
    TextCode c;
    if (op == kFull) {
      c.ch = static_cast<uint16_t>(next() << 8);
      c.ch = static_cast<uint16_t>(c.ch | next());
      const uint8_t kind = next();
      if (kind > static_cast<uint8_t>(CodeKind::kIgnored)) {
        throw std::invalid_argument("packed code table: an unknown kind of entry");
      }
      c.kind = static_cast<CodeKind>(kind);
      c.weight = next();
      c.flag = next();
      c.inline_len = next();
      field(c.inline_bytes, c.inline_len);
      c.extra_len = next();
      field(c.extra, c.extra_len);
      if (!table.empty() && c.ch <= table.back().ch) {
        throw std::invalid_argument("packed code table: characters out of order");
      }
    } else {
      if (table.empty() || table.back().ch == 0xFFFF) {
        throw std::invalid_argument("packed code table: a step without an entry before it");
      }
      c = table.back();
      ++c.ch;
      size_t len = 0;
      uint8_t* f = VaryingField(c, len);
      if (op == kNewField) {
        for (size_t i = 0; i < len; ++i) f[i] = next();
      } else if (op >= kRun) {
        const size_t n = op - kRun + 2;
        if (c.ch + n - 1 > 0xFFFF) {
          throw std::invalid_argument("packed code table: a run past the last character");
        }
        for (size_t i = 1; i < n; ++i) {
          table.push_back(c);
          ++c.ch;
        }
      } else {
        if ((len == 0 && op != 0) || (len > 0 && f[len - 1] + op > 0xFF)) {
          throw std::invalid_argument("packed code table: a step past the end of a byte");
        }
        if (len > 0) f[len - 1] = static_cast<uint8_t>(f[len - 1] + op);
      }
    }
    table.push_back(c);
  }
  return table;
}

}  // namespace engine::index_text
