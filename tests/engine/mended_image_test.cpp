// The copy a repair mends: read through the same page interface as a file,
// its fresh pages written by the writer's builders through a page sink, and
// stored as the source stores its pages (encoded when it is).
#include "repair/mended_image.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "compact_support.h"
#include "format/usage_map.h"
#include "io/cipher.h"
#include "io/pager.h"
#include "writer/data_page_builder.h"

namespace engine {
namespace {

using compact_test::ScratchDir;

constexpr uint32_t kSourcePages = 6;

// A source of `kSourcePages` pages, each filled with its own number, stored
// encoded under `key` (page 0 as it is).
std::vector<uint8_t> SourceBytes(const Layout& L, uint32_t key) {
  std::vector<uint8_t> bytes(static_cast<size_t>(kSourcePages) * L.page_size);
  for (uint32_t n = 0; n < kSourcePages; ++n) {
    uint8_t* page = bytes.data() + static_cast<size_t>(n) * L.page_size;
    std::memset(page, static_cast<int>(0x40 + n), L.page_size);
    if (n != 0) ApplyPageCipher(page, L.page_size, n, key);
  }
  return bytes;
}

struct Fixture {
  Fixture(JetVersion version, uint32_t database_key)
      : L(LayoutFor(version)),
        key(database_key),
        source(FileSource::FromBuffer(SourceBytes(L, key))) {
    auto made = MendedImage::Create(*source, L, key, dir.path().string());
    EXPECT_TRUE(made.ok()) << made.error().ToString();
    if (made.ok()) image = std::move(made.value());
  }
  // The image as the strict reader and the compactor see it.
  std::unique_ptr<Pager> Reopened() const {
    return std::make_unique<Pager>(image->Source(), L.page_size, key, PageDecoding::kMemory);
  }

  ScratchDir dir;
  const Layout& L;
  uint32_t key;
  std::unique_ptr<FileSource> source;
  std::unique_ptr<MendedImage> image;
};

class MendedImageTest : public testing::TestWithParam<std::tuple<JetVersion, uint32_t>> {
 protected:
  Fixture f{std::get<0>(GetParam()), std::get<1>(GetParam())};
};

INSTANTIATE_TEST_SUITE_P(VersionsAndKeys, MendedImageTest,
                         testing::Combine(testing::Values(JetVersion::kJet3, JetVersion::kJet4),
                                          testing::Values(0u, 0x6B39DAC7u)));

TEST_P(MendedImageTest, ReadsTheSourcesPagesPlainAsAPagerDoes) {
  ASSERT_NE(f.image, nullptr);
  auto pager = f.Reopened();
  ASSERT_EQ(f.image->page_count(), kSourcePages);
  ASSERT_EQ(f.image->page_size(), f.L.page_size);
  for (uint32_t n = 0; n < kSourcePages; ++n) {
    ByteSpan page = f.image->PageOrThrow(n);
    ASSERT_EQ(page.size(), f.L.page_size);
    EXPECT_EQ(page[0], 0x40 + n) << n;
    EXPECT_EQ(page[f.L.page_size - 1], 0x40 + n) << n;
    ByteSpan through_pager = pager->PageOrThrow(n);
    EXPECT_TRUE(std::equal(page.begin(), page.end(), through_pager.begin())) << n;
    EXPECT_EQ(f.image->Plain(n), std::vector<uint8_t>(page.begin(), page.end())) << n;
  }
  // Past the last page: the same error as a file's.
  auto beyond = f.image->Page(kSourcePages);
  ASSERT_FALSE(beyond.ok());
  auto file_beyond = pager->Page(kSourcePages);
  ASSERT_FALSE(file_beyond.ok());
  EXPECT_EQ(beyond.error().number(), 3049);
  EXPECT_EQ(beyond.error().description(), file_beyond.error().description());
}

TEST_P(MendedImageTest, PageStoredInPlaceShowsThroughSpansHandedOutBefore) {
  ASSERT_NE(f.image, nullptr);
  ByteSpan before = f.image->PageOrThrow(3);
  std::vector<uint8_t> changed = f.image->Plain(3);
  changed[10] = 0xEE;
  f.image->Store(3, changed);
  ASSERT_TRUE(f.image->status().ok());
  EXPECT_EQ(before[10], 0xEE);
  EXPECT_EQ(f.image->Plain(3), changed);
  EXPECT_EQ(f.Reopened()->PageOrThrow(3)[10], 0xEE);
  // The source itself is never written.
  EXPECT_TRUE(std::equal(f.source->bytes().begin(), f.source->bytes().end(),
                         SourceBytes(f.L, f.key).begin()));
}

TEST_P(MendedImageTest, RowsAndMapWrittenThroughTheSinkReadBackThroughTheReaders) {
  ASSERT_NE(f.image, nullptr);
  DataPageBuilder rows(f.image->sink(), 77);
  std::vector<std::vector<uint8_t>> added;
  std::vector<RowPointer> where;
  // Enough rows for three pages.
  for (int i = 0; i < 3 * 255 - 10; ++i) {
    added.push_back(std::vector<uint8_t>(5, static_cast<uint8_t>(i)));
    auto at = rows.Add(added.back());
    ASSERT_TRUE(at.ok()) << at.error().ToString();
    where.push_back(at.value());
  }
  ASSERT_TRUE(rows.Finish().ok());
  const std::vector<uint32_t> pages = rows.page_numbers();
  ASSERT_EQ(pages, (std::vector<uint32_t>{kSourcePages, kSourcePages + 1, kSourcePages + 2}));
  auto map = AddUsageMap(f.image->sink(), pages);
  ASSERT_TRUE(map.ok()) << map.error().ToString();
  EXPECT_EQ(map.value().page, kSourcePages + 3);
  EXPECT_EQ(f.image->page_count(), kSourcePages + 4);

  auto pager = f.Reopened();
  for (const PageSource* source : {static_cast<const PageSource*>(f.image.get()),
                                   static_cast<const PageSource*>(pager.get())}) {
    auto read = ReadUsageMap(*source, f.L, map.value());
    ASSERT_TRUE(read.ok()) << read.error().ToString();
    EXPECT_EQ(read.value().pages, pages);
    for (size_t i = 0; i < added.size(); ++i) {
      auto page = DecodeDataPage(source->PageOrThrow(where[i].page), f.L, where[i].page);
      ASSERT_TRUE(page.ok()) << page.error().ToString();
      EXPECT_EQ(page.value().owner, 77u);
      const RowSlot& slot = page.value().slots.at(where[i].row);
      ASSERT_TRUE(slot.in_bounds);
      ByteSpan bytes = source->PageOrThrow(where[i].page).subspan(slot.start, slot.length());
      ASSERT_TRUE(std::equal(bytes.begin(), bytes.end(), added[i].begin(), added[i].end())) << i;
    }
  }
  // Stored as the source stores its pages: encoded under its key.
  ByteSpan stored = f.image->Source()->bytes().subspan(
      static_cast<size_t>(kSourcePages) * f.L.page_size, f.L.page_size);
  ByteSpan plain = f.image->PageOrThrow(kSourcePages);
  EXPECT_EQ(std::equal(stored.begin(), stored.end(), plain.begin()), f.key == 0);
}

TEST_P(MendedImageTest, MapOfPagesFarApartGetsBitmapPagesOfItsOwn) {
  ASSERT_NE(f.image, nullptr);
  // Pages spread wider than an inline map covers: a reference map.
  uint32_t last = 0;
  for (uint32_t i = 0; i < 8 * StandardInlineBitmapBytes(f.L) + 8; ++i) {
    last = f.image->sink().AllocatePage();
  }
  std::vector<uint8_t> page(f.L.page_size, 0);
  page[0] = static_cast<uint8_t>(PageType::kData);
  ASSERT_TRUE(f.image->sink().WritePage(last, page).ok());
  const std::vector<uint32_t> listed = {1, last};
  auto map = AddUsageMap(f.image->sink(), listed);
  ASSERT_TRUE(map.ok()) << map.error().ToString();
  auto pager = f.Reopened();
  for (const PageSource* source : {static_cast<const PageSource*>(f.image.get()),
                                   static_cast<const PageSource*>(pager.get())}) {
    auto read = ReadUsageMap(*source, f.L, map.value());
    ASSERT_TRUE(read.ok()) << read.error().ToString();
    EXPECT_EQ(read.value().type, kReferenceUsageMap);
    EXPECT_EQ(read.value().pages, listed);
  }
}

TEST_P(MendedImageTest, SinkRefusesPagesNotWrittenOnceAsAllocated) {
  ASSERT_NE(f.image, nullptr);
  PageSink& sink = f.image->sink();
  const std::vector<uint8_t> page(f.L.page_size, 0x11);
  // A page of the source, a page never allocated, a short page: 3001, and
  // the image keeps its size and bytes.
  for (auto [number, bytes] : {std::pair<uint32_t, size_t>{2, f.L.page_size},
                               {kSourcePages + 5, f.L.page_size},
                               {kSourcePages, f.L.page_size - 1}}) {
    if (number == kSourcePages) {
      ASSERT_EQ(sink.AllocatePage(), kSourcePages);
    }
    Status st = sink.WritePage(number, ByteSpan(page.data(), bytes));
    ASSERT_FALSE(st.ok()) << number;
    EXPECT_EQ(st.error().number(), 3001) << number;
  }
  EXPECT_EQ(f.image->page_count(), kSourcePages);
  EXPECT_EQ(f.image->PageOrThrow(2)[0], 0x42);
  ASSERT_TRUE(sink.WritePage(kSourcePages, page).ok());
  Status twice = sink.WritePage(kSourcePages, page);
  ASSERT_FALSE(twice.ok());
  EXPECT_EQ(twice.error().number(), 3001);
  // Pages stored past the end come before the next one allocated.
  f.image->Store(kSourcePages + 2, page);
  EXPECT_EQ(sink.AllocatePage(), kSourcePages + 3);
}

}  // namespace
}  // namespace engine
