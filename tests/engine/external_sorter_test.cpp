// The external sorter: order, spilling to runs and merging them, bounded
// memory, temporary files that never outlive it, and I/O failures.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <random>

#include "writer/external_sorter.h"

namespace engine {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using Rec = std::pair<Bytes, Bytes>;

// A fresh empty directory, removed at the end of the test.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "sorter-test-XXXXXX").string();
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    path_ = ::mkdtemp(buf.data());
  }
  ~TempDir() {
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, ec);
    fs::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  size_t entries() const {
    return static_cast<size_t>(
        std::distance(fs::directory_iterator(path_), fs::directory_iterator()));
  }

 private:
  std::string path_;
};

// Records with many repeated keys, keys that are prefixes of others, and
// empty keys and payloads.
std::vector<Rec> RandomRecords(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<Rec> out;
  for (size_t i = 0; i < n; ++i) {
    Bytes key(rng() % 12);
    for (auto& b : key) b = static_cast<uint8_t>(rng() % 4 == 0 ? 0xFF : rng() % 3);
    Bytes payload(rng() % 6);
    for (auto& b : payload) b = static_cast<uint8_t>(rng());
    out.emplace_back(std::move(key), std::move(payload));
  }
  return out;
}

std::vector<Rec> SortAll(ExternalSorter& sorter, const std::vector<Rec>& in) {
  for (const auto& [k, p] : in) {
    Status st = sorter.Add(k, p);
    EXPECT_TRUE(st.ok()) << st.error().ToString();
  }
  Status st = sorter.Finish();
  EXPECT_TRUE(st.ok()) << st.error().ToString();
  std::vector<Rec> out;
  ExternalSorter::Record r;
  while (true) {
    auto more = sorter.Next(r);
    EXPECT_TRUE(more.ok()) << more.error().ToString();
    if (!more.ok() || !more.value()) break;
    out.emplace_back(Bytes(r.key.begin(), r.key.end()), Bytes(r.payload.begin(), r.payload.end()));
  }
  return out;
}

TEST(ExternalSorter, SortsByKeyThenPayloadInMemoryAndOnDisk) {
  TempDir dir;
  const auto input = RandomRecords(20000, 7);
  auto expected = input;
  std::sort(expected.begin(), expected.end());  // lexicographic unsigned bytes

  // Everything in memory.
  ExternalSorter big({.budget_bytes = 64 << 20, .temp_dir = dir.path()});
  EXPECT_EQ(SortAll(big, input), expected);
  EXPECT_EQ(big.runs_spilled(), 0u);
  EXPECT_EQ(big.records(), input.size());

  // Budgets small enough for many runs, one merge pass and several passes.
  for (size_t budget : {size_t{256} << 10, size_t{32} << 10, size_t{2} << 10}) {
    SCOPED_TRACE("budget " + std::to_string(budget));
    ExternalSorter small({.budget_bytes = budget, .temp_dir = dir.path()});
    EXPECT_EQ(SortAll(small, input), expected);
    EXPECT_GT(small.runs_spilled(), 1u);
  }
  EXPECT_EQ(dir.entries(), 0u);
}

// Keys of up to 40 bytes that share long prefixes (as text index keys do)
// and differ before, inside and after the first sixteen bytes, zero bytes
// against shorter keys included.
TEST(ExternalSorter, LongKeysSharingPrefixes) {
  std::mt19937 rng(11);
  std::vector<Rec> input;
  const Bytes stem{0x7F, 'p', 'i', 'n', 'e', ' ', 'l', 'a',  'r', 'c',
                   'h',  ' ', '7', '7', '7', '1', '6', 0x01, 0x00};
  for (size_t i = 0; i < 20000; ++i) {
    Bytes key(stem.begin(), stem.begin() + static_cast<long>(rng() % (stem.size() + 1)));
    const size_t tail = rng() % 22;
    for (size_t j = 0; j < tail; ++j)
      key.push_back(static_cast<uint8_t>(rng() % 3 == 0 ? 0 : rng() % 4));
    if (!key.empty() && rng() % 5 == 0) key[rng() % key.size()] ^= 1;
    Bytes payload(rng() % 5);
    for (auto& b : payload) b = static_cast<uint8_t>(rng() % 3);
    input.emplace_back(std::move(key), std::move(payload));
  }
  auto expected = input;
  std::sort(expected.begin(), expected.end());
  TempDir dir;
  ExternalSorter sorter({.budget_bytes = 64 << 20, .temp_dir = dir.path()});
  EXPECT_EQ(SortAll(sorter, input), expected);
}

TEST(ExternalSorter, InputAlreadyInOrderOrNearlySo) {
  TempDir dir;
  auto sorted = RandomRecords(5000, 9);
  std::sort(sorted.begin(), sorted.end());
  for (size_t budget : {size_t{64} << 20, size_t{16} << 10}) {
    SCOPED_TRACE("budget " + std::to_string(budget));
    ExternalSorter in_order({.budget_bytes = budget, .temp_dir = dir.path()});
    EXPECT_EQ(SortAll(in_order, sorted), sorted);
    // One record out of place, first at the end, then in the middle.
    for (size_t at : {sorted.size() - 1, sorted.size() / 2}) {
      auto nearly = sorted;
      nearly.insert(nearly.begin() + static_cast<std::ptrdiff_t>(at), Rec{Bytes{}, Bytes{}});
      auto expected = nearly;
      std::sort(expected.begin(), expected.end());
      ExternalSorter sorter({.budget_bytes = budget, .temp_dir = dir.path()});
      EXPECT_EQ(SortAll(sorter, nearly), expected);
    }
  }
}

TEST(ExternalSorter, EmptyInputAndOneHugeRecord) {
  TempDir dir;
  ExternalSorter empty({.budget_bytes = 4096, .temp_dir = dir.path()});
  EXPECT_TRUE(SortAll(empty, {}).empty());

  // A record larger than the whole budget, among small ones.
  std::vector<Rec> input = RandomRecords(3000, 3);
  input.emplace_back(Bytes(100000, 0x01), Bytes(3, 0x02));
  auto expected = input;
  std::sort(expected.begin(), expected.end());
  ExternalSorter sorter({.budget_bytes = 4096, .temp_dir = dir.path()});
  EXPECT_EQ(SortAll(sorter, input), expected);
}

TEST(ExternalSorter, MemoryStaysWithinTheBudget) {
  TempDir dir;
  const size_t budget = size_t{1} << 20;
  ExternalSorter sorter({.budget_bytes = budget, .temp_dir = dir.path()});
  // About 9 MB of records through a 1 MiB budget.
  std::mt19937 rng(11);
  Bytes key(40);
  for (int i = 0; i < 150000; ++i) {
    for (auto& b : key) b = static_cast<uint8_t>(rng());
    ASSERT_TRUE(sorter.Add(key, Bytes{1, 2, 3, 4, 5}).ok());
  }
  ASSERT_TRUE(sorter.Finish().ok());
  ExternalSorter::Record r;
  Bytes previous;
  uint64_t n = 0;
  while (true) {
    auto more = sorter.Next(r);
    ASSERT_TRUE(more.ok());
    if (!more.value()) break;
    Bytes k(r.key.begin(), r.key.end());
    ASSERT_LE(previous, k);
    previous = std::move(k);
    ++n;
  }
  EXPECT_EQ(n, 150000u);
  EXPECT_GE(sorter.runs_spilled(), 8u);
  EXPECT_LE(sorter.peak_memory(), budget + budget / 4);
}

TEST(ExternalSorter, RunFilesNeverShowAndFallBackWhenTheDirectoryRefuses) {
  TempDir dir;
  {
    ExternalSorter sorter({.budget_bytes = 2048, .temp_dir = dir.path()});
    const auto input = RandomRecords(2000, 5);
    for (const auto& [k, p] : input) ASSERT_TRUE(sorter.Add(k, p).ok());
    EXPECT_GT(sorter.runs_spilled(), 1u);
    EXPECT_EQ(dir.entries(), 0u);  // already unlinked while in use
  }
  EXPECT_EQ(dir.entries(), 0u);

  // A directory that does not exist: the sorter uses $TMPDIR or /tmp.
  ExternalSorter elsewhere({.budget_bytes = 2048, .temp_dir = dir.path() + "/missing"});
  const auto input = RandomRecords(2000, 6);
  auto expected = input;
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(SortAll(elsewhere, input), expected);
  EXPECT_GT(elsewhere.runs_spilled(), 1u);
}

TEST(ExternalSorter, AWriteFailureIsAnIoErrorAndTheSorterStaysFailed) {
  TempDir dir;
  // Files may not grow past 8 KiB: writing a run fails with EFBIG.
  struct rlimit old {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old;
  small.rlim_cur = 8192;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);

  ExternalSorter sorter({.budget_bytes = 64 << 10, .temp_dir = dir.path()});
  Status failure = Status::Ok();
  Bytes key(100, 0x11);
  for (int i = 0; i < 5000 && failure.ok(); ++i) {
    key[0] = static_cast<uint8_t>(i);
    failure = sorter.Add(key, {});
  }
  ::setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, old_handler);

  ASSERT_FALSE(failure.ok());
  EXPECT_EQ(failure.error().number(), 3043) << failure.error().ToString();
  EXPECT_FALSE(sorter.Add(key, {}).ok());
  EXPECT_FALSE(sorter.Finish().ok());
  EXPECT_EQ(dir.entries(), 0u);
}

TEST(ExternalSorter, CallsOutOfTurnAreRefused) {
  ExternalSorter sorter({.budget_bytes = 4096, .temp_dir = {}});
  ExternalSorter::Record r;
  EXPECT_FALSE(sorter.Next(r).ok());
  ASSERT_TRUE(sorter.Add(Bytes{1}).ok());
  ASSERT_TRUE(sorter.Finish().ok());
  EXPECT_FALSE(sorter.Add(Bytes{2}).ok());
  EXPECT_FALSE(sorter.Finish().ok());
  auto more = sorter.Next(r);
  ASSERT_TRUE(more.ok() && more.value());
  EXPECT_EQ(Bytes(r.key.begin(), r.key.end()), Bytes{1});
}

TEST(ExternalSorter, TempDirBesideTheDestination) {
  EXPECT_EQ(TempDirBeside("/data/out.mdb"), "/data");
  EXPECT_EQ(TempDirBeside("out.mdb"), ".");
  EXPECT_EQ(TempDirBeside("/out.mdb"), "/");
  EXPECT_EQ(TempDirBeside("a/b/c.mdb"), "a/b");
}

}  // namespace
}  // namespace engine
