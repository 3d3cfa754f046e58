// The writer's page builders, checked by the reader's decoders: data pages
// (DecodeDataPage), usage maps (DecodeUsageMap / ReadUsageMap), long values
// (ReadLongValue), rows (RowDecoder, and the independent jet_builder rows).
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>

#include "base/bytes.h"
#include "format/long_value.h"
#include "format/row.h"
#include "format/usage_map.h"
#include "jet_builder.h"
#include "writer/data_page_builder.h"
#include "writer/long_value_writer.h"
#include "writer/memory_page_sink.h"
#include "writer/row_rewriter.h"
#include "writer/usage_map_builder.h"

namespace engine {
namespace {

using jet_test::Bytes;

class Versions : public ::testing::TestWithParam<JetVersion> {
 protected:
  const Layout& layout() const { return LayoutFor(GetParam()); }
};

INSTANTIATE_TEST_SUITE_P(Jet, Versions, ::testing::Values(JetVersion::kJet3, JetVersion::kJet4),
                         [](const ::testing::TestParamInfo<JetVersion>& p) {
                           return p.param == JetVersion::kJet3 ? std::string("Jet3")
                                                               : std::string("Jet4");
                         });

Pager PagerOver(const MemoryPageSink& sink, std::vector<uint8_t>& keep) {
  keep = sink.bytes();
  return Pager(FileSource::FromSpan(keep), sink.layout().page_size, 0);
}

Bytes Pattern(size_t n, uint32_t seed) {
  Bytes b(n);
  std::mt19937 rng(seed);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

// A sink whose writes fail from the given page on, as a full disk would.
class FailingSink : public MemoryPageSink {
 public:
  FailingSink(const Layout& layout, uint32_t fail_from)
      : MemoryPageSink(layout), fail_(fail_from) {}
  Status WritePage(uint32_t number, ByteSpan bytes) override {
    if (number >= fail_) return Error(ErrorCode::kDiskFull, "no space left");
    return MemoryPageSink::WritePage(number, bytes);
  }

 private:
  uint32_t fail_;
};

// Keeps only the pages written, for maps of large page numbers.
class RecordingSink : public PageSink {
 public:
  RecordingSink(const Layout& layout, uint32_t next) : layout_(layout), next_(next) {}
  const Layout& layout() const override { return layout_; }
  uint32_t AllocatePage() override { return next_++; }
  Status WritePage(uint32_t number, ByteSpan bytes) override {
    pages[number].assign(bytes.begin(), bytes.end());
    return Status::Ok();
  }
  uint32_t next() const { return next_; }
  std::map<uint32_t, Bytes> pages;

 private:
  const Layout& layout_;
  uint32_t next_;
};

// The pages a reference map row lists, read by hand from the recorded bitmap pages.
std::vector<uint32_t> ReferencePages(const RecordingSink& sink, const std::vector<uint8_t>& row) {
  const uint32_t R = sink.layout().pages_per_bitmap_page();
  std::vector<uint32_t> out;
  for (size_t i = 0; i < (row.size() - 1) / 4; ++i) {
    uint32_t number = Le32(row.data() + 1 + 4 * i);
    if (number == 0) continue;
    const Bytes& page = sink.pages.at(number);
    EXPECT_EQ(page[0], 0x05);
    EXPECT_EQ(page[1], 0x01);
    for (uint32_t k = 0; k < R; ++k) {
      if ((page[4 + k / 8] >> (k % 8)) & 1) out.push_back(static_cast<uint32_t>(i * R + k));
    }
  }
  return out;
}

// ---------------------------------------------------------------- data pages

TEST_P(Versions, DataPagesHoldExactlyTheRowsAddedPackedFromTheEnd) {
  MemoryPageSink sink(layout(), 3);  // pages 0-2 belong to someone else
  DataPageBuilder builder(sink, 0x1234);
  std::mt19937 rng(7);
  std::vector<std::pair<RowPointer, Bytes>> added;
  for (int i = 0; i < 700; ++i) {
    size_t len = rng() % 5 == 0 ? rng() % 900 : rng() % 60;
    Bytes row = Pattern(len, static_cast<uint32_t>(i));
    auto at = builder.Add(row);
    ASSERT_TRUE(at.ok()) << at.error().ToString();
    added.emplace_back(*at, std::move(row));
  }
  ASSERT_TRUE(builder.Finish().ok());
  EXPECT_EQ(builder.rows_added(), 700u);

  std::vector<uint8_t> file;
  Pager pager = PagerOver(sink, file);
  std::map<uint32_t, DataPage> pages;
  for (const auto& w : builder.pages()) {
    ASSERT_TRUE(sink.written(w.number));
    auto dp = DecodeDataPage(pager.PageOrThrow(w.number), layout(), w.number);
    ASSERT_TRUE(dp.ok()) << dp.error().ToString();
    EXPECT_EQ(dp->owner, 0x1234u);
    EXPECT_EQ(dp->extra, 0u);
    EXPECT_EQ(dp->free_space, w.free_space);
    EXPECT_EQ(dp->slots.size(), w.rows);
    // The free space is the gap between the offset table and the lowest row,
    // and every byte of the gap is zero.
    uint32_t table_end = layout().data_header_size + 2 * static_cast<uint32_t>(dp->slots.size());
    uint32_t low = dp->slots.empty() ? layout().page_size : dp->slots.back().start;
    EXPECT_EQ(dp->free_space, low - table_end);
    ByteSpan page = pager.PageOrThrow(w.number);
    for (uint32_t b = table_end; b < low; ++b) ASSERT_EQ(page[b], 0) << "byte " << b;
    for (const RowSlot& s : dp->slots) {
      EXPECT_TRUE(s.live());
      EXPECT_TRUE(s.in_bounds);
    }
    pages.emplace(w.number, std::move(dp.value()));
  }
  EXPECT_GE(pages.begin()->first, 3u);
  // Every row is where Add said, with its bytes; pages are filled in order
  // and a page was closed only when the next row did not fit it.
  for (size_t i = 0; i < added.size(); ++i) {
    const auto& [at, bytes] = added[i];
    ASSERT_TRUE(pages.count(at.page));
    const RowSlot& s = pages.at(at.page).slots.at(at.row);
    ByteSpan page = pager.PageOrThrow(at.page);
    ASSERT_EQ(Bytes(page.begin() + s.start, page.begin() + s.end), bytes) << "row " << i;
    if (i + 1 < added.size() && added[i + 1].first.page != at.page) {
      EXPECT_EQ(added[i + 1].first.row, 0);
      EXPECT_LT(pages.at(at.page).free_space, added[i + 1].second.size() + 2);
    }
  }
}

TEST_P(Versions, DataPageLimits) {
  MemoryPageSink sink(layout());
  DataPageBuilder builder(sink, 9);
  // The largest row fills an empty page; one byte more fits no page.
  auto big = builder.Add(Bytes(MaxDataRowSize(layout()), 0xAB));
  ASSERT_TRUE(big.ok());
  auto too_big = builder.Add(Bytes(MaxDataRowSize(layout()) + 1, 1));
  ASSERT_FALSE(too_big.ok());
  EXPECT_TRUE(too_big.error().is(ErrorCode::kDamaged));
  // Tiny rows: a page takes 255 slots, then the next page starts.
  for (int i = 0; i < 300; ++i) ASSERT_TRUE(builder.Add(Bytes{static_cast<uint8_t>(i)}).ok());
  ASSERT_TRUE(builder.Finish().ok());
  ASSERT_EQ(builder.pages().size(), 3u);
  EXPECT_EQ(builder.pages()[0].free_space, 0);
  EXPECT_EQ(builder.pages()[1].rows, kMaxRowsPerDataPage);
  EXPECT_EQ(builder.pages()[2].rows, 300 - kMaxRowsPerDataPage);
  // Near the end of what a row pointer can name: the last page still takes
  // rows, the next one is refused.
  RecordingSink far(layout(), kMaxRowPointerPage);
  DataPageBuilder last(far, 9);
  auto fits = last.Add(Bytes(MaxDataRowSize(layout()), 1));
  ASSERT_TRUE(fits.ok());
  EXPECT_EQ(fits->page, kMaxRowPointerPage);
  auto beyond = last.Add(Bytes(10, 1));
  ASSERT_FALSE(beyond.ok());
  EXPECT_TRUE(beyond.error().is(ErrorCode::kInvalidArgument));
  // Finish leaves the builder usable, the next row opening a fresh page.
  auto again = builder.Add(Bytes(5, 5));
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(again->page, 3u);
  EXPECT_EQ(again->row, 0);
}

TEST_P(Versions, ReservedRowsMustBeFilledWithTheirLength) {
  MemoryPageSink sink(layout());
  DataPageBuilder builder(sink, kLvalOwner);
  auto at = builder.Reserve(10);
  ASSERT_TRUE(at.ok());
  EXPECT_FALSE(builder.Fill(*at, Bytes(9, 1)).ok());
  EXPECT_FALSE(builder.Fill(RowPointer{at->page, 1}, Bytes(10, 1)).ok());
  // An unfilled row would leave zeros where data belongs: refused.
  Status unfinished = builder.Finish();
  ASSERT_FALSE(unfinished.ok());
  EXPECT_FALSE(sink.written(at->page));

  DataPageBuilder second(sink, kLvalOwner);
  auto r = second.Reserve(4);
  ASSERT_TRUE(second.Add(Bytes(3, 3)).ok());
  ASSERT_TRUE(second.Fill(*r, Bytes{1, 2, 3, 4}).ok());
  EXPECT_FALSE(second.Fill(*r, Bytes{1, 2, 3, 4}).ok());  // only once
  ASSERT_TRUE(second.Finish().ok());
  std::vector<uint8_t> file;
  Pager pager = PagerOver(sink, file);
  ByteSpan page = pager.PageOrThrow(r->page);
  EXPECT_EQ(Bytes(page.end() - 4, page.end()), (Bytes{1, 2, 3, 4}));
}

TEST_P(Versions, SinkFailuresComeBackFromAdd) {
  FailingSink sink(layout(), 0);
  DataPageBuilder builder(sink, 9);
  Status last;
  for (int i = 0; i < 20 && last.ok(); ++i) {
    auto at = builder.Add(Bytes(1000, 1));
    if (!at.ok()) last = at.error();
  }
  ASSERT_FALSE(last.ok());
  EXPECT_TRUE(last.error().is(ErrorCode::kDiskFull));
}

TEST_P(Versions, EncodeDataPageRefusesWhatDoesNotFit) {
  Bytes half(layout().page_size / 2, 1);
  std::vector<ByteSpan> rows = {half, half};
  EXPECT_FALSE(EncodeDataPage(layout(), 0, rows).ok());
  std::vector<ByteSpan> many(kMaxRowsPerDataPage + 1);
  EXPECT_FALSE(EncodeDataPage(layout(), 0, many).ok());
  many.pop_back();
  auto page = EncodeDataPage(layout(), 0, many);
  ASSERT_TRUE(page.ok());
  auto dp = DecodeDataPage(*page, layout(), 5);
  ASSERT_TRUE(dp.ok());
  EXPECT_EQ(dp->slots.size(), kMaxRowsPerDataPage);
  EXPECT_EQ(dp->free_space, DataPageFreeSpace(layout(), kMaxRowsPerDataPage, 0));
}

// ---------------------------------------------------------------- usage maps

// Writes the map row on a page of its own and reads it back as the reader would.
std::vector<uint32_t> ReadBack(MemoryPageSink& sink, const std::vector<uint8_t>& row,
                               UsageMap* out = nullptr) {
  DataPageBuilder maps(sink, 0);
  auto at = maps.Add(row);
  EXPECT_TRUE(at.ok());
  EXPECT_TRUE(maps.Finish().ok());
  std::vector<uint8_t> file;
  Pager pager = PagerOver(sink, file);
  auto map = ReadUsageMap(pager, sink.layout(), *at);
  EXPECT_TRUE(map.ok()) << map.error().ToString();
  if (!map.ok()) return {};
  if (out) *out = *map;
  return map->pages;
}

TEST_P(Versions, UsageMapsInlineWhenTheyFitElseByReference) {
  const uint32_t window = 8 * StandardInlineBitmapBytes(layout());
  struct Case {
    std::vector<uint32_t> pages;
    uint8_t type;
  };
  std::vector<Case> cases = {
      {{}, 0},
      {{13}, 0},
      {{21, 20, 22, 22, 40}, 0},               // unsorted, duplicated
      {{100, 100 + window - 1 - 100 % 8}, 0},  // the window's last page
      {{100, 100 - 100 % 8 + window}, 1},      // one past it
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.pages));
    uint32_t high = c.pages.empty() ? 0 : *std::max_element(c.pages.begin(), c.pages.end());
    MemoryPageSink sink(layout(), high + 1);  // the listed pages exist in the file
    auto row = BuildUsageMap(sink, c.pages);
    ASSERT_TRUE(row.ok()) << row.error().ToString();
    EXPECT_EQ(row->size(), StandardUsageMapRowSize(layout()));
    EXPECT_EQ((*row)[0], c.type);
    UsageMap map;
    std::vector<uint32_t> expected = c.pages;
    std::sort(expected.begin(), expected.end());
    expected.erase(std::unique(expected.begin(), expected.end()), expected.end());
    // A reference map's bitmap page lies past the listed pages: not in the set.
    EXPECT_EQ(ReadBack(sink, *row, &map), expected);
    EXPECT_EQ(map.pages_beyond_file, 0u);
    if (c.pages.empty()) {
      EXPECT_EQ(*row, Bytes(row->size(), 0));
    } else if (c.type == 0) {
      EXPECT_EQ(map.start_page, expected.front() & ~7u);
    }
  }
}

TEST_P(Versions, ReferenceMapsSpanSeveralRanges) {
  const uint32_t R = layout().pages_per_bitmap_page();
  std::vector<uint32_t> pages = {5, R - 1, R, 3 * R + 7, 3 * R + 8};
  RecordingSink sink(layout(), 3 * R + 9);
  auto row = BuildUsageMap(sink, pages);
  ASSERT_TRUE(row.ok()) << row.error().ToString();
  ASSERT_EQ((*row)[0], 1);
  EXPECT_EQ(ReferencePages(sink, *row), pages);
  // One bitmap page per range holding a page; range 2 has none.
  EXPECT_EQ(sink.pages.size(), 3u);
  EXPECT_EQ(Le32(row->data() + 1 + 4 * 2), 0u);
  EXPECT_EQ(Le32(row->data() + 1), 3 * R + 9);
}

TEST_P(Versions, UsageMapBeyondReachIsRefused) {
  MemoryPageSink sink(layout());
  uint32_t reach = layout().pages_per_bitmap_page() * ((StandardUsageMapRowSize(layout()) - 1) / 4);
  std::vector<uint32_t> pages = {1, reach};
  auto row = BuildUsageMap(sink, pages);
  ASSERT_FALSE(row.ok());
  EXPECT_EQ(sink.allocated(), 0u);  // nothing written before the refusal
  EXPECT_FALSE(EncodeInlineUsageMap(layout(), 4, 64, std::vector<uint32_t>{8}).ok());
  EXPECT_FALSE(EncodeInlineUsageMap(layout(), 8, 1, std::vector<uint32_t>{16}).ok());
}

TEST(GlobalUsageMap, InlineLengthFollowsTheFileSize) {
  // Lengths Access wrote for files of these sizes, and the minimum.
  struct Case {
    JetVersion v;
    uint32_t pages;
    size_t bitmap;
  };
  for (Case c : {Case{JetVersion::kJet4, 743, 96}, Case{JetVersion::kJet4, 772, 100},
                 Case{JetVersion::kJet3, 1466, 184}, Case{JetVersion::kJet4, 20, 64},
                 Case{JetVersion::kJet3, 20, 128}}) {
    const Layout& L = LayoutFor(c.v);
    MemoryPageSink sink(L, c.pages);
    auto row = BuildGlobalUsageMap(sink, c.pages, 4000);
    ASSERT_TRUE(row.ok());
    ASSERT_EQ(row->size(), 5 + c.bitmap) << c.pages;
    EXPECT_EQ(sink.allocated(), c.pages);
    std::vector<uint8_t> file(static_cast<size_t>(c.pages) * L.page_size, 0);
    Pager pager(FileSource::FromSpan(file), L.page_size, 0);
    auto map = DecodeUsageMap(pager, L, *row);
    ASSERT_TRUE(map.ok());
    EXPECT_TRUE(map->pages.empty());  // nothing free inside the file
    EXPECT_EQ(map->pages_beyond_file, 8 * c.bitmap - c.pages);
  }
}

TEST_P(Versions, GlobalUsageMapByReferenceCoversItsOwnPages) {
  const uint32_t R = layout().pages_per_bitmap_page();
  // Forced to a reference map by a small row limit. With R - 1 pages in use
  // the bitmap page is the first range's last page, and R pages need a second
  // range only because the first bitmap page takes a page itself.
  for (uint32_t in_use : {100u, R - 1, R}) {
    SCOPED_TRACE(in_use);
    RecordingSink sink(layout(), in_use);
    auto row = BuildGlobalUsageMap(sink, in_use, 20);
    ASSERT_TRUE(row.ok()) << row.error().ToString();
    ASSERT_EQ((*row)[0], 1);
    const uint32_t total = sink.next();
    const uint32_t bitmap_pages = total - in_use;
    EXPECT_EQ(bitmap_pages, in_use >= R ? 2u : 1u);
    for (uint32_t i = 0; i < bitmap_pages; ++i)
      EXPECT_EQ(Le32(row->data() + 1 + 4 * i), in_use + i);
    // Set bits: exactly the pages from the end of the file to the end of the
    // last range covered.
    std::vector<uint32_t> expected;
    for (uint32_t p = total; p < bitmap_pages * R; ++p) expected.push_back(p);
    EXPECT_EQ(ReferencePages(sink, *row), expected);
  }
  // Allocation must continue right after the pages in use.
  RecordingSink off(layout(), 50);
  EXPECT_FALSE(BuildGlobalUsageMap(off, 40, 20).ok());
}

// ---------------------------------------------------------------- long values

struct StoredValue {
  uint16_t column;
  Bytes data;
  Bytes field;
};

TEST_P(Versions, LongValuesReadBackInEveryForm) {
  const Layout& L = layout();
  MemoryPageSink sink(L, 10);
  LongValueWriter writer(sink);
  const uint32_t single = MaxSingleRowValue(L);
  const uint32_t piece = ChainPieceData(L);
  struct Want {
    uint16_t column;
    size_t length;
    bool allow_inline;
    LongValueKind kind;
  };
  std::vector<Want> wants = {
      {3, 0, true, LongValueKind::kInline},
      {3, 1, true, LongValueKind::kInline},
      {3, kInlineLimit, true, LongValueKind::kInline},
      {3, kInlineLimit + 1, true, LongValueKind::kSingle},
      {3, 10, false, LongValueKind::kSingle},
      {5, single, true, LongValueKind::kSingle},
      {3, single + 1, true, LongValueKind::kChain},
      {5, 3 * piece, true, LongValueKind::kChain},
      {3, 2 * piece + 1, true, LongValueKind::kChain},
      {5, 700, true, LongValueKind::kSingle},
  };
  std::vector<StoredValue> stored;
  uint32_t seed = 1;
  for (const Want& w : wants) {
    Bytes data = Pattern(w.length, seed++);
    auto field = writer.Write(w.column, data, w.allow_inline);
    ASSERT_TRUE(field.ok()) << field.error().ToString();
    auto h = DecodeLongValueHeader(*field);
    ASSERT_TRUE(h.ok());
    EXPECT_EQ(h->kind, w.kind) << w.length;
    EXPECT_EQ(h->length, w.length);
    EXPECT_EQ(h->extra, 0u);
    EXPECT_EQ(field->size(), w.kind == LongValueKind::kInline ? 12 + w.length : 12u);
    stored.push_back({w.column, std::move(data), std::move(field.value())});
  }
  ASSERT_TRUE(writer.Finish().ok());
  EXPECT_FALSE(writer.Write(3, Bytes(100, 1)).ok());  // after Finish

  std::map<uint16_t, std::vector<uint32_t>> owned;
  for (const auto& c : writer.Columns()) {
    owned[c.column_number] = c.pages;
    EXPECT_TRUE(std::is_sorted(c.pages.begin(), c.pages.end()));
    for (uint32_t p : c.with_room) {
      EXPECT_TRUE(std::binary_search(c.pages.begin(), c.pages.end(), p));
    }
  }
  ASSERT_EQ(owned.size(), 2u);  // inline values need no page
  for (uint32_t p = 10; p < sink.allocated(); ++p) EXPECT_TRUE(sink.written(p)) << p;

  std::vector<uint8_t> file;
  Pager pager = PagerOver(sink, file);
  for (const StoredValue& v : stored) {
    SCOPED_TRACE(v.data.size());
    std::vector<uint8_t> out;
    std::vector<RowPointer> pieces;
    Status s = ReadLongValue(pager, L, v.field, out, &pieces);
    ASSERT_TRUE(s.ok()) << s.error().ToString();
    EXPECT_EQ(out, v.data);
    const auto& mine = owned[v.column];
    for (size_t i = 0; i < pieces.size(); ++i) {
      // Each piece lies on a page of its own column, an LVAL page.
      EXPECT_TRUE(std::binary_search(mine.begin(), mine.end(), pieces[i].page));
      auto dp = DecodeDataPage(pager.PageOrThrow(pieces[i].page), L, pieces[i].page);
      ASSERT_TRUE(dp.ok());
      EXPECT_TRUE(dp->is_lval());
      EXPECT_EQ(dp->extra, 0u);
      const RowSlot& slot = dp->slots.at(pieces[i].row);
      if (i + 1 < pieces.size()) {
        // Non-last pieces: pointer plus a whole piece, alone on the page.
        EXPECT_EQ(slot.length(), 4 + piece);
        EXPECT_EQ(dp->slots.size(), 1u);
      } else if (pieces.size() > 1) {
        EXPECT_EQ(slot.length(), 4 + v.data.size() - (pieces.size() - 1) * piece);
        ByteSpan page = pager.PageOrThrow(pieces[i].page);
        EXPECT_EQ(Bytes(page.begin() + slot.start, page.begin() + slot.start + 4), Bytes(4, 0));
      } else {
        EXPECT_EQ(slot.length(), v.data.size());
      }
    }
  }
  // The columns' pages are disjoint and every LVAL page is listed.
  std::set<uint32_t> all;
  size_t listed = 0;
  for (const auto& [c, pages] : owned) {
    all.insert(pages.begin(), pages.end());
    listed += pages.size();
  }
  EXPECT_EQ(all.size(), listed);
  EXPECT_EQ(listed, sink.allocated() - 10);
}

TEST_P(Versions, ChainsCarryTheUnknownFieldTheyAreGiven) {
  const Layout& L = layout();
  MemoryPageSink sink(L, 2);
  LongValueWriter writer(sink);
  Bytes data = Pattern(ChainPieceData(L) + 100, 9);
  size_t at = 0;
  LongValueSource from = [&](std::span<uint8_t> out) {
    std::copy_n(data.begin() + static_cast<ptrdiff_t>(at), out.size(), out.begin());
    at += out.size();
    return Status::Ok();
  };
  auto chain = writer.Write(4, static_cast<uint32_t>(data.size()), from, true, 0xA1B2C3D4);
  ASSERT_TRUE(chain.ok());
  auto single = writer.Write(4, Pattern(500, 1), true);
  ASSERT_TRUE(single.ok());
  ASSERT_TRUE(writer.Finish().ok());
  auto h = DecodeLongValueHeader(*chain);
  ASSERT_TRUE(h.ok());
  EXPECT_EQ(h->kind, LongValueKind::kChain);
  EXPECT_EQ(h->extra, 0xA1B2C3D4u);
  EXPECT_EQ(DecodeLongValueHeader(*single)->extra, 0u);
  std::vector<uint8_t> file;
  Pager pager = PagerOver(sink, file);
  auto first = DecodeDataPage(pager.PageOrThrow(h->first.page), L, h->first.page);
  ASSERT_TRUE(first.ok());
  // Jet 4 repeats it on the chain's first page; Jet 3 pages have no such field.
  EXPECT_EQ(first->extra, L.version == JetVersion::kJet4 ? 0xA1B2C3D4u : 0u);
  std::vector<uint8_t> out;
  ASSERT_TRUE(ReadLongValue(pager, L, *chain, out).ok());
  EXPECT_EQ(out, data);
  // Every other LVAL page keeps 0 there.
  for (const auto& c : writer.Columns()) {
    for (uint32_t p : c.pages) {
      if (p == h->first.page) continue;
      EXPECT_EQ(DecodeDataPage(pager.PageOrThrow(p), L, p)->extra, 0u) << p;
    }
  }
}

TEST_P(Versions, LongValueFailuresComeBack) {
  const Layout& L = layout();
  const uint32_t piece = ChainPieceData(L);
  // A full disk in the middle of a chain.
  FailingSink full(L, 3);
  LongValueWriter writer(full);
  auto chain = writer.Write(2, Pattern(5 * piece, 1));
  ASSERT_FALSE(chain.ok());
  EXPECT_TRUE(chain.error().is(ErrorCode::kDiskFull));

  // The source giving out half way: its error, unchanged.
  MemoryPageSink sink(L);
  LongValueWriter second(sink);
  int calls = 0;
  LongValueSource failing = [&](std::span<uint8_t> out) -> Status {
    if (++calls == 2) return Damaged("source row gone");
    std::fill(out.begin(), out.end(), uint8_t{7});
    return Status::Ok();
  };
  auto value = second.Write(2, 3 * piece, failing);
  ASSERT_FALSE(value.ok());
  EXPECT_EQ(value.error().description(), "source row gone");

  // Lengths a header cannot declare are refused before anything is read.
  calls = 0;
  auto too_long = second.Write(2, kMaxLongValueLength + 1u, failing);
  ASSERT_FALSE(too_long.ok());
  EXPECT_TRUE(too_long.error().is(ErrorCode::kInvalidArgument));
  EXPECT_EQ(calls, 0);
}

TEST_P(Versions, LongValuesStreamFromASourceFile) {
  const Layout& L = layout();
  // A source with values of every form, then each copied through the
  // stream into a second file.
  MemoryPageSink source_sink(L, 2);
  LongValueWriter source_writer(source_sink);
  std::vector<StoredValue> values;
  for (size_t len : {size_t{0}, size_t{40}, size_t{300}, size_t{9000}, size_t{3 * 4072 + 5}}) {
    Bytes data = Pattern(len, static_cast<uint32_t>(len));
    auto field = source_writer.Write(7, data);
    ASSERT_TRUE(field.ok());
    values.push_back({7, std::move(data), std::move(field.value())});
  }
  ASSERT_TRUE(source_writer.Finish().ok());
  std::vector<uint8_t> source_file;
  Pager source = PagerOver(source_sink, source_file);

  MemoryPageSink copy_sink(L, 2);
  LongValueWriter copy_writer(copy_sink);
  std::vector<Bytes> copied_fields;
  for (const auto& v : values) {
    auto stream = LongValueStream::Open(source, L, v.field);
    ASSERT_TRUE(stream.ok());
    ASSERT_EQ(stream->length(), v.data.size());
    auto field = copy_writer.Write(7, stream->length(),
                                   [&](std::span<uint8_t> out) { return stream->Read(out); });
    ASSERT_TRUE(field.ok()) << field.error().ToString();
    EXPECT_EQ(stream->remaining(), 0u);
    copied_fields.push_back(std::move(field.value()));
  }
  ASSERT_TRUE(copy_writer.Finish().ok());
  // Same writer, same input: the same bytes.
  EXPECT_EQ(copy_sink.bytes(), source_sink.bytes());
  std::vector<uint8_t> copy_file;
  Pager copy = PagerOver(copy_sink, copy_file);
  for (size_t i = 0; i < values.size(); ++i) {
    std::vector<uint8_t> out;
    ASSERT_TRUE(ReadLongValue(copy, L, copied_fields[i], out).ok());
    EXPECT_EQ(out, values[i].data);
  }
}

TEST_P(Versions, DamagedSourceValuesStopTheStream) {
  const Layout& L = layout();
  MemoryPageSink sink(L, 2);
  LongValueWriter writer(sink);
  const uint32_t piece = ChainPieceData(L);
  auto field = writer.Write(1, Pattern(2 * piece + 10, 3));
  ASSERT_TRUE(field.ok());
  ASSERT_TRUE(writer.Finish().ok());
  std::vector<uint8_t> file = sink.bytes();
  auto h = DecodeLongValueHeader(*field);
  const size_t first_page = static_cast<size_t>(h->first.page) * L.page_size;
  const size_t row0 = Le16(file.data() + first_page + L.data_header_size);

  auto drain = [&](std::vector<uint8_t>& bytes, ByteSpan f) -> Status {
    Pager pager(FileSource::FromSpan(bytes), L.page_size, 0);
    auto stream = LongValueStream::Open(pager, L, f);
    if (!stream.ok()) return stream.error();
    std::vector<uint8_t> buf(1000);
    while (stream->remaining() > 0) {
      size_t n = std::min<uint64_t>(buf.size(), stream->remaining());
      Status s = stream->Read(std::span<uint8_t>(buf.data(), n));
      if (!s.ok()) return s;
    }
    return Status::Ok();
  };
  ASSERT_TRUE(drain(file, *field).ok());

  // The first piece points back at itself: a loop.
  std::vector<uint8_t> looped = file;
  jet_test::Put32(looped.data() + first_page + row0, h->first.ToLe());
  Status s = drain(looped, *field);
  ASSERT_FALSE(s.ok());
  EXPECT_TRUE(s.error().is(ErrorCode::kDamaged));
  EXPECT_NE(s.error().description().find("loops"), std::string::npos);

  // The chain ends early.
  std::vector<uint8_t> cut = file;
  jet_test::Put32(cut.data() + first_page + row0, 0);
  s = drain(cut, *field);
  ASSERT_FALSE(s.ok());
  EXPECT_NE(s.error().description().find("ends after"), std::string::npos);

  // A declared length past the file, and reading past the declared length.
  Bytes huge = *field;
  jet_test::Put32(huge.data(), 0x3FFFFFFF);
  Pager pager(FileSource::FromSpan(file), L.page_size, 0);
  EXPECT_FALSE(LongValueStream::Open(pager, L, huge).ok());
  Bytes inline_field = {5, 0, 0, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5};
  auto stream = LongValueStream::Open(pager, L, inline_field);
  ASSERT_TRUE(stream.ok());
  std::vector<uint8_t> six(6);
  EXPECT_FALSE(stream->Read(six).ok());
  std::vector<uint8_t> five(5);
  ASSERT_TRUE(stream->Read(five).ok());
  EXPECT_EQ(five, (Bytes{1, 2, 3, 4, 5}));
  inline_field.pop_back();  // declares 5, holds 4
  EXPECT_FALSE(LongValueStream::Open(pager, L, inline_field).ok());
}

}  // namespace
}  // namespace engine
