// Index key segments for every indexable column type.
//
// Numbers are written big-endian so that byte order is numeric order:
// integers with the sign bit inverted, floating-point values with the sign bit
// inverted when positive and every bit inverted when negative. Binary data is
// cut into 8-byte groups, each followed by 0x09 when more data follows, the
// last one zero-padded and followed by its real length. Descending columns
// complement the value bytes (binary keeps its 0x09 markers; text and decimal
// have their own rules).
#include "keys/index_key.h"

#include <algorithm>
#include <cstdio>

#include "base/unicode.h"
#include "keys/index_key_text.h"

namespace engine {

namespace {

constexpr uint8_t kAscValue = 0x7F;
constexpr uint8_t kAscNull = 0x00;
constexpr uint8_t kDescValue = 0x80;
constexpr uint8_t kDescNull = 0xFF;

std::string Hex(uint32_t v, int digits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*X", digits, v);
  return buf;
}

EncodedKey Invalid(std::string reason) {
  return EncodedKey{KeyStatus::kInvalidValue, {}, std::move(reason)};
}

void ComplementFrom(std::vector<uint8_t>& out, size_t from) {
  for (size_t i = from; i < out.size(); ++i) out[i] = static_cast<uint8_t>(~out[i]);
}

// Little-endian stored integer -> big-endian with the sign bit inverted.
void PutSignedInteger(std::vector<uint8_t>& out, std::span<const uint8_t> le) {
  const size_t start = out.size();
  for (size_t i = le.size(); i-- > 0;) out.push_back(le[i]);
  out[start] ^= 0x80;
}

void PutFloat(std::vector<uint8_t>& out, std::span<const uint8_t> le) {
  const size_t start = out.size();
  for (size_t i = le.size(); i-- > 0;) out.push_back(le[i]);
  if (out[start] & 0x80) {
    ComplementFrom(out, start);
  } else {
    out[start] ^= 0x80;
  }
}

void PutBinary(std::vector<uint8_t>& out, std::span<const uint8_t> data, bool ascending) {
  constexpr size_t kGroup = 8;
  size_t i = 0;
  while (data.size() - i > kGroup) {
    for (size_t j = 0; j < kGroup; ++j) {
      out.push_back(ascending ? data[i + j] : static_cast<uint8_t>(~data[i + j]));
    }
    out.push_back(0x09);
    i += kGroup;
  }
  if (i == data.size()) return;  // empty value: nothing after the flag byte
  const size_t left = data.size() - i;
  for (size_t j = 0; j < kGroup; ++j) {
    uint8_t b = j < left ? data[i + j] : 0;
    out.push_back(ascending ? b : static_cast<uint8_t>(~b));
  }
  const auto count = static_cast<uint8_t>(left);
  out.push_back(ascending ? count : static_cast<uint8_t>(~count));
}

// Decimal: sign byte, then the 128-bit magnitude as four little-endian
// 32-bit words, most significant word first.
void PutDecimal(std::vector<uint8_t>& out, std::span<const uint8_t> stored, bool ascending) {
  std::array<uint8_t, 17> v{};
  v[0] = stored[0];
  bool zero = true;
  for (size_t w = 0; w < 4; ++w) {
    for (size_t b = 0; b < 4; ++b) {
      uint8_t byte = stored[1 + w * 4 + (3 - b)];
      v[1 + w * 4 + b] = byte;
      if (byte != 0) zero = false;
    }
  }
  const bool negative = (stored[0] & 0x80) != 0 && !zero;
  // Access orders descending decimals by complementing the non-negative ones
  // only; the result is its own (odd) order, reproduced as is.
  const bool complement = ascending ? negative : !negative;
  if (complement) {
    for (auto& b : v) b = static_cast<uint8_t>(~b);
  }
  v[0] = negative ? 0x00 : 0xFF;
  for (uint8_t b : v) out.push_back(b);
}

size_t FixedSize(uint8_t type) {
  switch (type) {
    case key_type::kByte:
      return 1;
    case key_type::kInteger:
      return 2;
    case key_type::kLong:
    case key_type::kSingle:
    case key_type::kComplex:
      return 4;
    case key_type::kBigInt:
    case key_type::kCurrency:
    case key_type::kDouble:
    case key_type::kDateTime:
      return 8;
    case key_type::kGuid:
      return 16;
    case key_type::kDecimal:
      return 17;
    default:
      return 0;
  }
}

const char* TypeName(uint8_t type) {
  switch (type) {
    case key_type::kBoolean:
      return "Boolean";
    case key_type::kByte:
      return "Byte";
    case key_type::kInteger:
      return "Integer";
    case key_type::kLong:
      return "Long";
    case key_type::kCurrency:
      return "Currency";
    case key_type::kSingle:
      return "Single";
    case key_type::kDouble:
      return "Double";
    case key_type::kDateTime:
      return "Date/Time";
    case key_type::kBinary:
      return "Binary";
    case key_type::kText:
      return "Text";
    case key_type::kOle:
      return "OLE Object";
    case key_type::kMemo:
      return "Memo";
    case key_type::kGuid:
      return "GUID";
    case key_type::kDecimal:
      return "Decimal";
    case key_type::kComplex:
      return "complex";
    case key_type::kBigInt:
      return "BigInt";
    default:
      return "unknown";
  }
}

KeyStatus AppendText(const index_text::TextTables& tables, const KeyColumn& column,
                     std::span<const uint8_t> bytes, std::vector<uint8_t>& out, std::string& reason,
                     int32_t& missing) {
  if (column.format == KeyFormat::kJet4 && bytes.size() % 2 != 0) {
    reason =
        "Jet 4 text of " + std::to_string(bytes.size()) + " bytes is not whole UCS-2 characters";
    return KeyStatus::kInvalidValue;
  }
  // The common preparation (first 255 characters, no trailing spaces) on a
  // fixed buffer.
  constexpr size_t kMaxIndexedChars = 255;
  std::array<uint16_t, kMaxIndexedChars> buffer;
  size_t n = 0;
  if (column.format == KeyFormat::kJet3) {
    n = std::min(bytes.size(), kMaxIndexedChars);
    for (size_t i = 0; i < n; ++i) buffer[i] = bytes[i];
  } else {
    n = std::min(bytes.size() / 2, kMaxIndexedChars);
    for (size_t i = 0; i < n; ++i) {
      buffer[i] = static_cast<uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
    }
  }
  while (n > 0 && buffer[n - 1] == 0x20) --n;
  const std::span<const uint16_t> chars(buffer.data(), n);
  if (!SortOrderCovered(column)) {
    reason = column.format == KeyFormat::kJet3
                 ? "no text codes for Jet 3 sort order 0x" + Hex(column.sort_order, 4) +
                       " with code page " + std::to_string(column.code_page) +
                       " (known: General 0x0409, code page 1252)"
                 : "no text codes for Jet 4 sort order 0x" + Hex(column.sort_order, 4) +
                       " version " + std::to_string(column.sort_order_version) +
                       " (known: General 0x0409 versions 0 and 1)";
    // Named by its first character: no character of it has a code.
    if (!chars.empty()) {
      missing = chars.front();
      reason += ", so none for character " + KeyCharacterName(column.format, chars.front());
    }
    return KeyStatus::kNotCovered;
  }
  index_text::TextMiss miss;
  if (column.format == KeyFormat::kJet3) {
    if (index_text::AppendJet3Text(tables.jet3, chars, column.ascending, out, miss)) {
      return KeyStatus::kEncoded;
    }
    reason = std::string(miss.weight_unknown ? "unknown accent weight of" : "unknown code for") +
             " character " + KeyCharacterName(column.format, miss.ch) +
             " in sort order 0x0409 (Jet 3 General)";
    missing = miss.ch;
    return KeyStatus::kNotCovered;
  }
  const bool general2010 = column.sort_order_version == kGeneral2010Version;
  if (index_text::AppendJet4Text(general2010 ? tables.jet4_2010 : tables.jet4, chars,
                                 column.ascending, out, miss)) {
    return KeyStatus::kEncoded;
  }
  reason = "unknown code for character " + KeyCharacterName(column.format, miss.ch) +
           " in sort order 0x" + Hex(column.sort_order, 4) +
           (general2010                              ? " (General of 2010)"
            : column.sort_order == kGeneralSortOrder ? " (Jet 4 General legacy)"
                                                     : " (keyed as Jet 4 General legacy)");
  missing = miss.ch;
  return KeyStatus::kNotCovered;
}

// Windows-1252 0x80-0x9F; 0 where the code page leaves the byte undefined.
constexpr uint16_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

// The character itself where it shows as one.
std::string Glyph(uint32_t cp) {
  if (cp <= 0x20 || cp == 0x7F || (cp >= 0x80 && cp < 0xA0) || cp == 0xAD ||
      (cp >= 0xD800 && cp < 0xE000)) {
    return "";
  }
  std::string out;
  AppendUtf8(cp, out);
  return out;
}

index_text::TextTables CompiledTables() {
  return {index_text::Jet3GeneralCodes(), index_text::Jet4GeneralLegacyCodes(),
          index_text::Jet4General2010Codes()};
}

}  // namespace

// Claimed only where the corpus's Access-written keys prove it
// (IndexKeyCorpus.SortOrdersThatKeyAsGeneral prints the tally):
//   0x0422 Ukrainian: 132 keys in two files, 9 Cyrillic letters among them,
//          every one the General key of its row.
// Orders whose corpus keys agree with General but hold only ASCII (0x0415,
// 0x0418, 0x041E, 0x0C0A) prove nothing about their letters and are not
// claimed; 0x0411, 0x0412, 0x041A, 0x041F and 0x0804 have keys that differ.
constexpr uint16_t kGeneralEquivalent[] = {0x0422};

std::span<const uint16_t> GeneralEquivalentSortOrders() {
  return kGeneralEquivalent;
}

bool KeysAsGeneral(const KeyColumn& c) {
  if (c.type != key_type::kText && c.type != key_type::kMemo) return false;
  if (c.format == KeyFormat::kJet3) {
    return c.sort_order == kGeneralSortOrder && c.code_page == 1252;
  }
  if (KeysAsGeneral2010(c)) return true;
  if (c.sort_order_version != kGeneralLegacyVersion) return false;
  return c.sort_order == kGeneralSortOrder ||
         std::find(std::begin(kGeneralEquivalent), std::end(kGeneralEquivalent), c.sort_order) !=
             std::end(kGeneralEquivalent);
}

bool KeysAsGeneral2010(const KeyColumn& c) {
  return (c.type == key_type::kText || c.type == key_type::kMemo) && c.format == KeyFormat::kJet4 &&
         c.sort_order == kGeneralSortOrder && c.sort_order_version == kGeneral2010Version;
}

bool SortOrderCovered(const KeyColumn& c) {
  if (c.type != key_type::kText && c.type != key_type::kMemo) return true;
  return KeysAsGeneral(c);
}

EncodedKey EncodeKeySegment(const KeyColumn& column, const KeyValue& value) {
  return index_text::EncodeKeySegmentWith(CompiledTables(), column, value);
}

EncodedKey EncodeKeySegment(const KeyColumn& column, const KeyValue& value,
                            const ExtraTextCodes* extra) {
  EncodedKey key = EncodeKeySegment(column, value);
  if (key.status != KeyStatus::kNotCovered || extra == nullptr) return key;
  if (column.type != key_type::kText && column.type != key_type::kMemo) return key;
  const ExtraTextCodes::Order* order = extra->Find(column);
  if (order == nullptr) return key;
  // The learned codes are the codes of this column's sort order, used with
  // the algorithm of the format's General order.
  KeyColumn general = column;
  general.sort_order = kGeneralSortOrder;
  general.sort_order_version = 0;
  general.code_page = 1252;
  index_text::TextTables tables = CompiledTables();
  (column.format == KeyFormat::kJet3 ? tables.jet3 : tables.jet4) = order->table;
  EncodedKey again = index_text::EncodeKeySegmentWith(tables, general, value);
  if (again.ok() || again.missing < 0 || SortOrderCovered(column)) return again;
  again.reason = "unknown code for character " +
                 KeyCharacterName(column.format, static_cast<uint16_t>(again.missing)) +
                 " in sort order 0x" + Hex(column.sort_order, 4) +
                 " (not in the built-in tables nor learned from this database's keys)";
  return again;
}

const ExtraTextCodes::Order* ExtraTextCodes::Find(const KeyColumn& column) const {
  for (const Order& o : orders) {
    if (o.format != column.format || o.sort_order != column.sort_order) continue;
    if (column.format == KeyFormat::kJet3 ? o.code_page == column.code_page
                                          : o.version == column.sort_order_version) {
      return &o;
    }
  }
  return nullptr;
}

std::string KeyCharacterName(KeyFormat format, uint16_t ch) {
  if (format == KeyFormat::kJet3) {
    const bool high = ch >= 0x80 && ch < 0xA0;
    const uint32_t cp = high ? kCp1252High[ch - 0x80] : ch;
    std::string out = "0x" + Hex(ch, 2) + " of code page 1252";
    if ((high && cp == 0) || ch > 0xFF) return out + " (undefined there)";
    std::string glyph = Glyph(cp);
    return out + " (U+" + Hex(cp, 4) + (glyph.empty() ? "" : " " + glyph) + ")";
  }
  std::string glyph = ch == 0x20 ? "space" : Glyph(ch);
  return "U+" + Hex(ch, 4) + (glyph.empty() ? "" : " (" + glyph + ")");
}

EncodedKey EncodeIndexKey(std::span<const KeyColumn> columns, std::span<const KeyValue> values) {
  return index_text::EncodeIndexKeyWith(CompiledTables(), columns, values);
}

EncodedKey index_text::EncodeKeySegmentWith(const TextTables& tables, const KeyColumn& column,
                                            const KeyValue& value) {
  EncodedKey key;
  key.status = AppendKeySegmentWith(tables, column, value, key.bytes, key.reason, &key.missing);
  return key;
}

KeyStatus index_text::AppendKeySegment(const KeyColumn& column, const KeyValue& value,
                                       std::vector<uint8_t>& out, std::string& reason) {
  return AppendKeySegmentWith(CompiledTables(), column, value, out, reason);
}

KeyStatus index_text::AppendKeySegmentWith(const TextTables& tables, const KeyColumn& column,
                                           const KeyValue& value, std::vector<uint8_t>& out,
                                           std::string& reason, int32_t* missing) {
  const bool asc = column.ascending;
  const uint8_t type = column.type;
  const size_t origin = out.size();
  auto refuse = [&](KeyStatus status, std::string why) {
    out.resize(origin);
    reason = std::move(why);
    return status;
  };

  if (type == key_type::kBoolean) {
    out.push_back(asc ? kAscValue : kDescValue);
    uint8_t b = value.boolean ? 0x00 : 0xFF;
    out.push_back(asc ? b : static_cast<uint8_t>(~b));
    return KeyStatus::kEncoded;
  }
  if (type == key_type::kOle) {
    return refuse(KeyStatus::kNotCovered, "OLE Object columns cannot be indexed");
  }
  if (type == key_type::kDecimal && column.format == KeyFormat::kJet3) {
    return refuse(KeyStatus::kInvalidValue, "Decimal columns do not exist in Jet 3 files");
  }
  // A null is its flag alone, whatever the column's type (ACE's extended
  // date/time keys included, whose values have no code here).
  if (value.is_null) {
    out.push_back(asc ? kAscNull : kDescNull);
    return KeyStatus::kEncoded;
  }
  const bool known = type == key_type::kBinary || type == key_type::kText ||
                     type == key_type::kMemo || FixedSize(type) != 0;
  if (!known)
    return refuse(KeyStatus::kNotCovered, "no key encoding for column type 0x" + Hex(type, 2));

  const size_t fixed = FixedSize(type);
  if (fixed != 0 && value.bytes.size() != fixed) {
    return refuse(KeyStatus::kInvalidValue, std::string(TypeName(type)) + " value of " +
                                                std::to_string(value.bytes.size()) +
                                                " bytes (expected " + std::to_string(fixed) + ")");
  }

  out.push_back(asc ? kAscValue : kDescValue);
  const size_t start = out.size();
  switch (type) {
    case key_type::kByte:
      out.push_back(value.bytes[0]);
      break;
    case key_type::kInteger:
    case key_type::kLong:
    case key_type::kCurrency:
    case key_type::kComplex:
    case key_type::kBigInt:
      PutSignedInteger(out, value.bytes);
      break;
    case key_type::kSingle:
    case key_type::kDouble:
    case key_type::kDateTime:
      PutFloat(out, value.bytes);
      break;
    case key_type::kGuid: {
      // The first three groups are stored little-endian; the key uses the
      // textual (big-endian) order.
      const auto& g = value.bytes;
      const std::array<uint8_t, 16> text_order{g[3],  g[2],  g[1],  g[0], g[5],  g[4],
                                               g[7],  g[6],  g[8],  g[9], g[10], g[11],
                                               g[12], g[13], g[14], g[15]};
      PutBinary(out, text_order, asc);
      return KeyStatus::kEncoded;
    }
    case key_type::kBinary:
      PutBinary(out, value.bytes, asc);
      return KeyStatus::kEncoded;
    case key_type::kDecimal:
      PutDecimal(out, value.bytes, asc);
      return KeyStatus::kEncoded;
    case key_type::kText:
    case key_type::kMemo: {
      std::string why;
      int32_t lacking = -1;
      const KeyStatus text = AppendText(tables, column, value.bytes, out, why, lacking);
      if (text != KeyStatus::kEncoded) {
        if (missing != nullptr) *missing = lacking;
        return refuse(text, std::move(why));
      }
      return KeyStatus::kEncoded;
    }
    default:
      break;
  }
  if (!asc) ComplementFrom(out, start);
  return KeyStatus::kEncoded;
}

EncodedKey index_text::EncodeIndexKeyWith(const TextTables& tables,
                                          std::span<const KeyColumn> columns,
                                          std::span<const KeyValue> values) {
  if (columns.size() != values.size()) {
    return Invalid("index of " + std::to_string(columns.size()) + " columns given " +
                   std::to_string(values.size()) + " values");
  }
  if (columns.empty()) return Invalid("index without columns");
  EncodedKey key;
  for (size_t i = 0; i < columns.size(); ++i) {
    std::string why;
    const KeyStatus status = AppendKeySegmentWith(tables, columns[i], values[i], key.bytes, why);
    if (status != KeyStatus::kEncoded) {
      return EncodedKey{status, {}, "column " + std::to_string(i + 1) + " of the index: " + why};
    }
  }
  return key;
}

KeyCodeCoverage IndexCodeCoverage() {
  KeyCodeCoverage c;
  for (const auto& code : index_text::Jet3GeneralCodes()) {
    ++c.jet3_known;
    if (code.kind == index_text::CodeKind::kSimple && code.weight == index_text::kWeightUnknown) {
      ++c.jet3_weight_unknown;
    }
  }
  c.jet4_known = static_cast<int>(index_text::Jet4GeneralLegacyCodes().size());
  c.jet4_2010_known = static_cast<int>(index_text::Jet4General2010Codes().size());
  return c;
}

}  // namespace engine
