// CompactDatabase over every Jet file and every unencrypted ACE file of the
// corpus (skipped when the corpus is absent): the copy's dump equals the
// source's (object ids mapped), the copy lists every table's rows in the
// source's storage order, the checker finds nothing in the copy, the copy
// is no larger than the source, and compacting the copy again gives the
// same bytes. Each file's size
// ratio is printed for the record.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "compact_support.h"
#include "corpus_files.h"
#include "engine/check.h"
#include "engine/compact.h"

namespace engine {
namespace {

namespace fs = std::filesystem;
using compact_test::DumpFile;
using compact_test::ExpectSameContent;
using compact_test::ExpectSameRowOrder;
using compact_test::ReadFile;
using compact_test::ScratchDir;

struct CorpusFile {
  std::string relative;  // e.g. "jet4/delTestV2000.mdb"
  std::string password;
};

// Passwords of the real files, from real/files.tsv (column 6).
std::map<std::string, std::string> RealPasswords() {
  std::map<std::string, std::string> out;
  std::ifstream in(fs::path(QUORLEN_CORPUS_DIR) / "real" / "files.tsv");
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::vector<std::string> fields;
    std::stringstream ss(line);
    std::string field;
    while (std::getline(ss, field, '\t')) fields.push_back(field);
    if (fields.size() >= 6 && !fields[5].empty()) out["real/" + fields[0]] = fields[5];
  }
  return out;
}

std::vector<CorpusFile> CompactableCorpus() {
  std::vector<CorpusFile> out;
  const fs::path root(QUORLEN_CORPUS_DIR);
  if (!fs::is_directory(root)) return out;
  const auto passwords = RealPasswords();
  for (const char* sub :
       {"jet3", "jet4", "other-writers", "real/jet3", "real/jet4", "ace", "real/ace"}) {
    if (!fs::is_directory(root / sub)) continue;
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(root / sub)) {
      std::string ext = e.path().extension().string();
      for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (ext == ".mdb" || ext == ".mde" || ext == ".accdb") {
        names.push_back(std::string(sub) + "/" + e.path().filename().string());
      }
    }
    std::sort(names.begin(), names.end());
    for (const auto& n : names) {
      auto it = passwords.find(n);
      std::string password = it == passwords.end() ? std::string() : it->second;
      // The encrypted ACE files of ace/ have theirs in ace.tsv.
      if (auto ace = corpus::AcePasswords().find(fs::path(n).filename().string());
          n.starts_with("ace/") && ace != corpus::AcePasswords().end()) {
        password = ace->second;
      }
      out.push_back({n, password});
    }
  }
  return out;
}

std::string TestName(const ::testing::TestParamInfo<CorpusFile>& info) {
  std::string name = std::to_string(info.index) + "_";
  for (char c : fs::path(info.param.relative).stem().string()) {
    name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    if (name.size() > 60) break;
  }
  return name;
}

void PrintTo(const CorpusFile& file, std::ostream* os) {
  *os << file.relative;
}

class CompactCorpus : public ::testing::TestWithParam<CorpusFile> {};

TEST_P(CompactCorpus, CopyReadsBackIdenticallyIsCleanSmallerAndStable) {
  const CorpusFile& file = GetParam();
  const std::string source = (fs::path(QUORLEN_CORPUS_DIR) / file.relative).string();
  ScratchDir dir;
  const std::string copy = dir / "copy.mdb";
  CompactOptions options;
  options.password = file.password;
  auto stats = CompactDatabase(source, copy, options);
  // A source whose rows do not read (a real file's catalog pointing into
  // an index page) is refused as damaged, and nothing is written.
  if (auto db = Database::Open(source, OpenOptions{.password = file.password});
      db.ok() && !DumpToString(*db.value()).ok()) {
    ASSERT_FALSE(stats.ok()) << file.relative;
    EXPECT_EQ(stats.error().number(), 3049) << stats.error().ToString();
    EXPECT_FALSE(fs::exists(copy));
    return;
  }
  ASSERT_TRUE(stats.ok()) << file.relative << ": " << stats.error().ToString();
  const auto source_size = fs::file_size(source);
  const auto copy_size = fs::file_size(copy);
  std::printf("[ ratio ] %-90s %10ju -> %10ju  %.3f  rows %llu  indexes %u  keys reused %llu\n",
              file.relative.c_str(), static_cast<uintmax_t>(source_size),
              static_cast<uintmax_t>(copy_size),
              static_cast<double>(copy_size) / static_cast<double>(source_size),
              static_cast<unsigned long long>(stats.value().rows), stats.value().indexes,
              static_cast<unsigned long long>(stats.value().keys_reused));
  EXPECT_LE(copy_size, source_size);

  const nlohmann::json source_dump = DumpFile(source, file.password);
  const nlohmann::json copy_dump = DumpFile(copy, file.password);
  ExpectSameContent(source_dump, copy_dump, file.relative);
  ExpectSameRowOrder(source_dump, copy_dump, file.relative);

  // Nothing in the copy for the checker (navigation-pane rows of deleted
  // objects are dropped), except what the copy keeps of its source by
  // design, each finding one the source has too (same table, same message):
  // faults inside column and index definitions, which the copy keeps byte
  // for byte, and permission rows of deleted objects.
  static const std::set<std::string> kKeptFromSource = {
      "column-length-invalid",    "column-length-ignored", "column-number-invalid",
      "column-var-index-invalid", "column-fixed-overlap",  "index-definition-invalid",
      "index-column-missing",     "logical-index-invalid", "physical-index-unused",
      "catalog-reference-invalid"};
  CheckOptions check;
  check.password = file.password;
  check.max_per_code = 100000;
  auto report = CheckDatabase(copy, check);
  ASSERT_TRUE(report.ok()) << report.error().ToString();
  std::set<std::string> in_source;
  bool source_checked = false;
  std::string problems;
  for (const CheckProblem& p : report.value().problems) {
    if (kKeptFromSource.count(p.code)) {
      if (!source_checked) {
        auto before = CheckDatabase(source, check);
        ASSERT_TRUE(before.ok()) << before.error().ToString();
        for (const CheckProblem& b : before.value().problems) {
          in_source.insert(b.code + " " + b.table + ": " + b.message);
        }
        source_checked = true;
      }
      if (in_source.count(p.code + " " + p.table + ": " + p.message)) continue;
    }
    problems += "\n  " + p.code + " [" + p.table + "/" + p.index + "]: " + p.message;
  }
  EXPECT_EQ(problems, "") << file.relative;

  const std::string again = dir / "again.mdb";
  auto second = CompactDatabase(copy, again, options);
  ASSERT_TRUE(second.ok()) << second.error().ToString();
  EXPECT_TRUE(ReadFile(copy) == ReadFile(again))
      << file.relative << ": compacting the copy changed its bytes";
}

INSTANTIATE_TEST_SUITE_P(Corpus, CompactCorpus, ::testing::ValuesIn(CompactableCorpus()), TestName);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(CompactCorpus);

}  // namespace
}  // namespace engine

namespace engine {
namespace {

// Keys that spill to disk in many small runs give the same file as keys
// sorted in memory.
TEST(CompactSortBudget, TinyBudgetGivesTheSameBytes) {
  const fs::path root(QUORLEN_CORPUS_DIR);
  std::vector<std::string> files = {"jet3/testIndexCodesV1997.mdb", "jet4/compIndexTestV2003.mdb"};
  if (!fs::exists(root / files[0])) GTEST_SKIP() << "corpus not found at " << root;
  for (const std::string& f : files) {
    SCOPED_TRACE(f);
    ScratchDir dir;
    const std::string source = (root / f).string();
    ASSERT_TRUE(CompactDatabase(source, dir / "roomy.mdb").ok());
    CompactOptions tight;
    tight.sort_budget_bytes = 2048;
    auto stats = CompactDatabase(source, dir / "tight.mdb", tight);
    ASSERT_TRUE(stats.ok()) << stats.error().ToString();
    EXPECT_TRUE(ReadFile(dir / "roomy.mdb") == ReadFile(dir / "tight.mdb"));
    // Nothing of the sort runs is left beside the destination.
    size_t entries = 0;
    for (const auto& e : fs::directory_iterator(dir.path())) {
      (void)e;
      ++entries;
    }
    EXPECT_EQ(entries, 2u);
  }
}

}  // namespace
}  // namespace engine
