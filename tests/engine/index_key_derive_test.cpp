// Accented letters from their base letter: the built-in tables follow the
// rule, a letter taken out of them comes back from the rule, and a derived
// code that a stored key contradicts is caught.
#include "keys/learn/index_key_derive.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

namespace engine::index_text {
namespace {

using Bytes = std::vector<uint8_t>;

std::vector<TextCode> Without(CodeTable table, const std::vector<uint16_t>& drop) {
  std::vector<TextCode> out;
  for (const TextCode& c : table) {
    if (std::find(drop.begin(), drop.end(), c.ch) == drop.end()) out.push_back(c);
  }
  return out;
}

// One observation of an ascending text index with its key made from `truth`.
Observation Observe(KeyFormat format, CodeTable truth, const std::u16string& text,
                    const std::string& where) {
  Observation o;
  KeyColumn col;
  col.type = key_type::kText;
  col.format = format;
  o.columns.push_back(col);
  ObservedValue v;
  for (char16_t ch : text) {
    v.bytes.push_back(static_cast<uint8_t>(ch));
    if (format == KeyFormat::kJet4) v.bytes.push_back(static_cast<uint8_t>(ch >> 8));
  }
  o.values.push_back(v);
  TextTables tables;
  (format == KeyFormat::kJet3 ? tables.jet3 : tables.jet4) = truth;
  EncodedKey key = EncodeKeySegmentWith(tables, col, KeyValue::Bytes(v.bytes));
  EXPECT_TRUE(key.ok()) << key.reason;
  o.key = key.bytes;
  o.where = where;
  return o;
}

TEST(AccentDerivation, BuiltInTablesFollowTheRule) {
  // Jet 4: every accented letter is its base letter plus one accent code
  // per diacritic.
  AccentStudy jet4 = StudyAccents(KeyFormat::kJet4, Jet4GeneralLegacyCodes());
  EXPECT_GT(jet4.pairs, 20u);
  EXPECT_EQ(jet4.fitting, jet4.pairs);
  EXPECT_TRUE(jet4.broken.empty());
  EXPECT_EQ(jet4.accent.at(0x0301), 0x0E);  // acute: é, á, í, ó, ú
  EXPECT_EQ(jet4.accent.at(0x0300), 0x0F);  // grave
  EXPECT_EQ(jet4.accent.at(0x0308), 0x13);  // diaeresis

  // Jet 3: the same, except Ž and ž, which Access 97 codes like bytes its
  // code page did not define: the caron gives no accent code.
  AccentStudy jet3 = StudyAccents(KeyFormat::kJet3, Jet3GeneralCodes());
  EXPECT_EQ(jet3.fitting + 2, jet3.pairs);
  EXPECT_EQ(jet3.broken, std::set<uint16_t>{0x030C});
  EXPECT_EQ(jet3.accent.count(0x030C), 0u);
  EXPECT_EQ(jet3.accent.at(0x0301), 0x04);
}

TEST(AccentDerivation, LetterTakenOutComesBackFromItsBaseLetter) {
  for (KeyFormat format : {KeyFormat::kJet3, KeyFormat::kJet4}) {
    const CodeTable full =
        format == KeyFormat::kJet3 ? Jet3GeneralCodes() : Jet4GeneralLegacyCodes();
    int derived_back = 0;
    for (const TextCode& c : full) {
      if (!SplitAccent(format, c.ch) || c.kind != CodeKind::kInternational) continue;
      // É out of the table: é (or any acute letter) still tells the acute's
      // code, E tells the base.
      const std::vector<TextCode> rest = Without(full, {c.ch});
      AccentStudy study = StudyAccents(format, rest);
      if (!study.accent.count(SplitAccent(format, c.ch)->mark)) continue;  // its diacritic only
      const uint16_t wanted[] = {c.ch};
      auto derived = DeriveAccented(format, rest, study, wanted);
      ASSERT_EQ(derived.size(), 1u) << c.ch;
      EXPECT_TRUE(SameCode(derived[0], c)) << c.ch << " " << Describe(derived[0]);
      ++derived_back;
    }
    EXPECT_GT(derived_back, 20);
  }
  // A diacritic no known letter carries gives nothing; nor does a letter
  // whose base is unknown, nor a letter that has no diacritic.
  std::vector<uint16_t> acute;
  for (const TextCode& c : Jet4GeneralLegacyCodes()) {
    auto letter = SplitAccent(KeyFormat::kJet4, c.ch);
    if (letter && letter->mark == 0x0301) acute.push_back(c.ch);
  }
  EXPECT_GT(acute.size(), 6u);
  acute.push_back(0x00C8);  // and È, which its base letter and the grave give back
  const std::vector<TextCode> no_acute = Without(Jet4GeneralLegacyCodes(), acute);
  const uint16_t wanted[] = {0x00E9, 0x00C8, 0x0416, 0x00DF};
  auto derived =
      DeriveAccented(KeyFormat::kJet4, no_acute, StudyAccents(KeyFormat::kJet4, no_acute), wanted);
  ASSERT_EQ(derived.size(), 1u);
  EXPECT_EQ(derived[0].ch, 0x00C8);  // È: E + grave
  EXPECT_TRUE(SameCode(derived[0],
                       TextCode::Make(0x00C8, CodeKind::kInternational, Bytes{0x51}, Bytes{0x0F})));
}

TEST(AccentDerivation, KeysConfirmOrContradictDerivedCodes) {
  // Jet 3 with Ž unknown: Š and š give the caron's accent code and the rule
  // derives Ž as Z + caron, but Access 97 wrote Ž as a byte its code page
  // did not define (code 0x10).
  const CodeTable truth = Jet3GeneralCodes();
  const std::vector<TextCode> known = Without(truth, {0x8E, 0x9E});
  AccentStudy study = StudyAccents(KeyFormat::kJet3, known);
  ASSERT_EQ(study.accent.at(0x030C), 0x0A);
  const uint16_t wanted[] = {0x8E, 0xC9};
  auto derived = DeriveAccented(KeyFormat::kJet3, known, study, wanted);
  ASSERT_EQ(derived.size(), 1u);  // É is known already
  EXPECT_EQ(derived[0].ch, 0x8E);

  std::vector<Observation> keys{Observe(KeyFormat::kJet3, truth,
                                        u"\x8E"
                                        u"agreb",
                                        "row 1"),
                                Observe(KeyFormat::kJet3, truth, u"abc", "row 2")};
  DerivedCheck check = CheckDerived(KeyFormat::kJet3, known, derived, keys);
  EXPECT_TRUE(check.confirmed.empty());
  ASSERT_EQ(check.contradicted.count(0x8E), 1u);
  EXPECT_EQ(check.contradicted.at(0x8E), "row 1");

  // Jet 4 with é unknown: derived from e and the acute of á, it reproduces
  // the keys Access wrote, and the keys without it say nothing.
  const CodeTable jet4 = Jet4GeneralLegacyCodes();
  const std::vector<TextCode> no_e_acute = Without(jet4, {0x00E9});
  const uint16_t e_acute[] = {0x00E9};
  auto derived4 = DeriveAccented(KeyFormat::kJet4, no_e_acute,
                                 StudyAccents(KeyFormat::kJet4, no_e_acute), e_acute);
  std::vector<Observation> keys4{Observe(KeyFormat::kJet4, jet4, u"caf\u00E9", "row 1"),
                                 Observe(KeyFormat::kJet4, jet4, u"r\u00E9sum\u00E9", "row 2"),
                                 Observe(KeyFormat::kJet4, jet4, u"cafe", "row 3")};
  DerivedCheck check4 = CheckDerived(KeyFormat::kJet4, no_e_acute, derived4, keys4);
  EXPECT_TRUE(check4.contradicted.empty());
  EXPECT_EQ(check4.confirmed.at(0x00E9), 2u);
}

}  // namespace
}  // namespace engine::index_text
