// Learning code tables from keys: keys made with a known table must give
// that table back, and keys that contradict each other must leave the
// character out.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "keys/learn/index_key_infer.h"

namespace engine::index_text {
namespace {

using Bytes = std::vector<uint8_t>;

TextCode Code(uint16_t ch, CodeKind kind, Bytes inl, Bytes extra = {}, uint8_t weight = 0,
              uint8_t flag = 0) {
  return TextCode::Make(ch, kind, inl, extra, weight, flag);
}

Bytes Stored(KeyFormat format, const std::u16string& s) {
  Bytes out;
  for (char16_t ch : s) {
    out.push_back(static_cast<uint8_t>(ch));
    if (format == KeyFormat::kJet4) out.push_back(static_cast<uint8_t>(ch >> 8));
  }
  return out;
}

// Observations of a (Long, Text) index and a descending Text index, with
// keys made by the real encoder from `truth`.
std::vector<Observation> Observe(KeyFormat format, const std::vector<TextCode>& truth,
                                 const std::vector<std::u16string>& texts) {
  TextTables tables;
  (format == KeyFormat::kJet3 ? tables.jet3 : tables.jet4) = truth;
  std::vector<Observation> out;
  int32_t id = 0;
  for (const auto& text : texts) {
    for (bool two_columns : {false, true}) {
      Observation o;
      KeyColumn col;
      col.format = format;
      if (two_columns) {
        col.type = key_type::kLong;
        o.columns.push_back(col);
        ObservedValue v;
        for (int i = 0; i < 4; ++i) v.bytes.push_back(static_cast<uint8_t>(id >> (8 * i)));
        o.values.push_back(v);
      }
      col.type = key_type::kText;
      col.ascending = two_columns;
      o.columns.push_back(col);
      o.values.push_back(ObservedValue{false, false, Stored(format, text)});
      std::vector<KeyValue> values;
      for (const auto& v : o.values) values.push_back(KeyValue{v.is_null, v.boolean, v.bytes});
      EncodedKey key = EncodeIndexKeyWith(tables, o.columns, values);
      EXPECT_TRUE(key.ok()) << key.reason;
      o.key = key.bytes;
      o.where = "row " + std::to_string(id++);
      out.push_back(o);
    }
  }
  return out;
}

void ExpectSameTables(const std::vector<TextCode>& expected, const std::vector<TextCode>& got) {
  ASSERT_EQ(expected.size(), got.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_TRUE(SameCode(expected[i], got[i])) << "character " << expected[i].ch;
  }
}

TEST(IndexCodeInference, Jet4TableComesBackFromItsKeys) {
  std::vector<TextCode> truth{
      Code('-', CodeKind::kUnprintable, {}, {0x82}),
      Code('1', CodeKind::kSimple, {0x38}),
      Code('P', CodeKind::kModifier, {}, {0x03}),
      Code('Y', CodeKind::kInternationalFlag, {0x59, 0x07}, {0x10}, 0, 3),
      Code('Z', CodeKind::kInternationalFlag, {0x5A}, {}, 0, 2),
      Code('a', CodeKind::kSimple, {0x4A}),
      Code('b', CodeKind::kSimple, {0x4C}),
      Code('x', CodeKind::kIgnored, {}),
      Code(0xC1, CodeKind::kInternational, {0x4A}, {0x0E}),
      Code(0x4E00, CodeKind::kSimple, {0xA1, 0x22, 0x05}),
  };
  // Each character appears at least once next to already known ones only.
  CodeInference inference(KeyFormat::kJet4);
  for (auto& o : Observe(KeyFormat::kJet4, truth,
                         {u"a", u"ab", u"b\u00C1a", u"a-1", u"1b", u"aPb", u"bZa", u"aYb", u"bxa",
                          u"a\u4E00b", u"\u4E00\u00C1-Z"})) {
    inference.Add(o);
  }
  InferenceReport report = inference.Run();
  ExpectSameTables(truth, inference.Table());
  EXPECT_EQ(report.observations, 22u);
  EXPECT_EQ(report.matched, 22u);
  EXPECT_TRUE(report.mismatches.empty());
  EXPECT_TRUE(report.unresolved.empty());
  for (auto& [ch, why] : report.unresolved) ADD_FAILURE() << why;
}

TEST(IndexCodeInference, Jet3WeightsAreLearnedWhereAnAccentShowsThem) {
  std::vector<TextCode> truth{
      Code(' ', CodeKind::kSimple, {0x07}, {}, 0),
      Code('-', CodeKind::kIgnored, {}),
      Code('a', CodeKind::kSimple, {0x60}, {}, 1),
      Code('b', CodeKind::kSimple, {0x61}, {}, 1),
      Code('c', CodeKind::kSimple, {0x62}, {}, 1),
      Code(0xC1, CodeKind::kInternational, {0x60}, {0x04}),
      Code(0xDF, CodeKind::kSimple, {0x76, 0x76}, {}, 2),
  };
  CodeInference inference(KeyFormat::kJet3);
  for (auto& o : Observe(KeyFormat::kJet3, truth,
                         {u"a", u"\u00C1", u"a\u00C1", u"b\u00C1a", u"a \u00C1", u"-a",
                          u"\u00DF\u00C1", u"cab"})) {
    inference.Add(o);
  }
  InferenceReport report = inference.Run();
  // 'c' never stands before an accent: its weight stays unknown.
  std::vector<TextCode> expected = truth;
  expected[4].weight = kWeightUnknown;
  ExpectSameTables(expected, inference.Table());
  EXPECT_EQ(report.matched, report.observations);
}

TEST(IndexCodeInference, Jet4KeyWithSeveralUnknownCharactersIsTakenApart) {
  std::vector<TextCode> truth{
      Code('-', CodeKind::kUnprintable, {}, {0x82}),
      Code('b', CodeKind::kSimple, {0x4C}),
      Code('c', CodeKind::kSimple, {0x4D}),
      Code(0xC1, CodeKind::kInternational, {0x4A}, {0x0E}),
  };
  // Alone, "bÁ-c" does not fix the cuts: b = 4C, Á = 4A/0E, c = 4D fits, and
  // so does b = 4C 4A, Á = 4D/0E, c ignored. Nothing may be claimed.
  {
    CodeInference inference(KeyFormat::kJet4);
    for (auto& o : Observe(KeyFormat::kJet4, truth, {u"b\u00C1-c"})) inference.Add(o);
    InferenceReport report = inference.Run();
    EXPECT_TRUE(inference.Table().empty());
    EXPECT_EQ(report.not_covered, report.observations);
    EXPECT_NE(report.unresolved['b'].find("(simple 4C) (simple 4C4A)"), std::string::npos)
        << report.unresolved['b'];
  }
  // A key of c alone settles the rest.
  CodeInference inference(KeyFormat::kJet4);
  for (auto& o : Observe(KeyFormat::kJet4, truth, {u"b\u00C1-c", u"c"})) inference.Add(o);
  InferenceReport report = inference.Run();
  ExpectSameTables(truth, inference.Table());
  EXPECT_EQ(report.matched, report.observations);
}

TEST(IndexCodeInference, SeededCodesStandAndOnlyNewOnesAreLearned) {
  std::vector<TextCode> truth{
      Code('a', CodeKind::kSimple, {0x4A}),
      Code('b', CodeKind::kSimple, {0x4C}),
      Code(0xE9, CodeKind::kInternational, {0x51}, {0x0E}),
      Code(0x4E00, CodeKind::kSimple, {0xA1, 0x22, 0x05}),
  };
  // The seed knows a and b; one stored key is damaged (its last byte
  // changed), which must not cost the seeded codes their place.
  const std::vector<TextCode> seed{truth[0], truth[1]};
  CodeInference inference(KeyFormat::kJet4);
  inference.Seed(seed);
  auto observations = Observe(KeyFormat::kJet4, truth, {u"ab", u"aé", u"éb", u"b一", u"ba"});
  observations.back().key.back() ^= 0x01;
  for (auto& o : observations) inference.Add(o);
  InferenceReport report = inference.Run();
  ExpectSameTables({truth[2], truth[3]}, inference.Learned());
  ExpectSameTables(truth, inference.Table());
  ASSERT_EQ(report.mismatches.size(), 1u);
  EXPECT_EQ(report.mismatches[0].where, observations.back().where);
}

TEST(IndexCodeInference, ContradictingKeysLeaveTheCharacterOut) {
  std::vector<TextCode> truth{Code('a', CodeKind::kSimple, {0x4A}),
                              Code('b', CodeKind::kSimple, {0x4C})};
  std::vector<Observation> obs = Observe(KeyFormat::kJet4, truth, {u"a", u"b", u"ab"});
  // A second key for "a" that no code explains together with the first.
  Observation odd = obs[0];
  odd.key = {0x80, 0xB4, 0xFE, 0xFF, 0x00};  // as if 'a' were 0x4B
  odd.where = "odd row";
  obs.push_back(odd);
  CodeInference inference(KeyFormat::kJet4);
  for (auto& o : obs) inference.Add(o);
  InferenceReport report = inference.Run();
  std::vector<TextCode> table = inference.Table();
  ASSERT_EQ(table.size(), 1u);
  EXPECT_EQ(table[0].ch, 'b');
  ASSERT_EQ(report.unresolved.count('a'), 1u);
  EXPECT_NE(report.unresolved['a'].find("odd row"), std::string::npos) << report.unresolved['a'];
  EXPECT_EQ(report.not_covered, 5u);  // every key holding 'a'
  EXPECT_EQ(report.matched, 2u);
}

}  // namespace
}  // namespace engine::index_text
