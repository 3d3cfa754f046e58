// CompactDatabase end to end on small databases built in memory: the copy
// holds the same content, passes the checker, is no larger and compacts to
// the same bytes again; encoded and password-protected sources give copies
// that open the same way; every failure leaves no destination behind.
#include <gtest/gtest.h>

#include "compact/compact_internal.h"
#include "compact_support.h"
#include "engine/check.h"
#include "engine/compact.h"
#include "format/header.h"
#include "small_db.h"

namespace engine {
namespace {

namespace fs = std::filesystem;
using compact_test::DumpFile;
using compact_test::ExpectSameContent;
using compact_test::ReadFile;
using compact_test::ScratchDir;
using compact_test::WriteFile;
using jet_test::BuildSmallDb;
using jet_test::SmallDbOptions;

// The problems of the copy that the source does not have as well. The
// small database's Jet 4 text column declares 255 bytes (an odd length for
// UCS-2), which the checker reports and the copy keeps byte for byte like
// every other column definition.
std::string NewProblems(const std::string& source, const std::string& copy,
                        const std::string& password = "") {
  CheckOptions options;
  options.password = password;
  auto before = CheckDatabase(source, options);
  auto after = CheckDatabase(copy, options);
  if (!before.ok()) return "source: " + before.error().ToString();
  if (!after.ok()) return "copy: " + after.error().ToString();
  std::set<std::string> known;
  for (const CheckProblem& p : before.value().problems) known.insert(p.code + ": " + p.message);
  std::string out;
  for (const CheckProblem& p : after.value().problems) {
    if (!known.count(p.code + ": " + p.message)) out += "\n  " + p.code + ": " + p.message;
  }
  return out;
}

// Fails every write from the `fail_at`-th on with the given error.
class FailingSink final : public PageSink {
 public:
  FailingSink(PageSink& inner, int fail_at, Error error)
      : inner_(inner), fail_at_(fail_at), error_(std::move(error)) {}
  const Layout& layout() const override { return inner_.layout(); }
  uint32_t AllocatePage() override { return inner_.AllocatePage(); }
  Status WritePage(uint32_t number, ByteSpan bytes) override {
    writes_seen = ++writes_;
    if (writes_ >= fail_at_) return error_;
    return inner_.WritePage(number, bytes);
  }
  // Outlives the sink, which the compaction drops when it fails.
  static inline int writes_seen = 0;

 private:
  PageSink& inner_;
  int fail_at_;
  Error error_;
  int writes_ = 0;
};

class CompactSmallDb : public ::testing::TestWithParam<JetVersion> {
 protected:
  JetVersion v() const { return GetParam(); }
  std::string Source(const SmallDbOptions& options = {}) {
    std::string path = dir_ / "source.mdb";
    WriteFile(path, BuildSmallDb(v(), options));
    return path;
  }
  ScratchDir dir_;
};

INSTANTIATE_TEST_SUITE_P(BothVersions, CompactSmallDb,
                         ::testing::Values(JetVersion::kJet3, JetVersion::kJet4),
                         [](const ::testing::TestParamInfo<JetVersion>& p) {
                           return p.param == JetVersion::kJet3 ? std::string("Jet3")
                                                               : std::string("Jet4");
                         });

TEST_P(CompactSmallDb, CopyHoldsTheSameContentPassesTheCheckerAndIsStable) {
  const std::string source = Source();
  const std::string copy = dir_ / "copy.mdb";
  std::vector<std::string> phases;
  CompactOptions options;
  options.progress = [&](const Progress& p) {
    if (phases.empty() || phases.back() != p.phase) phases.push_back(p.phase);
    return true;
  };
  auto stats = CompactDatabase(source, copy, options);
  ASSERT_TRUE(stats.ok()) << stats.error().ToString();
  EXPECT_EQ(stats.value().tables, 2u);
  EXPECT_EQ(stats.value().rows, 3u + 3u) << "3 catalog rows, 3 live rows of T";
  EXPECT_EQ(stats.value().pages_after * LayoutFor(v()).page_size, fs::file_size(copy));
  EXPECT_LE(fs::file_size(copy), fs::file_size(source));
  EXPECT_NE(std::find(phases.begin(), phases.end(), "tables"), phases.end());

  ExpectSameContent(DumpFile(source), DumpFile(copy), "small database");
  EXPECT_EQ(NewProblems(source, copy), "");

  // The copy compacts to itself, byte for byte.
  const std::string again = dir_ / "again.mdb";
  auto second = CompactDatabase(copy, again);
  ASSERT_TRUE(second.ok()) << second.error().ToString();
  EXPECT_TRUE(ReadFile(copy) == ReadFile(again)) << "a second compaction changed the bytes";
}

TEST_P(CompactSmallDb, EncodedSourceWithPasswordGivesAnEncodedCopyWithThatPassword) {
  SmallDbOptions options;
  options.key = 0x6B39DAC7;
  options.password = "s3cret";
  const std::string source = Source(options);
  const std::string copy = dir_ / "copy.mdb";
  auto refused = CompactDatabase(source, copy);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().number(), 3031);
  EXPECT_FALSE(fs::exists(copy));

  CompactOptions with_password;
  with_password.password = "s3cret";
  auto stats = CompactDatabase(source, copy, with_password);
  ASSERT_TRUE(stats.ok()) << stats.error().ToString();
  auto db = Database::Open(copy, {.password = "s3cret"});
  ASSERT_TRUE(db.ok()) << db.error().ToString();
  EXPECT_EQ(db.value()->header().database_key, options.key);
  EXPECT_EQ(db.value()->header().password, "s3cret");
  EXPECT_EQ(Database::Open(copy, {.password = "wrong"}).error().number(), 3031);

  const std::vector<uint8_t> bytes = ReadFile(copy);
  const std::vector<uint8_t> original = ReadFile(source);
  const uint32_t ps = LayoutFor(v()).page_size;
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + ps, original.begin()))
      << "page 0 is kept as stored";
  EXPECT_NE(bytes[ps], 0x01) << "page 1 is stored encoded";
  ExpectSameContent(DumpFile(source, "s3cret"), DumpFile(copy, "s3cret"), "encoded database");
  EXPECT_EQ(NewProblems(source, copy, "s3cret"), "");
}

TEST_P(CompactSmallDb, ExistingDestinationIsRefusedAndLeftAlone) {
  const std::string source = Source();
  const std::string taken = dir_ / "taken.mdb";
  WriteFile(taken, {9, 8, 7});
  auto result = CompactDatabase(source, taken);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().number(), 3204);
  EXPECT_EQ(ReadFile(taken), (std::vector<uint8_t>{9, 8, 7}));
  // The source itself as the destination: refused the same way.
  const std::vector<uint8_t> before = ReadFile(source);
  EXPECT_EQ(CompactDatabase(source, source).error().number(), 3204);
  EXPECT_EQ(ReadFile(source), before);
}

TEST_P(CompactSmallDb, UnreadableSourcesCreateNoDestination) {
  const std::string copy = dir_ / "copy.mdb";
  EXPECT_EQ(CompactDatabase(dir_ / "missing.mdb", copy).error().number(), 3024);
  EXPECT_FALSE(fs::exists(copy));

  // A long value whose chain points at a page past the end of the file.
  SmallDbOptions damaged;
  damaged.tamper = [&](jet_test::FileBuilder& f) {
    const Layout& L = f.layout();
    uint8_t* page = f.page(7);
    const uint32_t row1 = page[L.data_header_size + 2] | (page[L.data_header_size + 3] << 8);
    jet_test::Put32(page + (row1 & 0x1FFF), (500u << 8) | 0);
  };
  auto result = CompactDatabase(Source(damaged), copy);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().number(), 3049) << result.error().ToString();
  EXPECT_FALSE(fs::exists(copy));

  // A live row that cannot be decoded (column count 0): the error names it.
  SmallDbOptions bad_row;
  bad_row.tamper = [&](jet_test::FileBuilder& f) {
    const Layout& L = f.layout();
    uint8_t* page = f.page(6);  // T's rows; row 0 a live one
    const uint32_t row0 = page[L.data_header_size] | (page[L.data_header_size + 1] << 8);
    page[row0 & 0x1FFF] = 0;
    if (L.row_count_size == 2) page[(row0 & 0x1FFF) + 1] = 0;
  };
  result = CompactDatabase(Source(bad_row), copy);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().number(), 3049) << result.error().ToString();
  EXPECT_NE(result.error().description().find("row at page 6 row 0"), std::string::npos)
      << result.error().ToString();
  EXPECT_FALSE(fs::exists(copy));
}

TEST_P(CompactSmallDb, WriteFailureOrCancelRemovesThePartialDestination) {
  const std::string source = Source();
  const std::string copy = dir_ / "copy.mdb";
  for (int fail_at : {1, 3, 6}) {
    SCOPED_TRACE("failing write " + std::to_string(fail_at));
    FailingSink::writes_seen = 0;
    auto result =
        CompactDatabaseThrough(source, copy, {}, [&](PageSink& file) -> std::unique_ptr<PageSink> {
          return std::make_unique<FailingSink>(file, fail_at,
                                               Error(ErrorCode::kDiskFull, "the disk is full"));
        });
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().number(), 3026) << result.error().ToString();
    EXPECT_EQ(FailingSink::writes_seen, fail_at) << "the compaction stops at the first failure";
    EXPECT_FALSE(fs::exists(copy));
  }
  CompactOptions cancel;
  cancel.progress = [](const Progress& p) { return p.phase != "tables"; };
  auto cancelled = CompactDatabase(source, copy, cancel);
  ASSERT_FALSE(cancelled.ok());
  EXPECT_EQ(cancelled.error().number(), 3001);
  EXPECT_FALSE(fs::exists(copy));
}

TEST_P(CompactSmallDb, SameSourceGivesTheSameBytes) {
  const std::string source = Source();
  ASSERT_TRUE(CompactDatabase(source, dir_ / "a.mdb").ok());
  ASSERT_TRUE(CompactDatabase(source, dir_ / "b.mdb").ok());
  EXPECT_TRUE(ReadFile(dir_ / "a.mdb") == ReadFile(dir_ / "b.mdb"));
}

}  // namespace
}  // namespace engine
