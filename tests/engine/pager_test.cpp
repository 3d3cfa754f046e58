// The Pager's decoded pages of encoded files: kept in a temporary file, in
// memory where no such file can be had, and the same bytes either way.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <fcntl.h>
#include <unistd.h>
#include <algorithm>
#include <csignal>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>

#include "corpus_files.h"
#include "format/data_page.h"
#include "format/header.h"
#include "io/cipher.h"
#include "io/pager.h"
#include "reader/database.h"

namespace engine {
namespace {

struct EncodedFile {
  std::string name;
  std::vector<uint8_t> bytes;
  DatabaseHeader header;
};

// The corpus files stored with a database key (their pages RC4-encoded).
const std::vector<EncodedFile>& EncodedCorpusFiles() {
  static const std::vector<EncodedFile> files = [] {
    std::vector<EncodedFile> out;
    for (const corpus::File& f :
         corpus::Files({"jet3", "jet4", "other-writers", "real/jet3", "real/jet4"})) {
      std::ifstream in(f.path, std::ios::binary);
      std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                 std::istreambuf_iterator<char>());
      auto header = DecodeHeader(bytes);
      if (!header.ok() || header.value().database_key == 0) continue;
      out.push_back({f.name, std::move(bytes), header.value()});
    }
    return out;
  }();
  return files;
}

// What an encoded page decodes to, worked out here from the file's bytes.
std::vector<uint8_t> Decoded(const EncodedFile& f, uint32_t number) {
  const uint32_t size = f.header.page_size;
  std::vector<uint8_t> page(f.bytes.begin() + static_cast<ptrdiff_t>(number) * size,
                            f.bytes.begin() + static_cast<ptrdiff_t>(number + 1) * size);
  if (number != 0) ApplyPageCipher(page.data(), size, number, f.header.database_key);
  return page;
}

bool Equal(ByteSpan a, const std::vector<uint8_t>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), b.size()) == 0;
}

// A resource limit lowered for the life of the object.
class LoweredLimit {
 public:
  LoweredLimit(int resource, rlim_t soft) : resource_(resource) {
    getrlimit(resource_, &saved_);
    rlimit lowered = saved_;
    lowered.rlim_cur = soft;
    EXPECT_EQ(setrlimit(resource_, &lowered), 0);
  }
  ~LoweredLimit() { setrlimit(resource_, &saved_); }

 private:
  int resource_;
  rlimit saved_{};
};

TEST(Pager, EncodedCorpusPagesReadTheSameFromTheTempFileAndFromMemory) {
  const auto& files = EncodedCorpusFiles();
  if (corpus::Files({"jet4"}).empty()) GTEST_SKIP() << "corpus not found";
  ASSERT_FALSE(files.empty()) << "the corpus has no encoded file to test with";
  for (const EncodedFile& f : files) {
    SCOPED_TRACE(f.name);
    Pager in_file(FileSource::FromSpan(f.bytes), f.header.page_size, f.header.database_key);
    Pager in_memory(FileSource::FromSpan(f.bytes), f.header.page_size, f.header.database_key,
                    PageDecoding::kMemory);
    ASSERT_TRUE(in_file.decodes_to_file());
    ASSERT_FALSE(in_memory.decodes_to_file());
    ASSERT_EQ(in_file.page_count(), in_memory.page_count());
    std::vector<ByteSpan> first_look;
    std::vector<uint8_t> scratch;
    for (uint32_t n = 0; n < in_file.page_count(); ++n) {
      const std::vector<uint8_t> expected = Decoded(f, n);
      // A single look, before and after the page is asked for to keep.
      ASSERT_TRUE(Equal(in_file.PageOnce(n, scratch), expected)) << "page " << n;
      first_look.push_back(in_file.PageOrThrow(n));
      ASSERT_TRUE(Equal(first_look.back(), expected)) << "page " << n;
      ASSERT_TRUE(Equal(in_file.PageOnce(n, scratch), expected)) << "page " << n;
      ASSERT_TRUE(Equal(in_memory.PageOrThrow(n), expected)) << "page " << n;
    }
    // Spans handed out earlier still hold their pages, and a page asked for
    // again comes from the same place.
    for (uint32_t n = 0; n < in_file.page_count(); ++n) {
      ASSERT_TRUE(Equal(first_look[n], Decoded(f, n))) << "page " << n;
      ASSERT_EQ(in_file.PageOrThrow(n).data(), first_look[n].data()) << "page " << n;
    }
    EXPECT_EQ(in_file.pages_in_memory(), 0u);
    EXPECT_EQ(in_memory.pages_in_memory(), in_memory.page_count() - 1);
    EXPECT_FALSE(in_file.Page(in_file.page_count()).ok());
  }
}

TEST(Pager, EncodedPagesAreKeptInMemoryWhenNoTempFileCanBeMade) {
  const auto& files = EncodedCorpusFiles();
  if (files.empty()) GTEST_SKIP() << "no encoded corpus file";
  const EncodedFile& f = files.front();
  // A file size limit below the file's size (growing a file past it would
  // end the process with SIGXFSZ). Running out of descriptors is the other
  // way to get here, but the sanitizers need descriptors of their own to
  // check a virtual call, so it cannot be tested in the sanitized build.
  std::unique_ptr<Pager> pager;
  {
    LoweredLimit lowered(RLIMIT_FSIZE, static_cast<rlim_t>(f.bytes.size() / 2));
    pager = std::make_unique<Pager>(FileSource::FromSpan(f.bytes), f.header.page_size,
                                    f.header.database_key);
  }
  EXPECT_FALSE(pager->decodes_to_file());
  for (uint32_t n = 0; n < pager->page_count(); ++n) {
    ASSERT_TRUE(Equal(pager->PageOrThrow(n), Decoded(f, n))) << f.name << " page " << n;
  }
  EXPECT_EQ(pager->pages_in_memory(), pager->page_count() - 1);
}

TEST(Pager, PagesTheTempFileRefusesAreKeptInMemory) {
  const auto& files = EncodedCorpusFiles();
  if (files.empty()) GTEST_SKIP() << "no encoded corpus file";
  const EncodedFile* f = nullptr;
  for (const EncodedFile& e : files) {
    if (e.bytes.size() / e.header.page_size >= 8) f = &e;
  }
  ASSERT_NE(f, nullptr) << "no encoded corpus file of eight pages or more";
  Pager pager(FileSource::FromSpan(f->bytes), f->header.page_size, f->header.database_key);
  ASSERT_TRUE(pager.decodes_to_file());
  // The file takes pages 0-3 only, as a disk that fills up would.
  const uint32_t fits = 4;
  auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  {
    LoweredLimit small_files(RLIMIT_FSIZE, static_cast<rlim_t>(fits) * f->header.page_size);
    for (uint32_t n = 1; n < pager.page_count(); ++n) (void)pager.PageOrThrow(n);
  }
  std::signal(SIGXFSZ, old_handler);
  EXPECT_EQ(pager.pages_in_memory(), pager.page_count() - fits);
  for (uint32_t n = 0; n < pager.page_count(); ++n) {
    ASSERT_TRUE(Equal(pager.PageOrThrow(n), Decoded(*f, n))) << f->name << " page " << n;
  }
}

// Pages of arbitrary bytes under a database key: the Pager does not look at
// what they hold.
struct SyntheticFile {
  static constexpr uint32_t kPageSize = 4096;
  static constexpr uint32_t kKey = 0x5A17C3E1;
  explicit SyntheticFile(uint32_t pages) : bytes(size_t{pages} * kPageSize) {
    std::mt19937 random(pages);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
  }
  std::vector<uint8_t> Decoded(uint32_t number) const {
    std::vector<uint8_t> page(bytes.begin() + static_cast<ptrdiff_t>(number) * kPageSize,
                              bytes.begin() + static_cast<ptrdiff_t>(number + 1) * kPageSize);
    if (number != 0) ApplyPageCipher(page.data(), kPageSize, number, kKey);
    return page;
  }
  std::vector<uint8_t> bytes;
};

// Readers on several threads, each in its own order, while the Pager decodes
// ahead: every page reads as its own decoding, from one place whoever asked
// first, and nothing is kept in memory.
TEST(Pager, ThreadsReadingWhileDecodingAheadSeeEachPageOnce) {
  const SyntheticFile f(3000);
  Pager pager(FileSource::FromSpan(f.bytes), SyntheticFile::kPageSize, SyntheticFile::kKey);
  ASSERT_TRUE(pager.decodes_to_file());
  const uint32_t count = pager.page_count();
  pager.DecodeAhead();
  constexpr int kReaders = 3;
  std::vector<std::vector<const uint8_t*>> seen(kReaders, std::vector<const uint8_t*>(count));
  std::vector<uint32_t> wrong(kReaders, 0);
  std::vector<std::thread> readers;
  for (int r = 0; r < kReaders; ++r) {
    readers.emplace_back([&, r] {
      std::vector<uint32_t> order(count);
      for (uint32_t n = 0; n < count; ++n) order[n] = n;
      // Reader 0 goes in file order (racing the decoding thread), 1 from the
      // end, 2 at random.
      if (r == 1) std::reverse(order.begin(), order.end());
      if (r == 2) std::shuffle(order.begin(), order.end(), std::mt19937(7));
      for (uint32_t n : order) {
        ByteSpan page = pager.PageOrThrow(n);
        seen[r][n] = page.data();
        if (!Equal(page, f.Decoded(n))) ++wrong[r];
      }
    });
  }
  for (std::thread& t : readers) t.join();
  for (int r = 0; r < kReaders; ++r) EXPECT_EQ(wrong[r], 0u) << "reader " << r;
  for (uint32_t n = 0; n < count; ++n) {
    ASSERT_EQ(seen[0][n], seen[1][n]) << "page " << n;
    ASSERT_EQ(seen[0][n], seen[2][n]) << "page " << n;
  }
  EXPECT_EQ(pager.pages_in_memory(), 0u);
  pager.DecodeAhead();  // again: nothing to do
  pager.StopDecodingAhead();
  EXPECT_TRUE(Equal(pager.PageOrThrow(count - 1), f.Decoded(count - 1)));
}

// The temporary file fills up while the Pager decodes ahead: its thread
// stops, and the pages the file refused are decoded and kept in memory
// when asked for.
TEST(Pager, DecodingAheadStopsWhereTheTempFileIsFull) {
  const SyntheticFile f(64);
  Pager pager(FileSource::FromSpan(f.bytes), SyntheticFile::kPageSize, SyntheticFile::kKey);
  ASSERT_TRUE(pager.decodes_to_file());
  const uint32_t fits = 10;
  auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  {
    LoweredLimit small_files(RLIMIT_FSIZE, static_cast<rlim_t>(fits) * SyntheticFile::kPageSize);
    pager.DecodeAhead();
    pager.StopDecodingAhead();  // waits for the thread, which ends at page `fits`
    for (uint32_t n = 0; n < pager.page_count(); ++n) {
      ASSERT_TRUE(Equal(pager.PageOrThrow(n), f.Decoded(n))) << "page " << n;
    }
  }
  std::signal(SIGXFSZ, old_handler);
  EXPECT_EQ(pager.pages_in_memory(), pager.page_count() - fits);
}

// An unencoded file: decoding ahead has nothing to do.
TEST(Pager, DecodingAheadOfAPlainFileDoesNothing) {
  const SyntheticFile f(8);
  Pager pager(FileSource::FromSpan(f.bytes), SyntheticFile::kPageSize, 0);
  EXPECT_FALSE(pager.decodes_to_file());
  pager.DecodeAhead();
  for (uint32_t n = 0; n < pager.page_count(); ++n) {
    EXPECT_EQ(pager.PageOrThrow(n).data(), f.bytes.data() + size_t{n} * SyntheticFile::kPageSize);
  }
}

}  // namespace
}  // namespace engine
