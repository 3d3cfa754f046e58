// Index key encoding: values of every type, directions, nulls, multi-column
// keys, and the two text algorithms driven by small hand-made code tables.
#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "keys/index_key.h"
#include "keys/index_key_text.h"

namespace engine {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes B(std::initializer_list<int> v) {
  Bytes out;
  for (int x : v) out.push_back(static_cast<uint8_t>(x));
  return out;
}

template <typename T>
Bytes Le(T v) {
  Bytes out(sizeof(T));
  std::memcpy(out.data(), &v, sizeof(T));
  return out;
}

KeyColumn Col(uint8_t type, bool ascending = true, KeyFormat format = KeyFormat::kJet4) {
  KeyColumn c;
  c.type = type;
  c.ascending = ascending;
  c.format = format;
  return c;
}

Bytes Encode(const KeyColumn& column, const Bytes& stored) {
  EncodedKey key = EncodeKeySegment(column, KeyValue::Bytes(stored));
  EXPECT_TRUE(key.ok()) << key.reason;
  return key.bytes;
}

TEST(IndexKeyNumbers, IntegersAreBigEndianWithTheSignBitInverted) {
  EXPECT_EQ(Encode(Col(key_type::kLong), Le<int32_t>(1)), B({0x7F, 0x80, 0, 0, 1}));
  EXPECT_EQ(Encode(Col(key_type::kLong), Le<int32_t>(-1)), B({0x7F, 0x7F, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(Encode(Col(key_type::kLong, false), Le<int32_t>(1)), B({0x80, 0x7F, 0xFF, 0xFF, 0xFE}));
  EXPECT_EQ(Encode(Col(key_type::kInteger), Le<int16_t>(-23)), B({0x7F, 0x7F, 0xE9}));
  EXPECT_EQ(Encode(Col(key_type::kByte), B({200})), B({0x7F, 200}));
  EXPECT_EQ(Encode(Col(key_type::kByte, false), B({200})), B({0x80, 0x37}));
  // Currency 1.0000 is stored as 10000.
  EXPECT_EQ(Encode(Col(key_type::kCurrency), Le<int64_t>(10000)),
            B({0x7F, 0x80, 0, 0, 0, 0, 0, 0x27, 0x10}));
}

TEST(IndexKeyNumbers, FloatsOrderNegativesBelowPositives) {
  EXPECT_EQ(Encode(Col(key_type::kDouble), Le<double>(0.5)),
            B({0x7F, 0xBF, 0xE0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Encode(Col(key_type::kDouble), Le<double>(-0.5)),
            B({0x7F, 0x40, 0x1F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(Encode(Col(key_type::kDouble, false), Le<double>(0.5)),
            B({0x80, 0x40, 0x1F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(Encode(Col(key_type::kSingle), Le<float>(1.0f)), B({0x7F, 0xBF, 0x80, 0, 0}));
  EXPECT_EQ(Encode(Col(key_type::kDateTime), Le<double>(0.0)),
            B({0x7F, 0x80, 0, 0, 0, 0, 0, 0, 0}));

  // Keys of ascending values compare in the same order, across signs.
  std::vector<double> values{-1e300, -2.5, -0.001, 0.0, 1e-10, 3.0, 7e200};
  for (bool asc : {true, false}) {
    for (size_t i = 0; i + 1 < values.size(); ++i) {
      Bytes a = Encode(Col(key_type::kDouble, asc), Le<double>(values[i]));
      Bytes b = Encode(Col(key_type::kDouble, asc), Le<double>(values[i + 1]));
      EXPECT_EQ(asc, a < b) << values[i] << " vs " << values[i + 1];
    }
  }
}

TEST(IndexKeyBinary, GroupsOfEightWithContinuationAndLengthBytes) {
  EXPECT_EQ(Encode(Col(key_type::kBinary), B({})), B({0x7F}));
  EXPECT_EQ(Encode(Col(key_type::kBinary), B({0xAB})), B({0x7F, 0xAB, 0, 0, 0, 0, 0, 0, 0, 1}));
  EXPECT_EQ(Encode(Col(key_type::kBinary), B({1, 2, 3, 4, 5, 6, 7, 8})),
            B({0x7F, 1, 2, 3, 4, 5, 6, 7, 8, 8}));
  EXPECT_EQ(Encode(Col(key_type::kBinary), B({1, 2, 3, 4, 5, 6, 7, 8, 9})),
            B({0x7F, 1, 2, 3, 4, 5, 6, 7, 8, 9, 9, 0, 0, 0, 0, 0, 0, 0, 1}));
  // Descending complements the data and length bytes, not the 0x09 markers.
  EXPECT_EQ(Encode(Col(key_type::kBinary, false), B({1, 2, 3, 4, 5, 6, 7, 8, 9})),
            B({0x80, 0xFE, 0xFD, 0xFC, 0xFB, 0xFA, 0xF9, 0xF8, 0xF7, 0x09, 0xF6, 0xFF, 0xFF, 0xFF,
               0xFF, 0xFF, 0xFF, 0xFF, 0xFE}));
}

TEST(IndexKeyBinary, GuidUsesTheTextualByteOrder) {
  // {01020304-0506-0708-090A-0B0C0D0E0F10} as stored.
  Bytes stored = B({4, 3, 2, 1, 6, 5, 8, 7, 9, 10, 11, 12, 13, 14, 15, 16});
  EXPECT_EQ(Encode(Col(key_type::kGuid), stored),
            B({0x7F, 1, 2, 3, 4, 5, 6, 7, 8, 9, 9, 10, 11, 12, 13, 14, 15, 16, 8}));
  EXPECT_EQ(Encode(Col(key_type::kGuid, false), stored),
            B({0x80, 0xFE, 0xFD, 0xFC, 0xFB, 0xFA, 0xF9, 0xF8, 0xF7, 0x09, 0xF6, 0xF5, 0xF4, 0xF3,
               0xF2, 0xF1, 0xF0, 0xEF, 0xF7}));
}

TEST(IndexKeyDecimal, SignAndDescendingFollowTheLegacyRules) {
  Bytes plus_one(17, 0);
  plus_one[13] = 1;  // last little-endian word = 1
  Bytes minus_one = plus_one;
  minus_one[0] = 0x80;
  Bytes asc_plus(18, 0), asc_minus(18, 0xFF), desc_plus(18, 0xFF), desc_minus(18, 0);
  asc_plus[0] = 0x7F, asc_plus[1] = 0xFF, asc_plus[17] = 0x01;
  asc_minus[0] = 0x7F, asc_minus[1] = 0x00, asc_minus[17] = 0xFE;
  desc_plus[0] = 0x80, desc_plus[17] = 0xFE;
  desc_minus[0] = 0x80, desc_minus[17] = 0x01;
  EXPECT_EQ(Encode(Col(key_type::kDecimal), plus_one), asc_plus);
  EXPECT_EQ(Encode(Col(key_type::kDecimal), minus_one), asc_minus);
  EXPECT_EQ(Encode(Col(key_type::kDecimal, false), plus_one), desc_plus);
  EXPECT_EQ(Encode(Col(key_type::kDecimal, false), minus_one), desc_minus);

  // Words are most significant first: 2^32 sorts above 1.
  Bytes big(17, 0);
  big[9] = 1;  // third word = 1
  EXPECT_GT(Encode(Col(key_type::kDecimal), big), Encode(Col(key_type::kDecimal), plus_one));
  // A negative zero is zero.
  Bytes minus_zero(17, 0);
  minus_zero[0] = 0x80;
  EXPECT_EQ(Encode(Col(key_type::kDecimal), minus_zero),
            Encode(Col(key_type::kDecimal), Bytes(17)));
}

TEST(IndexKeyColumns, BooleansNullsAndSeveralColumns) {
  auto seg = [](const KeyColumn& c, const KeyValue& v) { return EncodeKeySegment(c, v).bytes; };
  EXPECT_EQ(seg(Col(key_type::kBoolean), KeyValue::Bool(true)), B({0x7F, 0x00}));
  EXPECT_EQ(seg(Col(key_type::kBoolean), KeyValue::Bool(false)), B({0x7F, 0xFF}));
  EXPECT_EQ(seg(Col(key_type::kBoolean, false), KeyValue::Bool(true)), B({0x80, 0xFF}));
  EXPECT_EQ(seg(Col(key_type::kBoolean, false), KeyValue::Bool(false)), B({0x80, 0x00}));
  EXPECT_EQ(seg(Col(key_type::kLong), KeyValue::Null()), B({0x00}));
  EXPECT_EQ(seg(Col(key_type::kText, false), KeyValue::Null()), B({0xFF}));
  // A null is its flag whatever the type, ACE's extended date/time (0x14)
  // included, whose values have no code; OLE columns are not indexed at all.
  EXPECT_EQ(seg(Col(0x14), KeyValue::Null()), B({0x00}));
  EXPECT_EQ(seg(Col(0x14, false), KeyValue::Null()), B({0xFF}));
  EXPECT_EQ(EncodeKeySegment(Col(0x14), KeyValue::Bytes(Bytes(42))).status, KeyStatus::kNotCovered);
  EXPECT_EQ(EncodeKeySegment(Col(key_type::kOle), KeyValue::Null()).status, KeyStatus::kNotCovered);

  std::vector<KeyColumn> cols{Col(key_type::kLong), Col(key_type::kByte, false),
                              Col(key_type::kBinary)};
  Bytes one = Le<int32_t>(1), blob = B({5});
  std::vector<KeyValue> vals{KeyValue::Bytes(one), KeyValue::Null(), KeyValue::Bytes(blob)};
  EncodedKey key = EncodeIndexKey(cols, vals);
  ASSERT_TRUE(key.ok()) << key.reason;
  EXPECT_EQ(key.bytes, B({0x7F, 0x80, 0, 0, 1, 0xFF, 0x7F, 5, 0, 0, 0, 0, 0, 0, 0, 1}));
}

// Characters and orders the keys of the files stopped at: a NUL
// byte in Jet 3 text keys as the other control characters do, Ç and Han
// characters have Jet 4 codes, and only the sort orders the corpus proves
// key as General.
TEST(IndexKeyColumns, KeysForTheCharactersRepairsStoppedAt) {
  const KeyColumn jet3 = Col(key_type::kText, true, KeyFormat::kJet3);
  EncodedKey nul = EncodeKeySegment(jet3, KeyValue::Bytes(B({'a', 0x00, 'b'})));
  ASSERT_TRUE(nul.ok()) << nul.reason;
  EXPECT_EQ(nul.bytes, EncodeKeySegment(jet3, KeyValue::Bytes(B({'a', 0x01, 'b'}))).bytes);
  for (uint16_t ch : std::initializer_list<uint16_t>{0x00C7, 0x4E2D, 0xAC00, 0x0416, 0x3042}) {
    const Bytes v = {static_cast<uint8_t>(ch), static_cast<uint8_t>(ch >> 8)};
    EXPECT_TRUE(EncodeKeySegment(Col(key_type::kText), KeyValue::Bytes(v)).ok()) << ch;
  }
  KeyColumn ukrainian = Col(key_type::kText);
  ukrainian.sort_order = 0x0422;
  const Bytes text = {0x1E, 0x04, 'a', 0};  // "Оa"
  EncodedKey as_general = EncodeKeySegment(ukrainian, KeyValue::Bytes(text));
  ASSERT_TRUE(as_general.ok()) << as_general.reason;
  EXPECT_EQ(as_general.bytes, EncodeKeySegment(Col(key_type::kText), KeyValue::Bytes(text)).bytes);
  for (uint16_t order : std::initializer_list<uint16_t>{0x040C, 0x0411, 0x0804}) {
    KeyColumn other = Col(key_type::kText);
    other.sort_order = order;
    EXPECT_FALSE(KeysAsGeneral(other)) << order;
    EXPECT_EQ(EncodeKeySegment(other, KeyValue::Bytes(text)).status, KeyStatus::kNotCovered);
  }
  ukrainian.sort_order_version = 1;  // another version of the order is not claimed
  EXPECT_FALSE(KeysAsGeneral(ukrainian));
}

TEST(IndexKeyColumns, RefusesWhatItCannotEncode) {
  EncodedKey wrong_size = EncodeKeySegment(Col(key_type::kLong), KeyValue::Bytes(B({1, 2, 3})));
  EXPECT_EQ(wrong_size.status, KeyStatus::kInvalidValue);
  EXPECT_NE(wrong_size.reason.find("3 bytes"), std::string::npos) << wrong_size.reason;

  EXPECT_EQ(EncodeKeySegment(Col(key_type::kOle), KeyValue::Bytes(B({1}))).status,
            KeyStatus::kNotCovered);
  EXPECT_EQ(EncodeKeySegment(Col(0x11), KeyValue::Bytes(B({1}))).status, KeyStatus::kNotCovered);
  EXPECT_EQ(
      EncodeKeySegment(Col(key_type::kDecimal, true, KeyFormat::kJet3), KeyValue::Bytes(Bytes(17)))
          .status,
      KeyStatus::kInvalidValue);

  KeyColumn swedish = Col(key_type::kText);
  swedish.sort_order = 0x041D;
  EncodedKey other_order = EncodeKeySegment(swedish, KeyValue::Bytes(B({'a', 0})));
  EXPECT_EQ(other_order.status, KeyStatus::kNotCovered);
  EXPECT_NE(other_order.reason.find("0x041D"), std::string::npos) << other_order.reason;

  KeyColumn greek97 = Col(key_type::kText, true, KeyFormat::kJet3);
  greek97.code_page = 1253;
  EXPECT_EQ(EncodeKeySegment(greek97, KeyValue::Bytes(B({'a'}))).status, KeyStatus::kNotCovered);

  EXPECT_EQ(EncodeKeySegment(Col(key_type::kText), KeyValue::Bytes(B({'a', 0, 'b'}))).status,
            KeyStatus::kInvalidValue);

  // A character no table knows: half of a surrogate pair.
  EncodedKey unknown = EncodeKeySegment(Col(key_type::kText), KeyValue::Bytes(B({0x00, 0xD8})));
  EXPECT_EQ(unknown.status, KeyStatus::kNotCovered);
  EXPECT_NE(unknown.reason.find("U+D800"), std::string::npos) << unknown.reason;

  // The failing column is named, and no partial key is returned.
  std::vector<KeyColumn> cols{Col(key_type::kByte), Col(key_type::kText)};
  Bytes one = B({1}), pua = B({0x00, 0xD8});
  std::vector<KeyValue> vals{KeyValue::Bytes(one), KeyValue::Bytes(pua)};
  EncodedKey key = EncodeIndexKey(cols, vals);
  EXPECT_FALSE(key.ok());
  EXPECT_TRUE(key.bytes.empty());
  EXPECT_NE(key.reason.find("column 2"), std::string::npos) << key.reason;
  EXPECT_EQ(EncodeIndexKey(cols, std::span<const KeyValue>(vals).first(1)).status,
            KeyStatus::kInvalidValue);
}

// --- Text algorithms on hand-made tables --------------------------------

using index_text::CodeKind;
using index_text::TextCode;

TextCode Code(uint16_t ch, CodeKind kind, Bytes inl, Bytes extra = {}, uint8_t weight = 0,
              uint8_t flag = 0) {
  return TextCode::Make(ch, kind, inl, extra, weight, flag);
}

std::vector<uint16_t> Chars(const std::u16string& s) {
  return {s.begin(), s.end()};
}

TEST(IndexKeyText, Jet3AccentNibblesCountLettersBeforeEachAccent) {
  // Sorted by character: ' ', '-', 'A', 'a', 'b', 'c', 0xC1 'Á', 0xDF 'ß', 0xE9 'é'.
  std::vector<TextCode> table{
      Code(0x20, CodeKind::kSimple, B({0x07})),
      Code('-', CodeKind::kIgnored, {}),
      Code('A', CodeKind::kSimple, B({0x60}), {}, 1),
      Code('a', CodeKind::kSimple, B({0x60}), {}, 1),
      Code('b', CodeKind::kSimple, B({0x61}), {}, 1),
      Code('c', CodeKind::kSimple, B({0x62}), {}, 1),
      Code(0xC1, CodeKind::kInternational, B({0x60}), B({0x04})),
      Code(0xDF, CodeKind::kSimple, B({0x76, 0x76}), {}, 2),
      Code(0xE9, CodeKind::kInternational, B({0x64}), B({0x03})),
  };
  auto enc = [&](std::u16string s, bool asc = true) {
    auto out = index_text::EncodeJet3Text(table, Chars(s), asc);
    EXPECT_TRUE(out.ok);
    return out.bytes;
  };
  EXPECT_EQ(enc(u"abc"), B({0x60, 0x61, 0x62, 0x00}));
  EXPECT_EQ(enc(u"\u00C1bc"), B({0x60, 0x61, 0x62, 0x04, 0x00}));
  EXPECT_EQ(enc(u"a\u00C1"), B({0x60, 0x60, 0x02, 0x40}));
  // Two placeholders for the ligature, none for the space.
  EXPECT_EQ(enc(u"\u00DF \u00E9"), B({0x76, 0x76, 0x07, 0x64, 0x02, 0x23, 0x00}));
  // Letters after the last accent leave no trace; ignored characters none at all.
  EXPECT_EQ(enc(u"\u00C1-b\u00E9c"), B({0x60, 0x61, 0x64, 0x62, 0x04, 0x23, 0x00}));
  EXPECT_EQ(enc(u"abc", false), B({0x9F, 0x9E, 0x9D, 0xFF}));
  EXPECT_EQ(enc(u""), B({0x00}));

  auto missing = index_text::EncodeJet3Text(table, Chars(u"aZ"), true);
  EXPECT_FALSE(missing.ok);
  EXPECT_EQ(missing.missing, 'Z');

  // An unknown weight matters only before an accented character.
  table[2].weight = index_text::kWeightUnknown;
  EXPECT_TRUE(index_text::EncodeJet3Text(table, Chars(u"\u00C1A"), true).ok);
  auto weight = index_text::EncodeJet3Text(table, Chars(u"A\u00C1"), true);
  EXPECT_FALSE(weight.ok);
  EXPECT_TRUE(weight.weight_unknown);
  EXPECT_EQ(weight.missing, 'A');
}

TEST(IndexKeyText, Jet4AccentsUnprintablesModifiersAndFlags) {
  std::vector<TextCode> table{
      Code('-', CodeKind::kUnprintable, {}, B({0x82})),
      Code('1', CodeKind::kSimple, B({0x38})),
      Code('P', CodeKind::kModifier, {}, B({0x03})),
      Code('Z', CodeKind::kInternationalFlag, B({0x5A}), {}, 0, 2),
      Code('Y', CodeKind::kInternationalFlag, B({0x59}), B({0x10}), 0, 3),
      Code('a', CodeKind::kSimple, B({0x4A})),
      Code('b', CodeKind::kSimple, B({0x4C})),
      Code('c', CodeKind::kSimple, B({0x4D})),
      Code('x', CodeKind::kIgnored, {}),
      Code(0xC1, CodeKind::kInternational, B({0x4A}), B({0x0E})),
  };
  std::sort(table.begin(), table.end(),
            [](const TextCode& l, const TextCode& r) { return l.ch < r.ch; });
  auto enc = [&](std::u16string s, bool asc = true) {
    auto out = index_text::EncodeJet4Text(table, Chars(s), asc);
    EXPECT_TRUE(out.ok);
    return out.bytes;
  };
  EXPECT_EQ(enc(u"abc"), B({0x4A, 0x4C, 0x4D, 0x01, 0x00}));
  EXPECT_EQ(enc(u"\u00C1bc"), B({0x4A, 0x4C, 0x4D, 0x01, 0x0E, 0x00}));
  EXPECT_EQ(enc(u"b\u00C1"), B({0x4C, 0x4A, 0x01, 0x02, 0x0E, 0x00}));
  EXPECT_EQ(enc(u"-1"), B({0x38, 0x01, 0x01, 0x01, 0x01, 0x80, 0x07, 0x06, 0x82, 0x00}));
  EXPECT_EQ(enc(u"a-x"), B({0x4A, 0x01, 0x01, 0x01, 0x01, 0x80, 0x0B, 0x06, 0x82, 0x00}));
  // After an accent the record position counts accent codes.
  EXPECT_EQ(enc(u"b\u00C1c-"), B({0x4C, 0x4A, 0x4D, 0x01, 0x02, 0x0E, 0x01, 0x01, 0x01, 0x80, 0x13,
                                  0x06, 0x82, 0x00}));
  // A modifier adds to the last accent code, or starts the list.
  EXPECT_EQ(enc(u"\u00C1P"), B({0x4A, 0x01, 0x11, 0x00}));
  EXPECT_EQ(enc(u"aP"), B({0x4A, 0x01, 0x05, 0x00}));
  EXPECT_EQ(enc(u"P-"), B({0x01, 0x03, 0x01, 0x01, 0x01, 0x80, 0x07, 0x06, 0x82, 0x00}));
  // Flags: packed three to a byte; trailing 3s dropped but the suffix stays.
  EXPECT_EQ(enc(u"Z"), B({0x5A, 0x01, 0x01, 0x01, 0xA0, 0xFF, 0x02, 0x80, 0xFF, 0x80, 0x00}));
  EXPECT_EQ(enc(u"Y"), B({0x59, 0x01, 0x10, 0x01, 0x01, 0xFF, 0x02, 0x80, 0xFF, 0x80, 0x00}));
  EXPECT_EQ(enc(u"YZZZ-"), B({0x59, 0x5A, 0x5A, 0x5A, 0x01, 0x10, 0x01, 0x01, 0xBA, 0xA0, 0xFF,
                              0x02, 0x80, 0xFF, 0x80, 0xFF, 0x01, 0x80, 0x17, 0x06, 0x82, 0x00}));
  // Descending: complemented, closed by FF 00.
  EXPECT_EQ(enc(u"abc", false), B({0xB5, 0xB3, 0xB2, 0xFE, 0xFF, 0x00}));

  auto missing = index_text::EncodeJet4Text(table, Chars(u"a\u4E00"), true);
  EXPECT_FALSE(missing.ok);
  EXPECT_EQ(missing.missing, 0x4E00);
}

// The compiled-in tables are looked up directly; a copy of them goes
// through the sorted search. Every character, alone and between others,
// must encode the same both ways.
TEST(IndexKeyText, CompiledTablesEncodeAsTheirCopiesDo) {
  const std::vector<TextCode> jet3(index_text::Jet3GeneralCodes().begin(),
                                   index_text::Jet3GeneralCodes().end());
  const std::vector<TextCode> jet4(index_text::Jet4GeneralLegacyCodes().begin(),
                                   index_text::Jet4GeneralLegacyCodes().end());
  size_t known = 0;
  for (uint32_t c = 0; c <= 0xFFFF; ++c) {
    const uint16_t ch = static_cast<uint16_t>(c);
    const std::vector<uint16_t> text{'a', ch, 'b', ch};
    for (bool asc : {true, false}) {
      auto direct = index_text::EncodeJet4Text(index_text::Jet4GeneralLegacyCodes(), text, asc);
      auto searched = index_text::EncodeJet4Text(jet4, text, asc);
      ASSERT_EQ(direct.ok, searched.ok) << std::hex << c;
      ASSERT_EQ(direct.bytes, searched.bytes) << std::hex << c;
      ASSERT_EQ(direct.missing, searched.missing) << std::hex << c;
      if (c > 0xFF) continue;
      auto direct3 = index_text::EncodeJet3Text(index_text::Jet3GeneralCodes(), text, asc);
      auto searched3 = index_text::EncodeJet3Text(jet3, text, asc);
      ASSERT_EQ(direct3.ok, searched3.ok) << std::hex << c;
      ASSERT_EQ(direct3.bytes, searched3.bytes) << std::hex << c;
      ASSERT_EQ(direct3.missing, searched3.missing) << std::hex << c;
      ASSERT_EQ(direct3.weight_unknown, searched3.weight_unknown) << std::hex << c;
    }
    if (index_text::FindCode(jet4, ch) != nullptr) ++known;
  }
  EXPECT_EQ(known, jet4.size());
}

TEST(IndexKeyText, PreparationKeepsTheFirst255CharactersWithoutTrailingSpaces) {
  EXPECT_EQ(index_text::PrepareText({'a', ' ', 'b', ' ', ' '}),
            (std::vector<uint16_t>{'a', ' ', 'b'}));
  EXPECT_TRUE(index_text::PrepareText({' ', ' '}).empty());
  std::vector<uint16_t> long_text(300, 'a');
  long_text[254] = ' ';
  auto prepared = index_text::PrepareText(long_text);
  EXPECT_EQ(prepared.size(), 254u);
}

}  // namespace
}  // namespace engine
