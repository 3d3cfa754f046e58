// The checker's per-row arrays: the same bytes whether they stay in memory,
// move to a temporary file (growing it several times) or cannot move.
#include "check/spill_bytes.h"

#include <gtest/gtest.h>

#include <utility>

#include "compact_support.h"

namespace engine::check {
namespace {

using compact_test::ScratchDir;

// Appends pieces of varying size (so they cross the file's growth steps)
// and returns what was appended, back to back.
std::vector<uint8_t> Fill(SpillBytes& bytes, size_t total) {
  std::vector<uint8_t> expected;
  uint32_t seed = 1;
  while (expected.size() < total) {
    seed = seed * 1103515245u + 12345u;
    std::vector<uint8_t> piece(1 + (seed >> 16) % 3000);
    for (size_t i = 0; i < piece.size(); ++i) piece[i] = static_cast<uint8_t>(seed + i * 31);
    const uint64_t at = bytes.Append(piece.data(), piece.size());
    EXPECT_EQ(at, expected.size());
    expected.insert(expected.end(), piece.begin(), piece.end());
  }
  return expected;
}

TEST(SpillBytes, KeepsEveryByteInMemoryInTheFileAndWhenTheFileCannotBeMade) {
  ScratchDir dir;
  struct Case {
    const char* name;
    size_t limit;
    std::string temp_dir;
    bool spills;
  };
  const Case cases[] = {
      {"under the limit", size_t{8} << 20, dir.path(), false},
      {"past the limit, the file grown several times", 4096, dir.path(), true},
      {"no folder for the file", 4096, dir / "missing", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SpillBytes bytes(c.limit, c.temp_dir);
    EXPECT_EQ(bytes.Append(nullptr, 0), 0u);
    const std::vector<uint8_t> expected = Fill(bytes, size_t{5} << 20);
    EXPECT_EQ(bytes.spilled(), c.spills);
    ASSERT_EQ(bytes.size(), expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), bytes.data()));
    // A moved array keeps its bytes; the one moved from is empty.
    SpillBytes moved = std::move(bytes);
    ASSERT_EQ(moved.size(), expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), moved.data()));
    EXPECT_EQ(bytes.size(), 0u);  // NOLINT(bugprone-use-after-move)
  }
  // The file has no name: nothing is left in the folder.
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

}  // namespace
}  // namespace engine::check
