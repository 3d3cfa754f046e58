// Index keys made on a second thread give the same copy, byte for byte, as
// keys made on the compacting thread, run after run.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "compact/compactor.h"
#include "corpus_files.h"
#include "reader/database.h"
#include "writer/memory_page_sink.h"

namespace engine {
namespace {

Result<std::vector<uint8_t>> CompactInMemory(const Database& db, uint64_t threaded_min_rows) {
  MemoryPageSink sink(db.layout());
  CompactOptions options;
  CompactTuning tuning;
  tuning.threaded_keys_min_rows = threaded_min_rows;
  auto stats = CompactToSink(db, sink, options, ::testing::TempDir(), tuning);
  if (!stats.ok()) return stats.error();
  return sink.bytes();
}

TEST(CompactThreads, KeysOnASecondThreadGiveTheSameBytesAsOnOne) {
  auto files = corpus::AllFiles();
  if (files.empty()) GTEST_SKIP() << "corpus not found";
  size_t compared = 0, largest_table = 0;
  for (const corpus::File& f : files) {
    SCOPED_TRACE(f.name);
    auto db = Database::Open(f.path.string(), OpenOptions{.password = f.password});
    if (!db.ok()) continue;
    auto one = CompactInMemory(*db.value(), std::numeric_limits<uint64_t>::max());
    auto two = CompactInMemory(*db.value(), 0);
    // Where the compaction refuses the file, it refuses it alike.
    ASSERT_EQ(one.ok(), two.ok());
    if (!one.ok()) {
      EXPECT_EQ(one.error().ToString(), two.error().ToString());
      continue;
    }
    EXPECT_TRUE(one.value() == two.value());
    auto again = CompactInMemory(*db.value(), 0);
    ASSERT_TRUE(again.ok());
    EXPECT_TRUE(two.value() == again.value());
    for (const CatalogObject* t : db.value()->tables()) {
      auto def = db.value()->ReadTableDef(t->table_page());
      if (def.ok()) largest_table = std::max<size_t>(largest_table, def.value().num_rows);
    }
    ++compared;
  }
  EXPECT_GT(compared, 10u);
  // Some table spans several batches of the feeder.
  EXPECT_GT(largest_table, 3u * 2048u);
}

}  // namespace
}  // namespace engine
