// The format layer's codecs, one structure at a time: encode, decode, equal;
// then corrupt the bytes and expect the strict decoder's error (3049 with a
// description) or the tolerant view's finding.
#include <gtest/gtest.h>

#include <map>

#include "base/bytes.h"
#include "format/data_page.h"
#include "format/header.h"
#include "format/table_def.h"
#include "format/usage_map.h"
#include "io/page_source.h"
#include "jet_builder.h"

namespace engine {
namespace {

using jet_test::Bytes;

const JetVersion kVersions[] = {JetVersion::kJet3, JetVersion::kJet4};

std::string Name(JetVersion v) {
  return v == JetVersion::kJet3 ? "jet3" : "jet4";
}

// --- Data pages: EncodeDataPage, SlotTable, DecodeDataPage. ---

TEST(FormatCodecs, DataPageRoundTripAndDamagedSlots) {
  for (JetVersion v : kVersions) {
    SCOPED_TRACE(Name(v));
    const Layout& L = LayoutFor(v);
    const Bytes a = {1, 2, 3, 4, 5}, b = {9, 8, 7}, c = {};
    const std::vector<ByteSpan> rows = {a, b, c};
    auto page = EncodeDataPage(L, 77, rows);
    ASSERT_TRUE(page.ok()) << page.error().ToString();

    const SlotTable slots(page.value(), L);
    EXPECT_TRUE(slots.is_data_page());
    EXPECT_EQ(slots.owner(), 77u);
    ASSERT_EQ(slots.count(), 3u);
    EXPECT_TRUE(slots.addressable());
    for (uint32_t i = 0; i < 3; ++i) {
      EXPECT_TRUE(slots.in_bounds(i)) << i;
      EXPECT_TRUE(slots.live(i)) << i;
      ByteSpan got = slots.bytes(i);
      EXPECT_EQ(Bytes(got.begin(), got.end()), Bytes(rows[i].begin(), rows[i].end())) << i;
    }
    EXPECT_EQ(slots.undeleted_count(), 3u);
    EXPECT_EQ(slots.free_space(), slots.lowest_row_start() - slots.table_end());

    auto strict = DecodeDataPage(page.value(), L, 5);
    ASSERT_TRUE(strict.ok()) << strict.error().ToString();
    ASSERT_EQ(strict->slots.size(), 3u);
    EXPECT_EQ(strict->owner, 77u);
    EXPECT_EQ(strict->free_space, slots.free_space());
    for (uint32_t i = 0; i < 3; ++i) {
      EXPECT_EQ(strict->slots[i].start, slots.start(i));
      EXPECT_EQ(strict->slots[i].end, slots.end(i));
      EXPECT_TRUE(strict->slots[i].in_bounds);
    }

    // Row 1's entry pointed into the offset table, deleted flag set on row 0:
    // both views flag the slot, the tolerant one bounds row 2 by the
    // nearest start above it.
    std::vector<uint8_t> bad = page.value();
    PutSlotEntry(L, bad, 0, static_cast<uint16_t>(slots.raw(0) | kRowDeletedFlag));
    PutSlotEntry(L, bad, 1, static_cast<uint16_t>(L.data_header_size));
    const SlotTable damaged(bad, L);
    EXPECT_TRUE(damaged.deleted(0));
    EXPECT_FALSE(damaged.in_bounds(1));
    EXPECT_TRUE(damaged.bytes(1).empty());
    EXPECT_FALSE(damaged.starts_in_row_area(1));
    EXPECT_FALSE(damaged.in_bounds(2));  // its end is row 1's wild start
    // Row 2 (empty) started where row 1 did: the nearest start above it is
    // row 0's, so the tolerant reading gives row 1's old bytes.
    ByteSpan nearest = damaged.nearest_bytes(2);
    EXPECT_EQ(Bytes(nearest.begin(), nearest.end()), b);
    EXPECT_EQ(damaged.undeleted_count(), 2u);
    auto flagged = DecodeDataPage(bad, L, 5);
    ASSERT_TRUE(flagged.ok());
    EXPECT_FALSE(flagged->slots[1].in_bounds);

    // A row count whose table does not fit: the strict decoder refuses the
    // page, the view says it does not fit (and reads no slot).
    std::vector<uint8_t> huge = page.value();
    Put16(huge.data() + L.data_row_count_offset, L.page_size);
    auto refused = DecodeDataPage(huge, L, 5);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().number(), 3049);
    EXPECT_NE(refused.error().description().find("does not fit the page"), std::string::npos)
        << refused.error().description();
    const SlotTable too_many(huge, L);
    EXPECT_FALSE(too_many.fits());
    EXPECT_FALSE(too_many.has(0));
    EXPECT_EQ(too_many.undeleted_count(), 0u);

    // Cut short at the end of the file: rows past the valid bytes are out.
    const SlotTable cut(page.value(), L, L.page_size - 2);
    EXPECT_FALSE(cut.in_bounds(0));
    EXPECT_TRUE(cut.in_bounds(2));
  }
}

TEST(FormatCodecs, SlotTableCountsPastWhatRowPointersAddress) {
  const Layout& L = LayoutFor(JetVersion::kJet4);
  std::vector<uint8_t> page(L.page_size, 0);
  PutDataPageHeader(L, page, 9, kRowPointerSlots + 1, 0);
  for (uint32_t i = 0; i <= kRowPointerSlots; ++i) {
    PutSlotEntry(L, page, i, static_cast<uint16_t>(L.page_size - i));
  }
  const SlotTable slots(page, L);
  EXPECT_TRUE(slots.fits());
  EXPECT_FALSE(slots.addressable());
  std::vector<ByteSpan> rows(kMaxRowsPerDataPage + 1);
  auto too_many = EncodeDataPage(L, 9, rows);
  ASSERT_FALSE(too_many.ok());
  EXPECT_EQ(too_many.error().number(), 3001);
}

// --- Page 0: EncodeHeader, DecodeHeader. ---

TEST(FormatCodecs, HeaderRoundTripAndDamage) {
  for (JetVersion v : kVersions) {
    SCOPED_TRACE(Name(v));
    DatabaseHeader h;
    h.version = v;
    h.code_page = 1252;
    h.sort_order = 0x0409;
    h.database_key = 0x12345678;
    h.password = "s3cret";
    if (v == JetVersion::kJet4) {
      h.sort_order_version = 1;
      h.creation_date = 45000.25;
    }
    std::vector<uint8_t> page = EncodeHeader(h);
    ASSERT_EQ(page.size(), LayoutFor(v).page_size);
    ApplyHeaderMask(page.data(), page.size(), v);
    auto decoded = DecodeHeader(page);
    ASSERT_TRUE(decoded.ok()) << decoded.error().ToString();
    EXPECT_EQ(decoded->version, v);
    EXPECT_EQ(decoded->code_page, 1252);
    EXPECT_EQ(decoded->sort_order, 0x0409);
    EXPECT_EQ(decoded->database_key, 0x12345678u);
    EXPECT_EQ(decoded->password, "s3cret");
    EXPECT_TRUE(decoded->password_plausible);
    EXPECT_EQ(decoded->sort_order_version, h.sort_order_version);
    EXPECT_EQ(decoded->creation_date, h.creation_date);
    // Encoding what was decoded gives the same page.
    DatabaseHeader again = decoded.value();
    std::vector<uint8_t> page2 = EncodeHeader(again);
    ApplyHeaderMask(page2.data(), page2.size(), v);
    EXPECT_EQ(page2, page);

    // A byte of the password field changed: no longer text Access writes.
    std::vector<uint8_t> garbled = page;
    garbled[LayoutFor(v).header_password + LayoutFor(v).header_password_length - 1] ^= 0x5A;
    auto odd = DecodeHeader(garbled);
    ASSERT_TRUE(odd.ok());
    EXPECT_FALSE(odd->password_plausible);

    std::vector<uint8_t> foreign = page;
    foreign[4] = 'X';
    auto refused = DecodeHeader(foreign);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().number(), 3343);
    EXPECT_FALSE(refused.error().description().empty());
  }
}

// --- Table definitions: EncodeTableDef, DecodeTableDef, SplitTableDef. ---

jet_test::TableSpec SampleSpec() {
  jet_test::TableSpec spec;
  spec.max_cols = 3;
  spec.num_var_cols = 2;
  spec.num_rows = 12;
  spec.owned_map = (40u << 8) | 1;
  spec.free_map = (40u << 8) | 2;
  spec.columns = {{0x04, 0, 0, 0x13, 0, 4, "Id"},
                  {0x0A, 1, 0, 0x12, 0, 100, "Name"},
                  {0x0C, 2, 1, 0x12, 0, 0, "Notes"}};
  spec.index_columns = {0};
  spec.index_root = 33;
  spec.index_map = (40u << 8) | 3;
  spec.lv_maps = {{2, (41u << 8) | 0, (41u << 8) | 1}};
  return spec;
}

TEST(FormatCodecs, TableDefRoundTripAndDamage) {
  for (JetVersion v : kVersions) {
    SCOPED_TRACE(Name(v));
    const Layout& L = LayoutFor(v);
    TextCodec text(v, 1252);
    const Bytes built = jet_test::BuildTableDef(v, SampleSpec());
    auto def = DecodeTableDef(built, L, text, 9);
    ASSERT_TRUE(def.ok()) << def.error().ToString();

    // Decoded and encoded again: the same bytes.
    auto same = EncodeTableDef(def.value(), L);
    ASSERT_TRUE(same.ok()) << same.error().ToString();
    EXPECT_EQ(same.value(), Bytes(built.begin(), built.begin() + def->parsed_length));

    // From the values alone (no raw bytes): what a fresh definition holds.
    TableDef fresh = def.value();
    fresh.raw.clear();
    for (ColumnDef& c : fresh.columns) c.raw.clear();
    for (PhysicalIndex& pi : fresh.physical_indexes) {
      pi.raw.clear();
      pi.raw_counts.clear();
    }
    for (LogicalIndex& li : fresh.logical_indexes) li.raw.clear();
    fresh.num_rows = 99;
    fresh.physical_indexes[0].root_page = 44;
    auto encoded = EncodeTableDef(fresh, L);
    ASSERT_TRUE(encoded.ok()) << encoded.error().ToString();
    auto back = DecodeTableDef(encoded.value(), L, text, 9);
    ASSERT_TRUE(back.ok()) << back.error().ToString();
    EXPECT_EQ(back->num_rows, 99u);
    EXPECT_EQ(back->tdef_len, encoded.value().size());
    ASSERT_EQ(back->columns.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
      EXPECT_EQ(back->columns[i].name, def->columns[i].name);
      EXPECT_EQ(back->columns[i].type, def->columns[i].type);
      EXPECT_EQ(back->columns[i].number, def->columns[i].number);
      EXPECT_EQ(back->columns[i].length, def->columns[i].length);
      EXPECT_EQ(back->columns[i].flags, def->columns[i].flags);
      EXPECT_EQ(back->columns[i].sort_order, def->columns[i].sort_order);
    }
    ASSERT_EQ(back->physical_indexes.size(), 1u);
    EXPECT_EQ(back->physical_indexes[0].root_page, 44u);
    EXPECT_EQ(back->physical_indexes[0].columns.size(), 1u);
    EXPECT_EQ(back->physical_indexes[0].map.ToLe(), def->physical_indexes[0].map.ToLe());
    ASSERT_EQ(back->logical_indexes.size(), 1u);
    EXPECT_EQ(back->logical_indexes[0].name, "PrimaryKey");
    ASSERT_EQ(back->long_value_maps.size(), 1u);
    EXPECT_EQ(back->long_value_maps[0].owned_map.ToLe(), (41u << 8) | 0);
    if (v == JetVersion::kJet4) {
      EXPECT_EQ(Le32(encoded.value().data() + L.tdef_constant), kJet4TdefConstant);
      EXPECT_EQ(Le32(back->physical_indexes[0].raw.data() + L.pidx_constant),
                kJet4PhysicalIndexConstant);
    }

    // Over two pages and back.
    const std::vector<uint32_t> chain = {9, 10};
    auto pages = SplitTableDef(same.value(), chain, L);
    ASSERT_EQ(pages.size(), 2u);
    EXPECT_EQ(Le32(pages[0].data() + L.tdef_next_page), 10u);
    EXPECT_EQ(Le32(pages[1].data() + L.tdef_next_page), 0u);

    // A column count the definition cannot hold: the strict decoder's error.
    Bytes corrupt = built;
    Put16(corrupt.data() + L.tdef_num_cols, 0x7FFF);
    auto refused = DecodeTableDef(corrupt, L, text, 9);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().number(), 3049);
    EXPECT_NE(refused.error().description().find("columns do not fit"), std::string::npos)
        << refused.error().description();

    // Raw bytes of the wrong size are the caller's mistake.
    TableDef wrong = def.value();
    wrong.columns[0].raw.pop_back();
    auto mistake = EncodeTableDef(wrong, L);
    ASSERT_FALSE(mistake.ok());
    EXPECT_EQ(mistake.error().number(), 3001);
  }
}

// --- Usage maps: both forms. ---

TEST(FormatCodecs, UsageMapsRoundTripAndDamage) {
  for (JetVersion v : kVersions) {
    SCOPED_TRACE(Name(v));
    const Layout& L = LayoutFor(v);
    const uint32_t file_pages = 3 * L.pages_per_bitmap_page();
    std::map<uint32_t, std::vector<uint8_t>> store;
    // Pages from `store`, zeros where it has none.
    struct StorePages : PageSource {
      std::map<uint32_t, std::vector<uint8_t>>& store;
      uint32_t size, count;
      StorePages(std::map<uint32_t, std::vector<uint8_t>>& s, uint32_t z, uint32_t c)
          : store(s), size(z), count(c) {}
      uint32_t page_size() const override { return size; }
      uint32_t page_count() const override { return count; }
      ByteSpan PageOrThrow(uint32_t n) const override {
        if (n >= count) ThrowPageBeyondEnd(n, count);
        auto it = store.find(n);
        if (it == store.end()) it = store.emplace(n, std::vector<uint8_t>(size, 0)).first;
        return it->second;
      }
    } pages(store, L.page_size, file_pages);

    const std::vector<uint32_t> listed = {16, 17, 40, 16 + 8 * 64 - 1};
    auto inline_row = EncodeInlineUsageMap(L, 16, 64, listed);
    ASSERT_TRUE(inline_row.ok()) << inline_row.error().ToString();
    auto inline_map = DecodeUsageMap(pages, L, inline_row.value());
    ASSERT_TRUE(inline_map.ok()) << inline_map.error().ToString();
    EXPECT_EQ(inline_map->type, kInlineUsageMap);
    EXPECT_EQ(inline_map->start_page, 16u);
    EXPECT_EQ(inline_map->pages, listed);
    EXPECT_FALSE(EncodeInlineUsageMap(L, 16, 64, std::vector<uint32_t>{8}).ok());

    // Reference form: bitmap pages 7 (pages 0..R-1) and 8 (2R..3R-1).
    const uint32_t R = L.pages_per_bitmap_page();
    std::vector<uint8_t> first = EmptyBitmapPage(L), third = EmptyBitmapPage(L);
    SetMapBit(first.data() + L.map_bitmap_page_data, 5);
    SetMapBit(third.data() + L.map_bitmap_page_data, 1);
    store[7] = first;
    store[8] = third;
    const std::vector<uint32_t> pointers = {7, 0, 8};
    auto ref_row = EncodeReferenceUsageMap(L, StandardUsageMapRowSize(L), pointers);
    ASSERT_TRUE(ref_row.ok());
    EXPECT_EQ(ref_row->size(), StandardUsageMapRowSize(L));
    auto ref_map = DecodeUsageMap(pages, L, ref_row.value());
    ASSERT_TRUE(ref_map.ok()) << ref_map.error().ToString();
    EXPECT_EQ(ref_map->type, kReferenceUsageMap);
    EXPECT_EQ(ref_map->pages, (std::vector<uint32_t>{5, 2 * R + 1}));
    EXPECT_EQ(ref_map->bitmap_pages[0], 7u);
    EXPECT_EQ(ref_map->bitmap_pages[2], 8u);
    const std::vector<uint32_t> too_many(ReferenceMapSlots(L, StandardUsageMapRowSize(L)) + 1, 7);
    EXPECT_FALSE(EncodeReferenceUsageMap(L, StandardUsageMapRowSize(L), too_many).ok());

    // A bitmap page of the wrong type, an unknown map type.
    store[8][0] = static_cast<uint8_t>(PageType::kData);
    auto wrong_page = DecodeUsageMap(pages, L, ref_row.value());
    ASSERT_FALSE(wrong_page.ok());
    EXPECT_EQ(wrong_page.error().number(), 3049);
    EXPECT_NE(wrong_page.error().description().find("not a bitmap page"), std::string::npos);
    std::vector<uint8_t> unknown = inline_row.value();
    unknown[0] = 7;
    auto refused = DecodeUsageMap(pages, L, unknown);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().number(), 3049);
    EXPECT_NE(refused.error().description().find("unknown usage map type"), std::string::npos);
  }
}

}  // namespace
}  // namespace engine
