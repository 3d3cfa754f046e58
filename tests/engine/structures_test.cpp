// Decoders of single structures from hand-built bytes: Jet 3 rows with jump
// tables, rows without a variable part, usage maps of both types, index
// pages and trees, property blobs.
#include <gtest/gtest.h>

#include "format/index_page.h"
#include "format/properties.h"
#include "format/row.h"
#include "format/usage_map.h"
#include "jet_builder.h"

namespace engine {
namespace {

using jet_test::Bytes;
using jet_test::FileBuilder;

TableDef Def(JetVersion v, const jet_test::TableSpec& spec) {
  TextCodec text(v, 1252);
  auto def = DecodeTableDef(jet_test::BuildTableDef(v, spec), LayoutFor(v), text, 9);
  EXPECT_TRUE(def.ok()) << def.error().ToString();
  return def.value();
}

std::string Str(ByteSpan b) {
  return std::string(b.begin(), b.end());
}

TEST(Rows, Jet3JumpTableAcrossSeveralBoundaries) {
  jet_test::TableSpec spec;
  spec.max_cols = 4;
  spec.num_var_cols = 3;
  spec.columns = {{0x04, 0, 0, 0x03, 0, 4, "N"},
                  {0x0A, 1, 0, 0x02, 0, 255, "A"},
                  {0x0A, 2, 1, 0x02, 0, 255, "B"},
                  {0x0A, 3, 2, 0x02, 0, 255, "C"}};
  TableDef t = Def(JetVersion::kJet3, spec);
  RowDecoder decoder(t, LayoutFor(JetVersion::kJet3));
  // Values long enough that offsets pass 256 and 512; lengths around the
  // boundaries make the last jump slot a dummy in some rows.
  for (size_t a_len : {10u, 200u, 245u, 247u, 250u, 251u, 252u, 253u, 255u, 300u, 500u}) {
    for (size_t b_len : {0u, 5u, 240u, 255u}) {
      jet_test::RowSpec r;
      r.columns = 4;
      r.fixed = jet_test::Le32Bytes(7);
      r.vars = {Bytes(a_len, 'a'), Bytes(b_len, 'b'), Bytes(3, 'c')};
      r.present = {0, 1, 2, 3};
      Bytes row = jet_test::BuildRow(JetVersion::kJet3, r);
      SCOPED_TRACE("a=" + std::to_string(a_len) + " b=" + std::to_string(b_len) +
                   " row=" + std::to_string(row.size()));
      Status st = decoder.Decode(row);
      ASSERT_TRUE(st.ok()) << st.error().ToString();
      EXPECT_EQ(decoder.fields()[1].bytes.size(), a_len);
      EXPECT_EQ(decoder.fields()[2].bytes.size(), b_len);
      EXPECT_EQ(Str(decoder.fields()[3].bytes), "ccc");
      EXPECT_EQ(decoder.var_offsets().back(), 5 + a_len + b_len + 3);
    }
  }
}

TEST(Rows, WithoutVariablePartAndWithMissingColumns) {
  for (JetVersion v : {JetVersion::kJet3, JetVersion::kJet4}) {
    jet_test::TableSpec spec;
    spec.max_cols = 3;
    spec.num_var_cols = 0;
    spec.columns = {{0x03, 0, 0, 0x03, 0, 2, "I"},
                    {0x01, 1, 0, 0x03, 0, 1, "B"},
                    {0x02, 2, 0, 0x03, 2, 1, "Y"}};
    TableDef t = Def(v, spec);
    RowDecoder decoder(t, LayoutFor(v));
    jet_test::RowSpec r;
    r.columns = 3;
    r.fixed = {0x34, 0x12, 0x99};
    r.present = {0, 2};
    r.var_part = false;
    Bytes row = jet_test::BuildRow(v, r);  // fields point into it
    ASSERT_TRUE(decoder.Decode(row).ok());
    EXPECT_EQ(decoder.fields()[0].bytes.size(), 2u);
    EXPECT_FALSE(decoder.fields()[1].present);  // Boolean false
    EXPECT_EQ(decoder.fields()[2].bytes[0], 0x99);
    // A row of one column: the others read as NULL / false.
    r.columns = 1;
    r.present = {0, 1};  // bit 1 lies past the row's columns and must be ignored
    r.fixed = {0x01, 0x00};
    row = jet_test::BuildRow(v, r);
    ASSERT_TRUE(decoder.Decode(row).ok());
    EXPECT_TRUE(decoder.fields()[0].present);
    EXPECT_FALSE(decoder.fields()[2].present);
    // A fixed value beyond the row is damage, not a read past the end.
    r.columns = 3;
    r.fixed = {0x01};
    r.present = {0, 2};
    Status st = decoder.Decode(jet_test::BuildRow(v, r));
    ASSERT_FALSE(st.ok());
    EXPECT_NE(st.error().description().find("past the fixed area"), std::string::npos);
    // Rows too short for their own counts.
    EXPECT_FALSE(decoder.Decode(Bytes{}).ok());
    EXPECT_FALSE(decoder.Decode(Bytes{0xFF}).ok());
  }
}

TEST(Rows, OlderThanTheFirstVariableColumn) {
  for (JetVersion v : {JetVersion::kJet3, JetVersion::kJet4}) {
    // Three Longs, then a text column added later (number 3).
    jet_test::TableSpec spec;
    spec.max_cols = 4;
    spec.num_var_cols = 1;
    spec.columns = {{0x04, 0, 0, 0x03, 0, 4, "A"},
                    {0x04, 1, 0, 0x03, 4, 4, "B"},
                    {0x04, 2, 0, 0x03, 8, 4, "C"},
                    {0x0A, 3, 0, 0x02, 0, 50, "Note"}};
    TableDef t = Def(v, spec);
    RowDecoder decoder(t, LayoutFor(v));
    jet_test::RowSpec r;
    r.columns = 3;
    r.fixed = {1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0};
    r.present = {0, 1, 2};
    r.var_part = false;
    Bytes old_row = jet_test::BuildRow(v, r);
    Status st = decoder.Decode(old_row);
    ASSERT_TRUE(st.ok()) << st.error().ToString();
    EXPECT_EQ(decoder.fields()[2].bytes.size(), 4u);
    EXPECT_EQ(decoder.fields()[2].bytes[0], 3);
    EXPECT_FALSE(decoder.fields()[3].present);
    EXPECT_EQ(decoder.row_var_count(), 0);
    EXPECT_FALSE(decoder.row_has_var_part());
    // Split and laid out again, it keeps its form, byte for byte.
    auto parts = SplitRow(t, LayoutFor(v), old_row);
    ASSERT_TRUE(parts.ok()) << parts.error().ToString();
    EXPECT_FALSE(parts->var_part);
    auto encoded = EncodeRow(LayoutFor(v), *parts);
    ASSERT_TRUE(encoded.ok());
    EXPECT_EQ(*encoded, old_row);
    // A row of the current shape still has its trailer.
    r.columns = 4;
    r.present = {0, 1, 2, 3};
    r.vars = {Bytes{'h', 'i'}};
    r.var_part = true;
    Bytes new_row = jet_test::BuildRow(v, r);
    ASSERT_TRUE(decoder.Decode(new_row).ok());
    EXPECT_EQ(Str(decoder.fields()[3].bytes), "hi");
    // No row has no columns, nor more than the table ever had.
    for (uint16_t bad : {uint16_t{0}, uint16_t{5}}) {
      r.columns = bad;
      r.present = {};
      r.vars = {};
      r.var_part = false;
      Bytes row = jet_test::BuildRow(v, r);
      Status damaged = decoder.Decode(row);
      ASSERT_FALSE(damaged.ok()) << bad;
      EXPECT_NE(damaged.error().description().find("column count"), std::string::npos);
    }
  }
}

TEST(Rows, Jet4OffsetsOutOfTheRowAreDamage) {
  jet_test::TableSpec spec;
  spec.max_cols = 1;
  spec.num_var_cols = 1;
  spec.columns = {{0x0A, 0, 0, 0x02, 0, 20, "T"}};
  TableDef t = Def(JetVersion::kJet4, spec);
  RowDecoder decoder(t, LayoutFor(JetVersion::kJet4));
  jet_test::RowSpec r;
  r.columns = 1;
  r.vars = {Bytes{'h', 0, 'i', 0}};
  r.present = {0};
  Bytes row = jet_test::BuildRow(JetVersion::kJet4, r);
  ASSERT_TRUE(decoder.Decode(row).ok());
  EXPECT_EQ(decoder.fields()[0].bytes.size(), 4u);
  Bytes bad = row;
  jet_test::Put16(&bad[bad.size() - 1 - 2 - 4], 200);  // eod far past the row
  EXPECT_FALSE(decoder.Decode(bad).ok());
  bad = row;
  jet_test::Put16(&bad[bad.size() - 1 - 2], 900);  // variable count far too large
  EXPECT_FALSE(decoder.Decode(bad).ok());
}

TEST(UsageMaps, InlineAndReference) {
  FileBuilder f(JetVersion::kJet4, 12);
  f.Header();
  // Page 9: a bitmap page for pages 0..32735 with pages 3 and 10 set.
  f.page(9)[0] = 0x05;
  f.page(9)[1] = 0x01;
  f.page(9)[4] = 0x08;
  f.page(9)[5] = 0x04;
  Bytes reference = {0x01};
  jet_test::Append32(reference, 9);
  jet_test::Append32(reference, 0);
  jet_test::Append32(reference, 0xFFFFFF80);  // junk for a range past the file
  Bytes wrong_type = {0x01};
  jet_test::Append32(wrong_type, 4);
  f.DataPage(4, 0,
             {FileBuilder::InlineMap(8, {8, 11, 20}), reference, wrong_type, Bytes{0x02, 0, 0}});
  Bytes file = f.Finish();
  Pager pager(FileSource::FromSpan(file), 4096, 0);
  const Layout& L = LayoutFor(JetVersion::kJet4);

  auto inline_map = ReadUsageMap(pager, L, {4, 0});
  ASSERT_TRUE(inline_map.ok()) << inline_map.error().ToString();
  EXPECT_EQ(inline_map.value().start_page, 8u);
  EXPECT_EQ(inline_map.value().pages, (std::vector<uint32_t>{8, 11}));
  EXPECT_EQ(inline_map.value().pages_beyond_file, 1u);
  EXPECT_TRUE(inline_map.value().Contains(11));
  EXPECT_FALSE(inline_map.value().Contains(9));

  auto ref = ReadUsageMap(pager, L, {4, 1});
  ASSERT_TRUE(ref.ok()) << ref.error().ToString();
  EXPECT_EQ(ref.value().type, 1);
  EXPECT_EQ(ref.value().pages, (std::vector<uint32_t>{3, 10}));
  EXPECT_EQ(ref.value().bitmap_pages, (std::vector<uint32_t>{9, 0, 0xFFFFFF80}));

  auto bad = ReadUsageMap(pager, L, {4, 2});
  ASSERT_FALSE(bad.ok());
  EXPECT_NE(bad.error().description().find("not a bitmap page"), std::string::npos);
  auto unknown = ReadUsageMap(pager, L, {4, 3});
  ASSERT_FALSE(unknown.ok());
  EXPECT_NE(unknown.error().description().find("page 4 row 3"), std::string::npos);
  auto missing_row = ReadUsageMap(pager, L, {4, 9});
  ASSERT_FALSE(missing_row.ok());
  auto past_file = ReadUsageMap(pager, L, {500, 0});
  ASSERT_FALSE(past_file.ok());
  EXPECT_NE(past_file.error().description().find("beyond the end"), std::string::npos);
}

// Writes an index page: entries are full (key + pointers); stored with the
// first `prefix` bytes of the first entry removed from the later ones.
void IndexPageBytes(FileBuilder& f, uint32_t n, uint8_t type, const std::vector<Bytes>& entries,
                    uint32_t prev, uint32_t next, uint32_t tail, uint16_t prefix = 0) {
  const Layout& L = f.layout();
  uint8_t* p = f.page(n);
  p[0] = type;
  p[1] = 1;
  jet_test::Put32(p + 4, 2);
  jet_test::Put32(p + L.ipage_prev, prev);
  jet_test::Put32(p + L.ipage_next, next);
  jet_test::Put32(p + L.ipage_tail, tail);
  if (L.ipage_prefix_size == 1) {
    p[L.ipage_prefix] = static_cast<uint8_t>(prefix);
  } else {
    jet_test::Put16(p + L.ipage_prefix, prefix);
  }
  p[L.ipage_node_flag] = type == 0x03 ? 1 : 0;
  size_t pos = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    size_t skip = i == 0 ? 0 : prefix;
    std::memcpy(p + L.ipage_entries + pos, entries[i].data() + skip, entries[i].size() - skip);
    pos += entries[i].size() - skip;
    p[L.ipage_bitmask + pos / 8] |= static_cast<uint8_t>(1 << (pos % 8));
  }
  jet_test::Put16(p + 2, static_cast<uint32_t>(L.page_size - L.ipage_entries - pos));
}

Bytes Entry(std::initializer_list<uint8_t> key, uint32_t page, uint8_t row, int64_t child = -1) {
  Bytes e(key);
  e.push_back(static_cast<uint8_t>(page >> 16));
  e.push_back(static_cast<uint8_t>(page >> 8));
  e.push_back(static_cast<uint8_t>(page));
  e.push_back(row);
  if (child >= 0) {
    for (int s = 24; s >= 0; s -= 8) e.push_back(static_cast<uint8_t>(child >> s));
  }
  return e;
}

TEST(Indexes, PagesTreesAndChains) {
  for (JetVersion v : {JetVersion::kJet3, JetVersion::kJet4}) {
    FileBuilder f(v, 8);
    f.Header();
    // Root node 3: one entry for leaf 4, tail leaf 5. Leaves chained 4 <-> 5.
    IndexPageBytes(f, 4, 0x04,
                   {Entry({0x7F, 0x80, 0, 0, 1}, 6, 0), Entry({0x7F, 0x80, 0, 0, 2}, 6, 1)}, 0, 5,
                   0, 4);
    IndexPageBytes(f, 5, 0x04, {Entry({0x7F, 0x80, 0, 0, 3}, 6, 2)}, 4, 0, 0);
    IndexPageBytes(f, 3, 0x03, {Entry({0x7F, 0x80, 0, 0, 2}, 6, 1, 4)}, 0, 0, 5);
    Bytes file = f.Finish();
    Pager pager(FileSource::FromSpan(file), LayoutFor(v).page_size, 0);
    const Layout& L = LayoutFor(v);

    auto leaf = DecodeIndexPage(pager.PageOrThrow(4), L, 4);
    ASSERT_TRUE(leaf.ok()) << leaf.error().ToString();
    EXPECT_EQ(leaf.value().prefix_length, 4);
    ASSERT_EQ(leaf.value().entries.size(), 2u);
    EXPECT_EQ(leaf.value().entries[1].key, (Bytes{0x7F, 0x80, 0, 0, 2}));  // prefix restored
    EXPECT_EQ(leaf.value().entries[1].row, (RowPointer{6, 1}));
    auto node = DecodeIndexPage(pager.PageOrThrow(3), L, 3);
    ASSERT_TRUE(node.ok());
    EXPECT_EQ(node.value().entries[0].child_page, 4u);
    EXPECT_EQ(node.value().child_tail, 5u);

    std::vector<uint8_t> rows;
    ASSERT_TRUE(WalkLeafChain(pager, L, 3, [&](const IndexPage&, const IndexEntry& e) {
                  rows.push_back(e.row.row);
                  return true;
                }).ok());
    EXPECT_EQ(rows, (std::vector<uint8_t>{0, 1, 2}));
    std::vector<std::pair<uint32_t, int>> pages;
    ASSERT_TRUE(WalkTree(pager, L, 3, [&](const IndexPage& p, int depth) {
                  pages.emplace_back(p.number, depth);
                  return true;
                }).ok());
    EXPECT_EQ(pages, (std::vector<std::pair<uint32_t, int>>{{3, 0}, {4, 1}, {5, 1}}));

    // Damage: a leaf chain that loops, a child reached twice, a non-index page.
    Bytes looped = file;
    jet_test::Put32(looped.data() + 5 * L.page_size + L.ipage_next, 4);
    Pager p2(FileSource::FromSpan(looped), L.page_size, 0);
    Status st = WalkLeafChain(p2, L, 3, [](const IndexPage&, const IndexEntry&) { return true; });
    ASSERT_FALSE(st.ok());
    EXPECT_NE(st.error().description().find("loops back to page 4"), std::string::npos);
    Bytes shared = file;
    jet_test::Put32(shared.data() + 3 * L.page_size + L.ipage_tail, 4);
    Pager p3(FileSource::FromSpan(shared), L.page_size, 0);
    st = WalkTree(p3, L, 3, [](const IndexPage&, int) { return true; });
    ASSERT_FALSE(st.ok());
    EXPECT_NE(st.error().description().find("reached twice"), std::string::npos);
    EXPECT_FALSE(WalkTree(pager, L, 6, [](const IndexPage&, int) { return true; }).ok());
    // An entry shorter than its pointers; a prefix longer than the first entry.
    Bytes short_entry = file;
    short_entry[4 * L.page_size + L.ipage_bitmask] = 0x04;  // first entry ends after 2 bytes
    EXPECT_FALSE(
        DecodeIndexPage(ByteSpan(short_entry).subspan(4 * L.page_size, L.page_size), L, 4).ok());
    Bytes long_prefix = file;
    long_prefix[4 * L.page_size + L.ipage_prefix] = 60;
    EXPECT_FALSE(
        DecodeIndexPage(ByteSpan(long_prefix).subspan(4 * L.page_size, L.page_size), L, 4).ok());
  }
}

TEST(Properties, DecodeAndDamage) {
  TextCodec text(JetVersion::kJet4, 1252);
  Bytes blob = {'M', 'R', '2', 0};
  // Name list chunk: "Format", "Caption".
  Bytes names;
  for (const char* n : {"Format", "Caption"}) {
    Bytes u = jet_test::Ucs2(n);
    jet_test::Append16(names, static_cast<uint32_t>(u.size()));
    names.insert(names.end(), u.begin(), u.end());
  }
  jet_test::Append32(blob, static_cast<uint32_t>(6 + names.size()));
  jet_test::Append16(blob, 0x80);
  blob.insert(blob.end(), names.begin(), names.end());
  // Column "Price": Format = "Currency" (text), DDL flag 0.
  Bytes group;
  Bytes obj = jet_test::Ucs2("Price");
  Bytes value = jet_test::Ucs2("Currency");
  jet_test::Append32(group, 0);
  jet_test::Append16(group, static_cast<uint32_t>(obj.size()));
  group.insert(group.end(), obj.begin(), obj.end());
  jet_test::Append16(group, static_cast<uint32_t>(8 + value.size()));
  group.push_back(0);
  group.push_back(0x0A);
  jet_test::Append16(group, 0);
  jet_test::Append16(group, static_cast<uint32_t>(value.size()));
  group.insert(group.end(), value.begin(), value.end());
  jet_test::Append32(blob, static_cast<uint32_t>(6 + group.size()));
  jet_test::Append16(blob, 0x01);
  blob.insert(blob.end(), group.begin(), group.end());

  auto decoded = DecodePropertyBlob(blob, text);
  ASSERT_TRUE(decoded.ok()) << decoded.error().ToString();
  EXPECT_EQ(decoded.value().names, (std::vector<std::string>{"Format", "Caption"}));
  ASSERT_EQ(decoded.value().groups.size(), 1u);
  EXPECT_EQ(decoded.value().groups[0].object_name, "Price");
  ASSERT_EQ(decoded.value().groups[0].properties.size(), 1u);
  EXPECT_EQ(decoded.value().groups[0].properties[0].name, "Format");
  EXPECT_EQ(decoded.value().groups[0].properties[0].value, value);

  Bytes bad_index = blob;
  bad_index[bad_index.size() - value.size() - 4] = 9;  // name index 9
  EXPECT_FALSE(DecodePropertyBlob(bad_index, text).ok());
  Bytes truncated(blob.begin(), blob.end() - 3);
  EXPECT_FALSE(DecodePropertyBlob(truncated, text).ok());
  EXPECT_FALSE(DecodePropertyBlob(Bytes{'X', 'Y', 'Z', 0}, text).ok());
}

}  // namespace
}  // namespace engine
