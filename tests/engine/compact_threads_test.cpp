// Index keys made on a second thread give the same copy, byte for byte, as
// keys made on the compacting thread, run after run, encoded sources too.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "compact/compactor.h"
#include "compact/key_feeder.h"
#include "corpus_files.h"
#include "keys/index_key.h"
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
    // On a source of its own, whose encoded pages (if any) are decoded by
    // the Pager's thread and the two compacting threads as they come.
    auto fresh = Database::Open(f.path.string(), OpenOptions{.password = f.password});
    ASSERT_TRUE(fresh.ok());
    fresh.value()->pager().DecodeAhead();
    auto two = CompactInMemory(*fresh.value(), 0);
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

// Two rows whose keys cannot be made: on a second thread or not, the error
// is the first one's, and it comes back from Finish at the latest.
TEST(CompactThreads, TheKeyErrorOfTheFirstFailingRowWinsOnBothPaths) {
  auto files = corpus::Named({"jet4/testV2003.mdb"});
  if (files.empty()) GTEST_SKIP() << "corpus not found";
  auto db = Database::Open(files.front().path.string());
  ASSERT_TRUE(db.ok());
  const CatalogObject* catalog = db.value()->FindTable("MSysObjects");
  ASSERT_NE(catalog, nullptr);
  TableDef t = db.value()->ReadTableDef(catalog->table_page()).value();
  // No codes for the text: every text key must come from the source's
  // entry for the row, which rows claimed to sit elsewhere do not have.
  for (ColumnDef& c : t.columns) {
    if (c.type == key_type::kText || c.type == key_type::kMemo) c.sort_order = 0x0419;
  }
  std::string errors[2];
  for (bool threaded : {false, true}) {
    SCOPED_TRACE(threaded ? "threaded" : "one thread");
    MemoryPageSink sink(db.value()->layout());
    TableIndexWriter indexes(sink, *db.value(), "MSysObjects", t, 2,
                             SorterOptions{1 << 20, ::testing::TempDir()});
    RowDecoder decoder(t, db.value()->layout());
    KeyFeeder feeder(indexes, threaded);
    uint32_t n = 0;
    Status added = Status::Ok();
    ASSERT_TRUE(db.value()
                    ->ScanRows(t,
                               [&](const RowRef& row) {
                                 if (!decoder.Decode(row.bytes).ok()) return false;
                                 RowPointer from = row.location;
                                 if (n == 5) from = RowPointer{0xFFFF, 7};
                                 if (n == 9) from = RowPointer{0xFFFE, 1};
                                 ++n;
                                 added = feeder.Add(row.bytes, decoder, from, row.location);
                                 return added.ok();
                               })
                    .ok());
    Status finished = feeder.Finish();
    ASSERT_GE(n, 6u);  // one thread stops at the first failing row
    const Status& first = added.ok() ? finished : added;
    ASSERT_FALSE(first.ok());
    errors[threaded] = first.error().ToString();
    EXPECT_NE(errors[threaded].find("page 65535 row 7"), std::string::npos) << errors[threaded];
  }
  EXPECT_EQ(errors[0], errors[1]);
}

}  // namespace
}  // namespace engine
