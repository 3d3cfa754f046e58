// Canonical value forms, text decoding, RC4 and the header mask.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "format/header.h"
#include "io/cipher.h"
#include "engine/values.h"
#include "format/text.h"

namespace engine {
namespace {

template <typename F>
std::string Str(F f) {
  std::string s;
  f(s);
  return s;
}

TEST(Values, Currency) {
  EXPECT_EQ(Str([](auto& s) { FormatCurrency(-12345600, s); }), "-1234.5600");
  EXPECT_EQ(Str([](auto& s) { FormatCurrency(1, s); }), "0.0001");
  EXPECT_EQ(Str([](auto& s) { FormatCurrency(-1, s); }), "-0.0001");
  EXPECT_EQ(Str([](auto& s) { FormatCurrency(0, s); }), "0.0000");
  EXPECT_EQ(Str([](auto& s) { FormatCurrency(std::numeric_limits<int64_t>::min(), s); }),
            "-922337203685477.5808");
  EXPECT_EQ(Str([](auto& s) { FormatCurrency(std::numeric_limits<int64_t>::max(), s); }),
            "922337203685477.5807");
}

TEST(Values, FloatingPointIsShortestRoundTrip) {
  EXPECT_EQ(Str([](auto& s) { FormatSingle(0.1f, s); }), "0.1");
  EXPECT_EQ(Str([](auto& s) { FormatSingle(-8540981760.0f, s); }), "-8540982000");
  EXPECT_EQ(Str([](auto& s) { FormatDouble(0.1, s); }), "0.1");
  EXPECT_EQ(Str([](auto& s) { FormatDouble(5.0, s); }), "5");
  EXPECT_EQ(Str([](auto& s) { FormatDouble(-0.0, s); }), "0");
  EXPECT_EQ(Str([](auto& s) { FormatDouble(1e21, s); }), "1e+21");
  EXPECT_EQ(Str([](auto& s) { FormatDouble(123456789012345678901.0, s); }),
            "123456789012345680000");
  EXPECT_EQ(Str([](auto& s) { FormatDouble(1.5e-7, s); }), "1.5e-7");
  EXPECT_EQ(Str([](auto& s) { FormatDouble(0.000001, s); }), "0.000001");
  EXPECT_EQ(Str([](auto& s) { FormatDouble(-2.5e-300, s); }), "-2.5e-300");
  EXPECT_EQ(Str([](auto& s) { FormatDouble(std::nan(""), s); }), "\"NaN\"");
  EXPECT_EQ(Str([](auto& s) { FormatDouble(-INFINITY, s); }), "\"-Infinity\"");
  EXPECT_EQ(Str([](auto& s) { FormatSingle(INFINITY, s); }), "\"Infinity\"");
}

TEST(Values, DateTime) {
  auto f = [](double d) { return Str([&](auto& s) { FormatDateTime(d, s); }); };
  EXPECT_EQ(f(0), "1899-12-30 00:00:00");
  EXPECT_EQ(f(1), "1899-12-31 00:00:00");
  EXPECT_EQ(f(2), "1900-01-01 00:00:00");
  EXPECT_EQ(f(36526.5), "2000-01-01 12:00:00");
  EXPECT_EQ(f(-1.25), "1899-12-29 06:00:00");  // the fraction is a positive time of day
  EXPECT_EQ(f(-0.5), "1899-12-30 12:00:00");
  EXPECT_EQ(f(36526 + 1.5 / 86400), "2000-01-01 00:00:01.500");
  EXPECT_EQ(f(36526 + 0.0123 / 86400 * 1000), "2000-01-01 00:00:12.300");
  // Rounding to the millisecond can reach midnight: next day, away from the epoch.
  EXPECT_EQ(f(36526.9999999999), "2000-01-02 00:00:00");
  EXPECT_EQ(f(-1.9999999999), "1899-12-28 00:00:00");
  EXPECT_EQ(f(2958465.99998843), "9999-12-31 23:59:59");
  EXPECT_EQ(f(-657434), "0100-01-01 00:00:00");
  EXPECT_EQ(f(std::nan("")).rfind("invalid date", 0), 0u);
}

TEST(Values, GuidNumericBase64) {
  const uint8_t g[16] = {0x04, 0x03, 0x02, 0x01, 0x06, 0x05, 0x08, 0x07,
                         0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0xF0};
  EXPECT_EQ(Str([&](auto& s) { FormatGuid(ByteSpan(g, 16), s); }),
            "{01020304-0506-0708-090A-0B0C0D0E0FF0}");

  auto num = [](uint8_t sign, uint32_t w0, uint32_t w3, uint8_t scale) {
    uint8_t b[17] = {sign};
    auto put = [&](int word, uint32_t v) {
      for (int i = 0; i < 4; ++i) b[1 + 4 * word + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    put(0, w0);
    put(3, w3);
    return Str([&](auto& s) { EXPECT_TRUE(FormatNumeric(ByteSpan(b, 17), scale, s)); });
  };
  EXPECT_EQ(num(0x00, 0, 1, 0), "1");
  EXPECT_EQ(num(0x80, 0, 12300, 3), "-12.300");
  EXPECT_EQ(num(0x00, 0, 5, 4), "0.0005");
  EXPECT_EQ(num(0x80, 0, 0, 2), "0.00");
  // Most significant word first: 2^96.
  EXPECT_EQ(num(0x00, 1, 0, 0), "79228162514264337593543950336");
  EXPECT_EQ(num(0x00, 0xFFFFFFFF, 0xFFFFFFFF, 38).size(), 40u);  // scale beyond the digits
  std::string unused;
  EXPECT_FALSE(FormatNumeric(ByteSpan(g, 16), 0, unused));

  auto b64 = [](std::string in) {
    return Str([&](auto& s) {
      AppendBase64(ByteSpan(reinterpret_cast<const uint8_t*>(in.data()), in.size()), s);
    });
  };
  EXPECT_EQ(b64(""), "");
  EXPECT_EQ(b64("f"), "Zg==");
  EXPECT_EQ(b64("fo"), "Zm8=");
  EXPECT_EQ(b64("foo"), "Zm9v");
  EXPECT_EQ(b64("foobar"), "Zm9vYmFy");
}

ByteSpan B(const std::vector<uint8_t>& v) {
  return v;
}

TEST(Text, Jet4PlainAndCompressed) {
  TextCodec jet4(JetVersion::kJet4, 1252);
  std::string out;
  jet4.DecodeValue(B({'A', 0, 0xAC, 0x20}), out);  // "A€"
  EXPECT_EQ(out, "A\xE2\x82\xAC");
  out.clear();
  jet4.DecodeValue(B({0xFF, 0xFE, 'a', 0xE9}), out);  // compressed "aé"
  EXPECT_EQ(out, "a\xC3\xA9");
  out.clear();
  // Toggle to two-byte units for the euro sign and back.
  jet4.DecodeValue(B({0xFF, 0xFE, 'x', 0x00, 0xAC, 0x20, 0x00, 'y'}), out);
  EXPECT_EQ(out, "x\xE2\x82\xACy");
  out.clear();
  // A surrogate pair and a lone surrogate.
  jet4.DecodeValue(B({0x3D, 0xD8, 0x00, 0xDE, 0x00, 0xD8, 'z', 0}), out);
  EXPECT_EQ(out, "\xF0\x9F\x98\x80\xEF\xBF\xBDz");
  out.clear();
  jet4.DecodeName(B({0xFF, 0xFE}), out);  // names are never compressed: U+FEFF
  EXPECT_EQ(out, "\xEF\xBB\xBF");
}

TEST(Text, Jet3CodePages) {
  TextCodec cp1252(JetVersion::kJet3, 1252);
  std::string out;
  cp1252.DecodeValue(B({'Z', 'o', 0xEB, 0x80, 0x81}), out);
  EXPECT_EQ(out, "Zo\xC3\xAB\xE2\x82\xAC\xC2\x81");  // 0x81 is undefined in 1252
  // The five undefined bytes stay distinct (C1 controls), never U+FFFD.
  out.clear();
  cp1252.DecodeValue(B({0x81, 0x8D, 0x8F, 0x90, 0x9D}), out);
  EXPECT_EQ(out, "\xC2\x81\xC2\x8D\xC2\x8F\xC2\x90\xC2\x9D");
  TextCodec cp1251(JetVersion::kJet3, 1251);
  out.clear();
  cp1251.DecodeValue(B({0xC0}), out);  // Cyrillic A
  EXPECT_EQ(out, "\xD0\x90");
  TextCodec cp932(JetVersion::kJet3, 932);
  out.clear();
  cp932.DecodeValue(B({0x82, 0xA0, 'a', 0x82}), out);  // Hiragana A, 'a', half a character
  EXPECT_EQ(out,
            "\xE3\x81\x82"
            "a\xEF\xBF\xBD");
}

TEST(Rc4, KnownVectorAndHeaderKeystream) {
  const uint8_t key[] = {'K', 'e', 'y'};
  uint8_t data[] = {'P', 'l', 'a', 'i', 'n', 't', 'e', 'x', 't'};
  Rc4(ByteSpan(key, 3)).Apply(data, sizeof data);
  const uint8_t expect[] = {0xBB, 0xF3, 0x16, 0xE8, 0xD9, 0x40, 0xAF, 0x0A, 0xD3};
  EXPECT_EQ(0, std::memcmp(data, expect, sizeof data));

  // The keystream carries on from one call to the next.
  uint8_t pieces[] = {'P', 'l', 'a', 'i', 'n', 't', 'e', 'x', 't'};
  Rc4 rc4(ByteSpan(key, 3));
  rc4.Apply(pieces, 4);
  rc4.Apply(pieces + 4, sizeof pieces - 4);
  EXPECT_EQ(0, std::memcmp(pieces, expect, sizeof pieces));

  // The header mask over zero bytes is the keystream itself.
  std::vector<uint8_t> page(2048, 0);
  ApplyHeaderMask(page.data(), page.size(), JetVersion::kJet3);
  const uint8_t stream[] = {0xB5, 0x6F, 0x03, 0x62, 0x61, 0x08, 0xC2, 0x55,
                            0xEB, 0xA9, 0x67, 0x72, 0x43, 0x3F, 0x00, 0x9C};
  EXPECT_EQ(0, std::memcmp(page.data() + 0x18, stream, sizeof stream));
  EXPECT_NE(page[0x18 + 125], 0);  // Jet 3 masks 126 bytes ...
  EXPECT_EQ(page[0x18 + 126], 0);
  std::vector<uint8_t> page4(4096, 0);
  ApplyHeaderMask(page4.data(), page4.size(), JetVersion::kJet4);
  EXPECT_EQ(page4[0x18 + 128], 0);  // ... Jet 4 128.
  EXPECT_EQ(0, std::memcmp(page4.data() + 0x18, page.data() + 0x18, 126));
}

}  // namespace
}  // namespace engine
