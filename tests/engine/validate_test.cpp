// The findings the checker and the tolerant reader share: what each side
// makes of one flaw, the order that decides a dropped definition's or row's
// reason, the page census and the password check.
#include <gtest/gtest.h>

#include <algorithm>

#include "format/header.h"
#include "format/long_value.h"
#include "format/text.h"
#include "io/file_source.h"
#include "jet_builder.h"
#include "salvage/census.h"
#include "salvage/validate.h"

namespace {

using engine::Finding;
using engine::Findings;
using engine::JetVersion;
using jet_test::Bytes;

constexpr JetVersion kV = JetVersion::kJet4;

const engine::Layout& L() {
  return engine::LayoutFor(kV);
}

jet_test::ColumnSpec Long(const std::string& name, uint16_t number, uint16_t offset) {
  return {0x04, number, 0, engine::kColumnFixed, offset, 4, name};
}
jet_test::ColumnSpec Text(const std::string& name, uint16_t number, uint16_t var_index,
                          uint16_t length = 100) {
  return {0x0A, number, var_index, 0, 0, length, name};
}

engine::TableDef Decode(const jet_test::TableSpec& spec) {
  engine::TextCodec text(kV, 1252);
  auto def = engine::DecodeTableDef(jet_test::BuildTableDef(kV, spec), L(), text, 5);
  EXPECT_TRUE(def.ok()) << def.error().description();
  return def.ok() ? std::move(def.value()) : engine::TableDef{};
}

const Finding* FindCode(const Findings& findings, std::string_view code) {
  auto it = std::find_if(findings.begin(), findings.end(),
                         [&](const Finding& f) { return f.code != nullptr && f.code == code; });
  return it == findings.end() ? nullptr : &*it;
}

jet_test::TableSpec TwoColumns() {
  jet_test::TableSpec t;
  t.max_cols = 2;
  t.num_var_cols = 1;
  t.columns = {Long("Id", 0, 0), Text("Name", 1, 0)};
  return t;
}

TEST(TableDefFindings, SoundDefinitionIsUsable) {
  Findings f = engine::TableDefFindings(Decode(TwoColumns()), L());
  EXPECT_FALSE(engine::FirstUnusable(f));
  EXPECT_TRUE(std::none_of(f.begin(), f.end(), [](const Finding& x) { return x.breaks_layout; }));
}

TEST(TableDefFindings, EachReaderWeighsAFlawItsOwnWay) {
  // A repeated column number: reported, and the definition cannot be read.
  jet_test::TableSpec repeated = TwoColumns();
  repeated.columns[1].number = 0;
  Findings f = engine::TableDefFindings(Decode(repeated), L());
  const Finding* number = FindCode(f, "column-number-invalid");
  ASSERT_NE(number, nullptr);
  EXPECT_EQ(number->message, "column \"Name\" (#0): number used by another column");
  EXPECT_TRUE(number->breaks_layout);
  EXPECT_EQ(engine::FirstUnusable(f), "column Name has an impossible number 0");

  // More than 255 columns allowed: no count is violated for the checker,
  // but no Jet table can have it, so reading refuses it.
  jet_test::TableSpec wide = TwoColumns();
  wide.max_cols = 300;
  f = engine::TableDefFindings(Decode(wide), L());
  EXPECT_EQ(FindCode(f, "tdef-counts"), nullptr);
  EXPECT_EQ(engine::FirstUnusable(f), "column counts 2 of at most 300 are impossible");

  // A Yes/No column without the fixed flag sharing a variable slot: the
  // checker sees a repeated slot, reading skips Yes/No columns' slots.
  jet_test::TableSpec yes_no = TwoColumns();
  yes_no.columns.push_back({0x01, 2, 0, 0, 0, 0, "Done"});
  yes_no.max_cols = 3;
  f = engine::TableDefFindings(Decode(yes_no), L());
  ASSERT_NE(FindCode(f, "column-var-index-invalid"), nullptr);
  EXPECT_FALSE(engine::FirstUnusable(f));

  // An unknown type is no problem the checker lists, but values of it
  // cannot be read.
  jet_test::TableSpec unknown = TwoColumns();
  unknown.columns[0].type = 0x0E;
  f = engine::TableDefFindings(Decode(unknown), L());
  EXPECT_EQ(engine::FirstUnusable(f), "column Id has the unknown type 14");
  for (const Finding& x : f) {
    if (x.unusable == "column Id has the unknown type 14") {
      EXPECT_EQ(x.code, nullptr);
    }
  }
}

TEST(TableDefFindings, FirstUnusableFollowsColumnOrder) {
  // Column 0 has an unknown type, column 1 a number past the maximum, and
  // two fixed columns overlap: the reason is the earliest.
  jet_test::TableSpec t = TwoColumns();
  t.columns = {Long("A", 0, 0), Long("B", 7, 2), Long("C", 1, 8)};
  t.columns[0].type = 0x0E;
  t.max_cols = 3;
  Findings f = engine::TableDefFindings(Decode(t), L());
  ASSERT_NE(FindCode(f, "column-fixed-overlap"), nullptr);
  ASSERT_NE(FindCode(f, "column-number-invalid"), nullptr);
  EXPECT_EQ(engine::FirstUnusable(f), "column A has the unknown type 14");
  t.columns[0].type = 0x04;
  f = engine::TableDefFindings(Decode(t), L());
  EXPECT_EQ(engine::FirstUnusable(f), "column B has an impossible number 7");
  t.columns[1].number = 2;
  f = engine::TableDefFindings(Decode(t), L());
  EXPECT_EQ(engine::FirstUnusable(f), "fixed columns overlap");
}

engine::ColumnDef Column(uint8_t type, uint16_t length, const std::string& name = "C") {
  engine::ColumnDef c;
  c.type = type;
  c.length = length;
  c.name = name;
  return c;
}

engine::FieldRef Field(const Bytes& bytes) {
  return engine::FieldRef{true, engine::ByteSpan(bytes.data(), bytes.size())};
}

TEST(ValueFindings, TextLongerThanItsColumn) {
  const Bytes value = jet_test::Ucs2("abcdef");  // 12 bytes
  Findings f = engine::ValueFindings(Column(0x0A, 10), L(), Field(value), 10);
  ASSERT_EQ(f.size(), 1u);
  EXPECT_STREQ(f[0].code, "value-invalid");
  EXPECT_EQ(f[0].message, "column \"C\": text of 12 bytes in a column of 10");
  EXPECT_EQ(f[0].unusable, "column C: text of 12 bytes in a column of 10");
  // A length of 0 sets no limit a reader keeps to; the checker still
  // reports it.
  f = engine::ValueFindings(Column(0x0A, 0), L(), Field(value), 10);
  ASSERT_EQ(f.size(), 1u);
  EXPECT_STREQ(f[0].code, "value-invalid");
  EXPECT_FALSE(engine::FirstUnusable(f));
  // Odd UCS-2 lengths stop there: one finding, not two.
  const Bytes odd(13, 'a');
  f = engine::ValueFindings(Column(0x0A, 10), L(), Field(odd), 10);
  ASSERT_EQ(f.size(), 1u);
  EXPECT_EQ(f[0].unusable, "column C: text of an odd number of bytes");
}

TEST(ValueFindings, LongValueReferences) {
  const engine::ColumnDef memo = Column(0x0C, 0, "Notes");
  const uint32_t pages = 10;
  // Outside the file: reading cannot follow it; the checker's walk reports
  // where it leads, so the finding is no problem of its own.
  Bytes past =
      engine::EncodeLongValueHeader(engine::LongValueKind::kSingle, 20, engine::RowPointer{12, 0});
  Findings f = engine::ValueFindings(memo, L(), Field(past), pages);
  ASSERT_EQ(f.size(), 1u);
  EXPECT_EQ(f[0].code, nullptr);
  EXPECT_EQ(f[0].unusable, "column Notes: long value points at page 12, outside the file");
  Bytes inside =
      engine::EncodeLongValueHeader(engine::LongValueKind::kSingle, 20, engine::RowPointer{9, 0});
  EXPECT_TRUE(engine::ValueFindings(memo, L(), Field(inside), pages).empty());
  // An inline value whose header declares more than the row holds.
  Bytes in_row = engine::EncodeLongValueHeader(engine::LongValueKind::kInline, 5, {});
  in_row.insert(in_row.end(), {'a', 'b', 'c'});
  f = engine::ValueFindings(memo, L(), Field(in_row), pages);
  ASSERT_EQ(f.size(), 1u);
  EXPECT_STREQ(f[0].code, "lv-invalid");
  EXPECT_EQ(f[0].message, "column \"Notes\": inline value declares 5 bytes, the row holds 3");
  EXPECT_EQ(f[0].unusable, "column Notes: inline long value of 5 bytes in a field of 3");
  // Too short for a header at all.
  const Bytes stub(5, 0);
  f = engine::ValueFindings(memo, L(), Field(stub), pages);
  ASSERT_EQ(f.size(), 1u);
  EXPECT_STREQ(f[0].code, "lv-invalid");
  EXPECT_FALSE(f[0].unusable.empty());
}

TEST(ValueFindings, FixedSizesAndDecimalSign) {
  const Bytes three(3, 0);
  Findings f = engine::ValueFindings(Column(0x04, 4), L(), Field(three), 10);
  ASSERT_EQ(f.size(), 1u);
  EXPECT_EQ(f[0].message, "column \"C\": 3 bytes for a value of 4 bytes");
  EXPECT_EQ(f[0].unusable, "column C: 3 bytes for a value of 4");
  Bytes decimal(17, 0);
  decimal[0] = 0x01;
  f = engine::ValueFindings(Column(0x10, 17), L(), Field(decimal), 10);
  ASSERT_EQ(f.size(), 1u);
  EXPECT_EQ(f[0].message, "column \"C\": decimal sign byte 01");
  decimal[0] = 0x80;
  EXPECT_TRUE(engine::ValueFindings(Column(0x10, 17), L(), Field(decimal), 10).empty());
  // NULLs and Yes/No values carry nothing to check.
  EXPECT_TRUE(engine::ValueFindings(Column(0x04, 4), L(), engine::FieldRef{}, 10).empty());
}

TEST(RowFindings, VariablePartAgainstTheTable) {
  engine::TableDef def = Decode(TwoColumns());
  engine::RowDecoder decoder(def, L());
  jet_test::RowSpec spec;
  spec.columns = 2;
  spec.fixed = jet_test::Le32Bytes(7);
  spec.vars = {jet_test::Ucs2("ab")};
  spec.present = {0, 1};
  Bytes row = jet_test::BuildRow(kV, spec);
  ASSERT_TRUE(decoder.Decode(row).ok());
  EXPECT_TRUE(engine::RowFindings(def, L(), decoder, row.size()).empty());

  // Two variable values in a table with one variable column: the decoder
  // takes the row apart, but it is no row of this table.
  spec.vars = {jet_test::Ucs2("ab"), jet_test::Ucs2("cd")};
  row = jet_test::BuildRow(kV, spec);
  ASSERT_TRUE(decoder.Decode(row).ok());
  Findings f = engine::RowFindings(def, L(), decoder, row.size());
  EXPECT_EQ(engine::FirstUnusable(f), "the row has 2 variable columns, the table 1");
  EXPECT_TRUE(std::all_of(f.begin(), f.end(), [](const Finding& x) { return x.code == nullptr; }));
}

TEST(PageCensus, OwnersOfWholeDataPagesOnly) {
  jet_test::FileBuilder b(kV, 4);
  b.Header();
  b.DataPage(1, 1, {Bytes(10, 0)});
  b.TableDef(2, jet_test::BuildTableDef(kV, TwoColumns()));
  b.DataPage(3, 2, {Bytes(10, 0)});
  engine::Pager pager(engine::FileSource::FromBuffer(b.Finish()), L().page_size, 0);
  engine::PageCensus c = engine::TakeCensus(pager, L(), L().page_size);
  ASSERT_EQ(c.type.size(), 4u);
  EXPECT_EQ(c.type[0], 0);  // the header is never a data page
  EXPECT_EQ(c.owner[0], engine::kNoOwner);
  EXPECT_EQ(c.owner[1], 1u);
  EXPECT_EQ(c.type[2], 0x02);
  EXPECT_EQ(c.owner[2], engine::kNoOwner);  // a definition's next-page field is no owner
  EXPECT_EQ(c.owner[3], 2u);
  // The last page cut before its owner field: its bytes there are padding.
  c = engine::TakeCensus(pager, L(), 6);
  EXPECT_EQ(c.type[3], 0x01);
  EXPECT_EQ(c.owner[3], engine::kNoOwner);
}

TEST(CheckPassword, OneAnswerForEveryReader) {
  engine::DatabaseHeader h;
  EXPECT_TRUE(engine::CheckPassword(h, "").ok());
  EXPECT_TRUE(engine::CheckPassword(h, "anything").ok());  // no password to match
  h.password = "secret";
  EXPECT_TRUE(engine::CheckPassword(h, "secret").ok());
  engine::Status none = engine::CheckPassword(h, "");
  ASSERT_FALSE(none.ok());
  EXPECT_EQ(none.error().number(), 3031);
  EXPECT_EQ(none.error().description(), "the database has a password; none was given");
  engine::Status wrong = engine::CheckPassword(h, "Secret");
  ASSERT_FALSE(wrong.ok());
  EXPECT_EQ(wrong.error().number(), 3031);
  EXPECT_EQ(wrong.error().description(), "wrong database password");
}

}  // namespace
