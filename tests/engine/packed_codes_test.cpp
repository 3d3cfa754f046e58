// The packed form of the code tables: what goes in comes out, whatever the
// mix of records, and text that is not a packed table is refused.
#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "keys/index_key_text.h"
#include "keys/packed_codes.h"

namespace engine::index_text {
namespace {

using B = std::vector<uint8_t>;

void ExpectSameTables(CodeTable a, CodeTable b) {
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].ch, b[i].ch);
    EXPECT_EQ(a[i].kind, b[i].kind) << a[i].ch;
    EXPECT_EQ(a[i].weight, b[i].weight) << a[i].ch;
    EXPECT_EQ(a[i].flag, b[i].flag) << a[i].ch;
    EXPECT_EQ(B(a[i].inline_span().begin(), a[i].inline_span().end()),
              B(b[i].inline_span().begin(), b[i].inline_span().end()))
        << a[i].ch;
    EXPECT_EQ(B(a[i].extra_span().begin(), a[i].extra_span().end()),
              B(b[i].extra_span().begin(), b[i].extra_span().end()))
        << a[i].ch;
  }
}

TEST(PackedCodes, EveryKindOfRecordRoundTrips) {
  std::vector<TextCode> table;
  auto add = [&](uint16_t ch, CodeKind kind, B inl, B extra = {}, uint8_t flag = 0) {
    table.push_back(TextCode::Make(ch, kind, inl, extra, 0, flag));
  };
  add(0x0001, CodeKind::kUnprintable, {}, {0x03});  // full
  add(0x0002, CodeKind::kUnprintable, {}, {0x04});  // step on the extra bytes
  add(0x0003, CodeKind::kIgnored, {});              // full, then a run of three
  add(0x0004, CodeKind::kIgnored, {});
  add(0x0005, CodeKind::kIgnored, {});
  add(0x0006, CodeKind::kIgnored, {});
  add(0x0041, CodeKind::kSimple, {0x9F, 0x02});  // a gap: full
  add(0x0042, CodeKind::kSimple, {0x9F, 0x06});  // step of 4
  add(0x0043, CodeKind::kSimple, {0x9F, 0xFF});  // step of 0xF9: past a record, new field
  add(0x0044, CodeKind::kSimple, {0xA0, 0x02});  // carry: new field
  add(0x0045, CodeKind::kSimple, {0xA0, 0x01});  // downwards: new field
  add(0x0046, CodeKind::kInternationalFlag, {0x7F, 0x02}, {}, 2);  // new kind: full
  add(0x0047, CodeKind::kInternationalFlag, {0x7F, 0x02}, {}, 2);  // a step of 0
  add(0x0048, CodeKind::kInternational, {0x4A}, {0x0F});
  add(0x0049, CodeKind::kInternational, {0x4A}, {0x10});  // other accent: full
  add(0xFFFD, CodeKind::kSimple, {0xFF, 0xFE, 0x01, 0x02, 0x03, 0x04});
  ExpectSameTables(UnpackCodes(PackCodes(table)), table);
  // Long runs are cut into pieces the record can hold.
  std::vector<TextCode> ignored;
  for (uint16_t ch = 0x3000; ch < 0x3200; ++ch) {
    ignored.push_back(TextCode::Make(ch, CodeKind::kIgnored, {}));
  }
  const std::string packed = PackCodes(ignored);
  EXPECT_LT(packed.size(), 40u);
  ExpectSameTables(UnpackCodes(packed), ignored);
  EXPECT_TRUE(UnpackCodes("").empty());
}

TEST(PackedCodes, TheCompiledJet4TableRoundTrips) {
  const CodeTable compiled = Jet4GeneralLegacyCodes();
  ASSERT_GT(compiled.size(), 60000u);
  for (size_t i = 1; i < compiled.size(); ++i) ASSERT_LT(compiled[i - 1].ch, compiled[i].ch);
  ExpectSameTables(UnpackCodes(PackCodes(compiled)), compiled);
}

TEST(PackedCodes, RefusesTextThatIsNotATable) {
  std::vector<TextCode> one{TextCode::Make(0x0041, CodeKind::kSimple, B{0x4A})};
  const std::string packed = PackCodes(one);
  EXPECT_THROW(UnpackCodes(packed.substr(0, packed.size() - 2)), std::invalid_argument);
  EXPECT_THROW(UnpackCodes(packed + "!"), std::invalid_argument);
  EXPECT_THROW(UnpackCodes("AA"), std::invalid_argument);  // a step with nothing before it
  // A full entry claiming seven inline bytes: 0xFF 0x00 0x41 kind 0 weight 0 flag 0, length 7.
  EXPECT_THROW(UnpackCodes("/wBBAAAABw"), std::invalid_argument);
  // Two full entries out of order.
  EXPECT_THROW(UnpackCodes(PackCodes(one) + PackCodes(one)), std::invalid_argument);
}

}  // namespace
}  // namespace engine::index_text
