// ACE files and the General order of 2010 (sort-order version 1): a
// compaction makes those keys from the values, taking the source's entry only
// for text with a character the code table lacks; the checker verifies them;
// --sort-order general keys an ACE file of 2010 or later under that order and
// an older one under legacy General.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "check/index_entries.h"
#include "compact_support.h"
#include "engine/check.h"
#include "engine/compact.h"
#include "keys/index_key.h"
#include "reader/database.h"

namespace engine {
namespace {

namespace fs = std::filesystem;
using compact_test::DumpFile;
using compact_test::ExpectSameContent;
using compact_test::ScratchDir;

fs::path Corpus(const std::string& name) {
  return fs::path(QUORLEN_CORPUS_DIR) / name;
}

struct TextOrders {
  size_t general2010 = 0, legacy = 0, other = 0;
};

TextOrders CountTextOrders(const std::string& path) {
  TextOrders out;
  compact_test::ForEachTextColumn(path, [&](const std::string&, const ColumnDef& c) {
    if (c.sort_order != kGeneralSortOrder) {
      ++out.other;
    } else if (c.sort_order_version == kGeneral2010Version) {
      ++out.general2010;
    } else {
      ++out.legacy;
    }
  });
  return out;
}

// Index entries of `path` whose key the encoder cannot make from the row
// (a compaction takes those from the source), and how many of them for want
// of a code under General of 2010.
struct Uncoded {
  size_t all = 0, general2010 = 0;
};

Uncoded CountUncoded(const std::string& path) {
  Uncoded out;
  auto db = Database::Open(path);
  EXPECT_TRUE(db.ok()) << db.error().ToString();
  if (!db.ok()) return out;
  Status st = ForEachIndexEntry(*db.value(), [&](const IndexEntryContext& ctx) {
    if (!ctx.row_found) return;
    const EncodedKey key = EncodeIndexKey(ctx.columns, ctx.values);
    if (key.ok()) return;
    ++out.all;
    out.general2010 += key.reason.find("(General of 2010)") != std::string::npos;
  });
  EXPECT_TRUE(st.ok()) << st.error().ToString();
  return out;
}

TEST(AceSortOrder, General2010KeysAreMadeFreshAndVerified) {
  // Files of Access 2010 whose text columns are under General of 2010; the
  // emoticons are surrogate pairs, which have no code.
  for (const char* name : {"ace/testV2010.accdb", "ace/indexTestV2010.accdb",
                           "ace/testIndexPropertiesV2010.accdb", "ace/testEmoticonsV2010.accdb"}) {
    SCOPED_TRACE(name);
    const fs::path src = Corpus(name);
    if (!fs::exists(src)) GTEST_SKIP() << "no corpus";
    ASSERT_GT(CountTextOrders(src.string()).general2010, 0u);
    auto before = CheckDatabase(src.string(), {});
    ASSERT_TRUE(before.ok()) << before.error().ToString();
    EXPECT_EQ(before->counts.keys_other_sort_order, 0u);

    ScratchDir dir;
    const std::string copy = dir / "copy.accdb";
    auto stats = CompactDatabase(src.string(), copy);
    ASSERT_TRUE(stats.ok()) << stats.error().ToString();
    // Only keys the encoder cannot make come from the source: of text under
    // General of 2010, those holding a surrogate.
    const Uncoded uncoded = CountUncoded(src.string());
    const bool emoticons = std::string(name).find("Emoticons") != std::string::npos;
    EXPECT_EQ(uncoded.general2010 > 0, emoticons);
    EXPECT_LE(stats->keys_reused, uncoded.all);
    auto after = CheckDatabase(copy, {});
    ASSERT_TRUE(after.ok()) << after.error().ToString();
    EXPECT_EQ(after->damage_count(), 0u) << FormatCheckReport(after.value());
    EXPECT_EQ(after->counts.keys_other_sort_order, 0u);
    EXPECT_EQ(after->counts.keys_not_verifiable, uncoded.all);
  }
}

TEST(AceSortOrder, GeneralOnRequestIsTheFilesOwnGeneral) {
  struct Case {
    const char* name;
    bool of2010;  // format of Access 2010 or later
  };
  // Japanese (0x0411) in a 2010 file, Croatian (0x041A) in a 2007 one.
  for (const Case& c : {Case{"real/ace/JittiponPannak+RSU__RSU-CSC362_Hardware.accdb", true},
                        Case{"real/ace/Divo50+ProjektHotel__Database2.accdb", false}}) {
    SCOPED_TRACE(c.name);
    const fs::path src = Corpus(c.name);
    if (!fs::exists(src)) GTEST_SKIP() << "no corpus";
    ASSERT_GT(CountTextOrders(src.string()).other, 0u);
    ScratchDir dir;
    const std::string copy = dir / "general.accdb";
    auto stats = CompactDatabase(src.string(), copy, {.sort_order = SortOrderPolicy::kGeneral});
    ASSERT_TRUE(stats.ok()) << stats.error().ToString();
    // Rekeyed columns never take the source's keys: the copy made them all.
    EXPECT_FALSE(stats->sort_order_changes.empty());

    const TextOrders orders = CountTextOrders(copy);
    EXPECT_EQ(orders.other, 0u);
    EXPECT_EQ(c.of2010 ? orders.legacy : orders.general2010, 0u);
    EXPECT_GT(c.of2010 ? orders.general2010 : orders.legacy, 0u);
    auto db = Database::Open(copy);
    ASSERT_TRUE(db.ok()) << db.error().ToString();
    EXPECT_EQ(db.value()->header().sort_order, kGeneralSortOrder);
    EXPECT_EQ(db.value()->header().sort_order_version,
              c.of2010 ? kGeneral2010Version : kGeneralLegacyVersion);

    auto report = CheckDatabase(copy, {});
    ASSERT_TRUE(report.ok()) << report.error().ToString();
    EXPECT_EQ(report->damage_count(), 0u) << FormatCheckReport(report.value());
    EXPECT_EQ(report->counts.keys_other_sort_order, 0u);
    ExpectSameContent(DumpFile(src.string()), DumpFile(copy), c.name);
  }
}

}  // namespace
}  // namespace engine
