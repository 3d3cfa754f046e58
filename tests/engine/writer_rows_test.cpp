// Rows re-encoded for the copy: split and laid out again (checked against the
// independent jet_builder rows and the RowDecoder), and rewritten with their
// long values moved into a new file.
#include <gtest/gtest.h>

#include <random>

#include "format/long_value.h"
#include "format/row.h"
#include "jet_builder.h"
#include "writer/data_page_builder.h"
#include "writer/long_value_writer.h"
#include "writer/memory_page_sink.h"
#include "writer/row_rewriter.h"

namespace engine {
namespace {

using jet_test::Bytes;

TableDef Def(JetVersion v, const jet_test::TableSpec& spec) {
  TextCodec text(v, 1252);
  auto def = DecodeTableDef(jet_test::BuildTableDef(v, spec), LayoutFor(v), text, 9);
  EXPECT_TRUE(def.ok()) << def.error().ToString();
  return def.value();
}

// N (long, fixed), A, B (text), M (memo), O (OLE); column 5 was deleted
// but keeps variable slot 2 in old rows.
jet_test::TableSpec Spec() {
  jet_test::TableSpec spec;
  spec.max_cols = 7;
  spec.num_var_cols = 5;
  spec.columns = {{0x04, 0, 0, 0x03, 0, 4, "N"},   {0x0A, 1, 0, 0x02, 0, 255, "A"},
                  {0x0A, 2, 1, 0x02, 0, 255, "B"}, {0x0C, 3, 3, 0x02, 0, 0, "M"},
                  {0x0B, 4, 4, 0x02, 0, 0, "O"},   {0x01, 6, 0, 0x03, 4, 1, "Flag"}};
  return spec;
}

Bytes Text(size_t n, char c) {
  return Bytes(n, static_cast<uint8_t>(c));
}

class RowVersions : public ::testing::TestWithParam<JetVersion> {
 protected:
  JetVersion v() const { return GetParam(); }
  const Layout& layout() const { return LayoutFor(GetParam()); }
};

INSTANTIATE_TEST_SUITE_P(Jet, RowVersions, ::testing::Values(JetVersion::kJet3, JetVersion::kJet4),
                         [](const ::testing::TestParamInfo<JetVersion>& p) {
                           return p.param == JetVersion::kJet3 ? std::string("Jet3")
                                                               : std::string("Jet4");
                         });

TEST_P(RowVersions, SplitAndEncodeGiveBackTheSameRow) {
  TableDef t = Def(v(), Spec());
  RowDecoder decoder(t, layout());
  // Lengths around the 256-byte boundaries of Jet 3 offsets: real jumps,
  // several of them, and a dummy last jump.
  std::vector<size_t> lengths = {0,   1,   200, 240, 245, 247, 250, 251,
                                 252, 253, 255, 256, 300, 500, 700};
  for (size_t a : lengths) {
    for (size_t b : {size_t{0}, size_t{5}, size_t{240}, size_t{255}}) {
      for (int columns : {7, 3}) {  // 3: a row from before columns 3.. were added
        jet_test::RowSpec r;
        r.columns = static_cast<uint16_t>(columns);
        r.fixed = jet_test::Le32Bytes(static_cast<uint32_t>(a * 1000 + b));
        r.vars = {Text(a, 'a'), Text(b, 'b'), Text(3, 'x')};
        if (columns == 7) r.vars.push_back(std::nullopt), r.vars.push_back(Text(12, 'o'));
        r.present = columns == 7 ? std::vector<int>{0, 1, 2, 4, 6} : std::vector<int>{0, 1, 2};
        Bytes row = jet_test::BuildRow(v(), r);
        SCOPED_TRACE("a=" + std::to_string(a) + " b=" + std::to_string(b) + " columns=" +
                     std::to_string(columns) + " length=" + std::to_string(row.size()));
        auto parts = SplitRow(t, layout(), row);
        ASSERT_TRUE(parts.ok()) << parts.error().ToString();
        EXPECT_EQ(parts->column_count, columns);
        EXPECT_EQ(parts->fixed, jet_test::Le32Bytes(static_cast<uint32_t>(a * 1000 + b)));
        ASSERT_EQ(parts->vars.size(), r.vars.size());
        EXPECT_EQ(parts->vars[2], Text(3, 'x'));  // the deleted column's slot is kept
        auto again = EncodeRow(layout(), *parts);
        ASSERT_TRUE(again.ok()) << again.error().ToString();
        ASSERT_EQ(*again, row);
        ASSERT_TRUE(decoder.Decode(*again).ok());
        EXPECT_EQ(decoder.fields()[1].bytes.size(), a);
      }
    }
  }
}

TEST_P(RowVersions, PaddingIsDroppedAndRowsWithoutVariablePartStay) {
  TableDef t = Def(v(), Spec());
  jet_test::RowSpec r;
  r.columns = 7;
  r.fixed = jet_test::Le32Bytes(42);
  r.vars = {Text(10, 'a'), Text(0, 'b'), Text(0, 'x'), Text(0, 'm'), Text(0, 'o')};
  r.present = {0, 1};
  Bytes row = jet_test::BuildRow(v(), r);
  // Padding between the variable data and the trailer (some writers leave it
  // in rows rewritten in place); offsets count from the start, so they hold.
  size_t eod = layout().row_count_size + 4 + 10;
  Bytes padded = row;
  padded.insert(padded.begin() + static_cast<ptrdiff_t>(eod), 17, 0xEE);
  if (v() == JetVersion::kJet3) {
    // Jet 3 offsets are relative to the row length only through the jump
    // table; this row stays below 256 bytes either way.
    ASSERT_LT(padded.size(), 256u);
  }
  auto parts = SplitRow(t, layout(), padded);
  ASSERT_TRUE(parts.ok()) << parts.error().ToString();
  auto again = EncodeRow(layout(), *parts);
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(*again, row);

  jet_test::TableSpec fixed_only;
  fixed_only.max_cols = 2;
  fixed_only.columns = {{0x04, 0, 0, 0x03, 0, 4, "N"}, {0x03, 1, 0, 0x03, 4, 2, "I"}};
  TableDef f = Def(v(), fixed_only);

  // A row from before the table's first variable column was added: no
  // variable part, and none is added.
  jet_test::RowSpec old;
  old.columns = 1;
  old.fixed = jet_test::Le32Bytes(77);
  old.present = {0};
  old.var_part = false;
  Bytes old_row = jet_test::BuildRow(v(), old);
  auto old_parts = SplitRow(t, layout(), old_row);
  ASSERT_TRUE(old_parts.ok()) << old_parts.error().ToString();
  EXPECT_FALSE(old_parts->var_part);
  EXPECT_EQ(old_parts->fixed, jet_test::Le32Bytes(77));
  auto old_again = EncodeRow(layout(), *old_parts);
  ASSERT_TRUE(old_again.ok());
  EXPECT_EQ(*old_again, old_row);
  jet_test::RowSpec fr;
  fr.columns = 2;
  fr.fixed = {1, 2, 3, 4, 5, 6};
  fr.present = {0, 1};
  fr.var_part = false;
  Bytes frow = jet_test::BuildRow(v(), fr);
  auto fparts = SplitRow(f, layout(), frow);
  ASSERT_TRUE(fparts.ok());
  EXPECT_FALSE(fparts->var_part);
  auto fagain = EncodeRow(layout(), *fparts);
  ASSERT_TRUE(fagain.ok());
  EXPECT_EQ(*fagain, frow);
}

TEST_P(RowVersions, EncodeRowRefusesPartsThatCannotBeARow) {
  RowParts p;
  p.column_count = 9;
  p.null_mask = {0xFF};  // needs 2 bytes
  EXPECT_FALSE(EncodeRow(layout(), p).ok());
  p.null_mask = {0xFF, 0x01};
  p.vars.push_back(Bytes(MaxDataRowSize(layout()), 1));
  auto too_long = EncodeRow(layout(), p);
  ASSERT_FALSE(too_long.ok());
  EXPECT_TRUE(too_long.error().is(ErrorCode::kInvalidArgument));
  p.vars.back().resize(MaxDataRowSize(layout()) - 40);
  EXPECT_TRUE(EncodeRow(layout(), p).ok());
  p.var_part = false;
  EXPECT_FALSE(EncodeRow(layout(), p).ok());  // values but no place for offsets
}

// A source file whose memo / OLE values were laid out by the writer itself.
struct Source {
  explicit Source(const Layout& layout) : sink(layout, 2), writer(sink) {}
  MemoryPageSink sink;
  LongValueWriter writer;
  std::vector<uint8_t> file;
  std::unique_ptr<Pager> pager;

  Bytes Put(uint16_t column, const Bytes& value, bool allow_inline) {
    auto field = writer.Write(column, value, allow_inline);
    EXPECT_TRUE(field.ok());
    return field.ok() ? *field : Bytes{};
  }
  const Pager& Close() {
    EXPECT_TRUE(writer.Finish().ok());
    file = sink.bytes();
    pager = std::make_unique<Pager>(FileSource::FromSpan(file), sink.layout().page_size, 0);
    return *pager;
  }
};

TEST_P(RowVersions, RewrittenRowsCarryTheirLongValuesIntoTheCopy) {
  TableDef t = Def(v(), Spec());
  Source source(layout());
  std::mt19937 rng(11);
  struct Case {
    Bytes memo, ole;
    size_t text;  // length of A
    bool memo_null;
  };
  const size_t big = ChainPieceData(layout()) * 2 + 77;
  std::vector<Case> cases = {
      {Text(5, 'm'), Text(0, 'o'), 10, false},
      {Text(64, 'm'), Text(65, 'o'), 10, false},
      {Text(900, 'm'), Text(big, 'o'), 200, false},
      {Text(0, 'm'), Text(30, 'o'), 10, true},
      // A row already near the cap: the short memo cannot stay inline.
      {Text(50, 'm'), Text(3, 'o'), 10, false},
  };
  for (auto& c : cases) {
    for (auto& byte : c.ole) byte = static_cast<uint8_t>(rng());
  }
  std::vector<Bytes> rows;
  for (const Case& c : cases) {
    jet_test::RowSpec r;
    r.columns = 7;
    r.fixed = jet_test::Le32Bytes(static_cast<uint32_t>(rows.size()));
    // Source values stored off the row where allowed, so the rewrite has to
    // fetch every one of them from the source pages.
    Bytes memo = source.Put(3, c.memo, false);
    Bytes ole = source.Put(4, c.ole, c.ole.size() < 40);
    r.vars = {Text(c.text, 'a'), Text(3, 'b'), Text(2, 'x'), memo, ole};
    r.present = {0, 1, 2, 4, 6};
    if (!c.memo_null) r.present.push_back(3);
    rows.push_back(jet_test::BuildRow(v(), r));
  }
  // The last case: B as wide as a source row with the 50-byte memo inline
  // allows; the copy's cap leaves no room for the memo inline.
  {
    jet_test::RowSpec r;
    r.columns = 7;
    r.fixed = jet_test::Le32Bytes(99);
    Bytes memo = source.Put(3, cases.back().memo, true);
    ASSERT_EQ(memo.size(), 12 + cases.back().memo.size());  // inline in the source
    r.present = {0, 1, 2, 3};
    for (size_t wide = MaxDataRowSize(layout());; --wide) {
      r.vars = {Text(10, 'a'), Text(wide, 'b'), Text(0, 'x'), memo, Bytes{}};
      rows.back() = jet_test::BuildRow(v(), r);
      if (rows.back().size() <= MaxDataRowSize(layout())) break;
    }
  }
  const Pager& pager = source.Close();

  MemoryPageSink copy(layout(), 2);
  LongValueWriter long_values(copy);
  DataPageBuilder data(copy, 9);
  RowRewriter rewriter(t, layout(), pager, long_values);
  std::vector<std::pair<Bytes, Bytes>> results;  // source row, new row
  for (const Bytes& row : rows) {
    auto out = rewriter.Rewrite(row);
    ASSERT_TRUE(out.ok()) << out.error().ToString();
    ASSERT_TRUE(data.Add(*out).ok());
    results.emplace_back(row, *out);
  }
  ASSERT_TRUE(long_values.Finish().ok());
  ASSERT_TRUE(data.Finish().ok());
  std::vector<uint8_t> file = copy.bytes();
  Pager copy_pager(FileSource::FromSpan(file), layout().page_size, 0);

  RowDecoder before(t, layout()), after(t, layout());
  for (size_t i = 0; i < results.size(); ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(before.Decode(results[i].first).ok());
    ASSERT_TRUE(after.Decode(results[i].second).ok());
    EXPECT_EQ(after.row_column_count(), before.row_column_count());
    EXPECT_LE(results[i].second.size(), NewRowSizeCap(layout()));
    for (size_t k = 0; k < t.columns.size(); ++k) {
      const FieldRef& a = before.fields()[k];
      const FieldRef& b = after.fields()[k];
      ASSERT_EQ(a.present, b.present) << t.columns[k].name;
      if (!t.columns[k].is_long_value()) {
        EXPECT_EQ(Bytes(a.bytes.begin(), a.bytes.end()), Bytes(b.bytes.begin(), b.bytes.end()));
        continue;
      }
      if (!a.present) continue;
      std::vector<uint8_t> old_value, new_value;
      ASSERT_TRUE(ReadLongValue(pager, layout(), a.bytes, old_value).ok());
      Status s = ReadLongValue(copy_pager, layout(), b.bytes, new_value);
      ASSERT_TRUE(s.ok()) << s.error().ToString();
      EXPECT_EQ(new_value, old_value) << t.columns[k].name;
      auto h = DecodeLongValueHeader(b.bytes);
      ASSERT_TRUE(h.ok());
      // Short values move inline unless the row has no room for them.
      bool near_cap = i + 1 == results.size();
      bool expect_inline = old_value.size() <= kInlineLimit && !near_cap;
      EXPECT_EQ(h->kind == LongValueKind::kInline, expect_inline) << t.columns[k].name;
    }
  }

  // A row without long values comes back exactly as it was.
  jet_test::RowSpec plain;
  plain.columns = 7;
  plain.fixed = jet_test::Le32Bytes(5);
  plain.vars = {Text(4, 'a'), Text(0, 'b'), Text(0, 'x'), Bytes{}, Bytes{}};
  plain.present = {0, 1};
  Bytes plain_row = jet_test::BuildRow(v(), plain);
  plain_row.insert(plain_row.begin() + static_cast<ptrdiff_t>(layout().row_count_size + 8), 3, 0);
  MemoryPageSink other(layout());
  LongValueWriter other_values(other);
  RowRewriter plain_rewriter(t, layout(), pager, other_values);
  auto same = plain_rewriter.Rewrite(plain_row);
  ASSERT_TRUE(same.ok());
  EXPECT_EQ(*same, plain_row);
}

TEST_P(RowVersions, RewrittenChainsKeepTheSourcesUnknownField) {
  TableDef t = Def(v(), Spec());
  Source source(layout());
  Bytes value(ChainPieceData(layout()) * 2, 'c');
  size_t at = 0;
  auto memo = source.writer.Write(
      3, static_cast<uint32_t>(value.size()),
      [&](std::span<uint8_t> out) {
        std::copy_n(value.begin() + static_cast<ptrdiff_t>(at), out.size(), out.begin());
        at += out.size();
        return Status::Ok();
      },
      true, 0x00C0FFEE);
  ASSERT_TRUE(memo.ok());
  const Pager& pager = source.Close();
  jet_test::RowSpec r;
  r.columns = 7;
  r.fixed = jet_test::Le32Bytes(1);
  r.vars = {Bytes{}, Bytes{}, Bytes{}, *memo, Bytes{}};
  r.present = {0, 3};
  MemoryPageSink copy(layout());
  LongValueWriter long_values(copy);
  RowRewriter rewriter(t, layout(), pager, long_values);
  auto out = rewriter.Rewrite(jet_test::BuildRow(v(), r));
  ASSERT_TRUE(out.ok());
  RowDecoder decoder(t, layout());
  ASSERT_TRUE(decoder.Decode(*out).ok());
  auto h = DecodeLongValueHeader(decoder.fields()[3].bytes);
  ASSERT_TRUE(h.ok());
  EXPECT_EQ(h->kind, LongValueKind::kChain);
  EXPECT_EQ(h->extra, 0x00C0FFEEu);
}

TEST_P(RowVersions, DamagedSourceLongValuesNameTheColumn) {
  TableDef t = Def(v(), Spec());
  Source source(layout());
  Bytes memo = source.Put(3, Text(500, 'm'), false);
  const Pager& pager = source.Close();
  // Point the memo at page 0, which is no LVAL page.
  Bytes bad = memo;
  jet_test::Put32(bad.data() + 4, 0);
  jet_test::RowSpec r;
  r.columns = 7;
  r.fixed = jet_test::Le32Bytes(1);
  r.vars = {Text(1, 'a'), Bytes{}, Bytes{}, bad, Bytes{}};
  r.present = {0, 1, 3};
  MemoryPageSink copy(layout());
  LongValueWriter long_values(copy);
  RowRewriter rewriter(t, layout(), pager, long_values);
  auto out = rewriter.Rewrite(jet_test::BuildRow(v(), r));
  ASSERT_FALSE(out.ok());
  EXPECT_TRUE(out.error().is(ErrorCode::kDamaged));
  EXPECT_NE(out.error().description().find("column M"), std::string::npos)
      << out.error().description();
  // A memo field shorter than its header.
  r.vars[3] = Bytes(5, 0);
  out = rewriter.Rewrite(jet_test::BuildRow(v(), r));
  ASSERT_FALSE(out.ok());
  EXPECT_TRUE(out.error().is(ErrorCode::kDamaged));
}

}  // namespace
}  // namespace engine
