// Compaction and the sort order of text columns: by default every column
// keeps its order (and keys the encoder cannot make are taken from the
// source); with SortOrderPolicy::kGeneral every text column of another order
// is keyed under General, its definition says so, the copy checks clean with
// every key verified, and its rows are the source's.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "compact_support.h"
#include "engine/check.h"
#include "engine/compact.h"
#include "keys/index_key.h"
#include "reader/database.h"

namespace engine {
namespace {

using compact_test::DumpFile;
using compact_test::ExpectSameContent;
using compact_test::ScratchDir;

std::filesystem::path Real(const std::string& name) {
  return std::filesystem::path(QUORLEN_CORPUS_DIR) / "real" / name;
}

// "table.column" -> sort order, for every text and memo column.
std::map<std::string, uint16_t> TextSortOrders(const std::string& path) {
  std::map<std::string, uint16_t> out;
  compact_test::ForEachTextColumn(path, [&](const std::string& table, const ColumnDef& c) {
    out[table + "." + c.name] = c.sort_order;
  });
  return out;
}

TEST(SortOrderCompact, GeneralOnRequestRekeysEveryTextColumn) {
  // Chinese (0x0804), Japanese (0x0411) and Croatian (0x041A) files, whose
  // keys the encoder cannot all make under their own orders.
  const char* const files[] = {"jet4/farteryhr+vb6-book-db__db.mdb",
                               "jet4/higashigawa+address__data_Database1.mdb",
                               "jet4/ambraspace+Skupstina-akcionara__data.mdb"};
  for (const char* file : files) {
    SCOPED_TRACE(file);
    const std::string src = Real(file).string();
    if (!std::filesystem::exists(src)) GTEST_SKIP() << "no corpus";
    ScratchDir dir;
    const std::string kept = dir / "kept.mdb";
    const std::string general = dir / "general.mdb";

    auto plain = CompactDatabase(src, kept);
    ASSERT_TRUE(plain.ok()) << plain.error().ToString();
    EXPECT_TRUE(plain->sort_order_changes.empty());
    EXPECT_EQ(TextSortOrders(kept), TextSortOrders(src));

    auto rekeyed = CompactDatabase(src, general, {.sort_order = SortOrderPolicy::kGeneral});
    ASSERT_TRUE(rekeyed.ok()) << rekeyed.error().ToString();
    const auto before = TextSortOrders(src);
    const auto after = TextSortOrders(general);
    std::set<std::string> expected, listed;
    for (const auto& [column, order] : before) {
      if (order != kGeneralSortOrder) expected.insert(column);
      EXPECT_EQ(after.at(column), kGeneralSortOrder) << column;
    }
    ASSERT_FALSE(expected.empty());
    for (const SortOrderChange& c : rekeyed->sort_order_changes) {
      listed.insert(c.table + "." + c.column);
      EXPECT_EQ(before.at(c.table + "." + c.column), c.old_sort_order);
      EXPECT_NE(c.reason.find("--sort-order general"), std::string::npos) << c.reason;
    }
    EXPECT_EQ(listed, expected);
    EXPECT_EQ(rekeyed->keys_reused, 0u);

    // Page 0 names General as the database's order; the plain copy keeps the source's.
    EXPECT_EQ(Summarize(general)->sort_order, kGeneralSortOrder);
    EXPECT_EQ(Summarize(kept)->sort_order, Summarize(src)->sort_order);

    auto report = CheckDatabase(general, {});
    ASSERT_TRUE(report.ok()) << report.error().ToString();
    EXPECT_EQ(report->damage_count(), 0u) << FormatCheckReport(report.value());
    EXPECT_EQ(report->counts.keys_other_sort_order, 0u);
    ExpectSameContent(DumpFile(src), DumpFile(general), file);
  }
}

TEST(SortOrderCompact, AFileAlreadyUnderGeneralIsLeftAsItIs) {
  const std::string src =
      (std::filesystem::path(QUORLEN_CORPUS_DIR) / "jet4" / "testV2003.mdb").string();
  if (!std::filesystem::exists(src)) GTEST_SKIP() << "no corpus";
  ScratchDir dir;
  const std::string a = dir / "a.mdb", b = dir / "b.mdb";
  ASSERT_TRUE(CompactDatabase(src, a).ok());
  auto general = CompactDatabase(src, b, {.sort_order = SortOrderPolicy::kGeneral});
  ASSERT_TRUE(general.ok()) << general.error().ToString();
  EXPECT_TRUE(general->sort_order_changes.empty());
  EXPECT_EQ(compact_test::ReadFile(a), compact_test::ReadFile(b));
}

}  // namespace
}  // namespace engine
