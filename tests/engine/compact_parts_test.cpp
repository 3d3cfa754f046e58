// The compactor's own parts: the rewrite of a table definition, its split
// over pages, the object-id map with its rule for stale ids, and the file
// sink (exclusive creation, encoding, flush, removal of a partial file).
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "compact/id_map.h"
#include "compact/table_def_writer.h"
#include "compact_support.h"
#include "format/header.h"
#include "io/cipher.h"
#include "engine/values.h"
#include "format/text.h"
#include "jet_builder.h"
#include "writer/file_sink.h"

namespace engine {
namespace {

namespace fs = std::filesystem;
using compact_test::ReadFile;
using compact_test::ScratchDir;
using jet_test::Bytes;

class PerVersion : public ::testing::TestWithParam<JetVersion> {
 protected:
  JetVersion v() const { return GetParam(); }
  const Layout& L() const { return LayoutFor(v()); }
};

INSTANTIATE_TEST_SUITE_P(BothVersions, PerVersion,
                         ::testing::Values(JetVersion::kJet3, JetVersion::kJet4),
                         [](const ::testing::TestParamInfo<JetVersion>& p) {
                           return p.param == JetVersion::kJet3 ? std::string("Jet3")
                                                               : std::string("Jet4");
                         });

jet_test::TableSpec IndexedTable(int extra_columns = 0) {
  jet_test::TableSpec t;
  t.max_cols = static_cast<uint16_t>(3 + extra_columns);
  t.num_var_cols = 1;
  t.num_rows = 7;
  t.owned_map = (9 << 8) | 1;
  t.free_map = (9 << 8) | 2;
  t.columns = {{0x04, 0, 0, 0x13, 0, 4, "ID"},
               {0x0C, 1, 0, 0x12, 0, 0, "Notes"},
               {0x04, 2, 0, 0x13, 4, 4, "Other"}};
  for (int i = 0; i < extra_columns; ++i) {
    t.columns.push_back({0x04, static_cast<uint16_t>(3 + i), 0, 0x13,
                         static_cast<uint16_t>(8 + 4 * i), 4,
                         "a rather long column name number " + std::to_string(i)});
  }
  t.index_columns = {0};
  t.index_root = 44;
  t.index_map = (9 << 8) | 3;
  t.lv_maps = {{1, (9 << 8) | 4, (9 << 8) | 5}};
  return t;
}

TEST_P(PerVersion, RewrittenDefinitionCarriesTheNewPointersAndKeepsEveryOtherByte) {
  TextCodec text(v(), 1252);
  Bytes raw = jet_test::BuildTableDef(v(), IndexedTable());
  // A foreign key to the table at page 30, and bytes after the end that
  // must be dropped.
  auto source = DecodeTableDef(raw, L(), text, 12);
  ASSERT_TRUE(source.ok()) << source.error().ToString();
  const uint32_t fk_at = source.value().logical_indexes[0].definition_offset + L().lidx_fk_table;
  jet_test::Put32(&raw[fk_at], 30);
  raw.resize(raw.size() + 40, 0xEE);
  source = DecodeTableDef(raw, L(), text, 12);
  ASSERT_TRUE(source.ok()) << source.error().ToString();
  const TableDef& def = source.value();

  TableDefUpdate u;
  u.num_rows = 5;
  u.autonumber = 99;
  u.owned_map = {70, 0};
  u.free_map = {70, 1};
  u.indexes = {{{70, 2}, 71, 5, 4}};
  u.long_values = {{{70, 3}, {70, 4}}};
  u.table_id = [](uint32_t old_id) { return old_id == 30 ? 6u : old_id; };
  auto out = RewriteTableDef(def, L(), u);
  ASSERT_TRUE(out.ok()) << out.error().ToString();
  ASSERT_EQ(out.value().size(), raw.size() - 40) << "bytes past the definition are dropped";
  EXPECT_EQ(WrittenTableDefLength(def), out.value().size());

  auto back = DecodeTableDef(out.value(), L(), text, 6);
  ASSERT_TRUE(back.ok()) << back.error().ToString();
  const TableDef& d = back.value();
  EXPECT_EQ(d.tdef_len, out.value().size());
  EXPECT_EQ(d.parsed_length, d.tdef_len);
  EXPECT_EQ(d.num_rows, 5u);
  EXPECT_EQ(d.autonumber, 99u);
  EXPECT_EQ(d.owned_map, (RowPointer{70, 0}));
  EXPECT_EQ(d.free_map, (RowPointer{70, 1}));
  ASSERT_EQ(d.physical_indexes.size(), 1u);
  EXPECT_EQ(d.physical_indexes[0].map, (RowPointer{70, 2}));
  EXPECT_EQ(d.physical_indexes[0].root_page, 71u);
  EXPECT_EQ(d.physical_indexes[0].count_a, 5u);
  EXPECT_EQ(d.physical_indexes[0].count_b, 4u);
  EXPECT_EQ(d.logical_indexes[0].fk_table, 6u);
  ASSERT_EQ(d.long_value_maps.size(), 1u);
  EXPECT_EQ(d.long_value_maps[0].owned_map, (RowPointer{70, 3}));
  EXPECT_EQ(d.long_value_maps[0].free_map, (RowPointer{70, 4}));

  // Every byte that is not one of the rewritten fields is the source's.
  std::vector<bool> rewritten(out.value().size(), false);
  auto mark = [&](size_t at, size_t n) {
    for (size_t i = 0; i < n; ++i) rewritten[at + i] = true;
  };
  mark(8, 4);
  mark(L().tdef_num_rows, 4);
  mark(L().tdef_autonumber, 4);
  mark(L().tdef_owned_map, 4);
  mark(L().tdef_free_map, 4);
  mark(def.physical_indexes[0].counts_offset, 8);
  mark(def.physical_indexes[0].definition_offset + L().pidx_map, 4);
  mark(def.physical_indexes[0].definition_offset + L().pidx_root, 4);
  mark(fk_at, 4);
  mark(def.long_value_maps[0].entry_offset + 2, 8);
  for (size_t i = 0; i < out.value().size(); ++i) {
    if (!rewritten[i]) {
      EXPECT_EQ(out.value()[i], raw[i]) << "byte " << i;
    }
  }
}

TEST_P(PerVersion, DefinitionWithoutTerminatorGetsOneAndMismatchedUpdatesAreRefused) {
  TextCodec text(v(), 1252);
  jet_test::TableSpec spec = IndexedTable();
  spec.lv_maps.clear();
  Bytes raw = jet_test::BuildTableDef(v(), spec);
  raw.resize(raw.size() - 2);  // an older writer left the list out
  jet_test::Put32(&raw[8], static_cast<uint32_t>(raw.size()));
  auto def = DecodeTableDef(raw, L(), text, 12);
  ASSERT_TRUE(def.ok()) << def.error().ToString();
  TableDefUpdate u;
  u.indexes.resize(1);
  auto out = RewriteTableDef(def.value(), L(), u);
  ASSERT_TRUE(out.ok()) << out.error().ToString();
  ASSERT_EQ(out.value().size(), raw.size() + 2);
  EXPECT_EQ(out.value()[raw.size()], 0xFF);
  EXPECT_EQ(out.value()[raw.size() + 1], 0xFF);
  auto back = DecodeTableDef(out.value(), L(), text, 12);
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(back.value().parsed_length, back.value().tdef_len);

  u.indexes.clear();
  auto refused = RewriteTableDef(def.value(), L(), u);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().number(), 3001);
}

TEST_P(PerVersion, LongDefinitionIsSplitIntoLinkedPagesThatReadBackWhole) {
  TextCodec text(v(), 1252);
  // Enough columns with long names to need three pages.
  Bytes raw = jet_test::BuildTableDef(v(), IndexedTable(100));
  const uint32_t ps = L().page_size;
  ASSERT_GT(raw.size(), ps + (ps - 8));
  auto def = DecodeTableDef(raw, L(), text, 3);
  ASSERT_TRUE(def.ok()) << def.error().ToString();
  TableDefUpdate u;
  u.indexes.resize(1);
  u.long_values.resize(1);
  auto out = RewriteTableDef(def.value(), L(), u);
  ASSERT_TRUE(out.ok());
  const uint32_t count = TableDefPageCount(static_cast<uint32_t>(out.value().size()), ps);
  ASSERT_EQ(count, 3u);
  std::vector<uint32_t> numbers = {3, 4, 5};
  auto pages = SplitTableDef(out.value(), numbers, L());
  ASSERT_EQ(pages.size(), 3u);

  // Lay the pages into a file and read the chain as the reader does.
  jet_test::FileBuilder f(v(), 6);
  f.Header();
  for (uint32_t i = 0; i < 3; ++i) std::copy(pages[i].begin(), pages[i].end(), f.page(3 + i));
  Pager pager(FileSource::FromBuffer(f.Finish()), ps, 0);
  auto back = ReadTableDef(pager, L(), text, 3);
  ASSERT_TRUE(back.ok()) << back.error().ToString();
  EXPECT_EQ(back.value().pages, numbers);
  EXPECT_EQ(back.value().tdef_len, out.value().size());
  // The first page's header holds the chain link; the rest is the definition.
  EXPECT_TRUE(std::equal(out.value().begin() + 8, out.value().end(), back.value().raw.begin() + 8));
  EXPECT_EQ(back.value().columns.size(), def.value().columns.size());

  const size_t last_used = 8 + (out.value().size() - ps - (ps - 8));
  for (size_t i = 0; i < 3; ++i) {
    const auto& p = pages[i];
    EXPECT_EQ(p[0], 0x02);
    if (v() == JetVersion::kJet3) {
      EXPECT_EQ(p[2], 'V');
      EXPECT_EQ(p[3], 'C');
    } else {
      uint32_t free = p[2] | (p[3] << 8);
      uint32_t expected = i < 2 ? 0 : static_cast<uint32_t>(ps - last_used - 8);
      EXPECT_EQ(free, expected) << "page " << i;
    }
  }
  // Unused bytes of the last page are zero.
  for (size_t b = last_used; b < ps; ++b) ASSERT_EQ(pages[2][b], 0) << "byte " << b;
}

TEST(IdMapTest, TablesMoveStaleIdsNeverComeToNameATable) {
  IdMap ids;
  ids.AddTable(2, 2);
  ids.AddTable(0x40, 6);
  ids.AddTable(0x17, 9);
  EXPECT_EQ(ids.Map(2), 2);
  EXPECT_EQ(ids.Map(0x40), 6);
  EXPECT_EQ(ids.Map(0x17), 9);
  EXPECT_EQ(ids.TableId(0x40), 6u);
  EXPECT_EQ(ids.TableId(0x55), 0x55u);
  // Ids of other objects and stale ids that stay free keep their value.
  EXPECT_EQ(ids.Map(static_cast<int32_t>(0x80000007u)), static_cast<int32_t>(0x80000007u));
  EXPECT_EQ(ids.Map(0x0F000001), 0x0F000001);
  EXPECT_EQ(ids.Map(0x33), 0x33);
  EXPECT_EQ(ids.stale_replaced(), 0u);
  // A stale id equal to a table's new id would name that table: it moves
  // out of the range of pages, the same way every time.
  const int32_t six = ids.Map(6);
  const int32_t nine = ids.Map(9);
  EXPECT_EQ(six, 0x00FFFFFF);
  EXPECT_EQ(nine, 0x00FFFFFE);
  EXPECT_EQ(ids.Map(6), six);
  EXPECT_EQ(ids.stale_replaced(), 2u);

  // Compacting the copy again: the replacements collide with nothing.
  IdMap again;
  again.AddTable(2, 2);
  again.AddTable(6, 6);
  again.AddTable(9, 9);
  EXPECT_EQ(again.Map(six), six);
  EXPECT_EQ(again.Map(nine), nine);
  EXPECT_EQ(again.Map(6), 6);
}

TEST(IdMapTest, IdColumnsAreTheLongColumnsOfTheCatalogTables) {
  TableDef t;
  ColumnDef id;
  id.type = static_cast<uint8_t>(ColumnType::kLong);
  id.name = "ID";
  ColumnDef parent = id;
  parent.name = "ParentId";
  ColumnDef text = id;
  text.type = static_cast<uint8_t>(ColumnType::kText);
  text.name = "Id";
  t.columns = {text, parent, id};
  EXPECT_EQ(IdColumns("msysobjects", t), (std::vector<size_t>{1, 2}));
  EXPECT_EQ(IdColumns("MSysNavPaneObjectIDs", t), (std::vector<size_t>{2}));
  EXPECT_TRUE(IdColumns("Orders", t).empty());
  EXPECT_TRUE(IdColumns("MSysACEs", t).empty());
}

TEST_P(PerVersion, FileSinkEncodesPagesAndKeepsTheFileOnlyWhenFinished) {
  ScratchDir dir;
  const std::string path = dir / "out.mdb";
  const uint32_t key = 0x1234ABCD;
  const uint32_t ps = L().page_size;
  {
    auto sink = FilePageSink::Create(path, L(), key);
    ASSERT_TRUE(sink.ok()) << sink.error().ToString();
    FilePageSink& s = *sink.value();
    std::vector<uint8_t> page(ps);
    ASSERT_EQ(s.AllocatePage(), 0u);
    ASSERT_EQ(s.AllocatePage(), 1u);
    ASSERT_EQ(s.AllocatePage(), 2u);
    // Written out of order, as definition pages are.
    for (uint32_t n : {2u, 0u, 1u}) {
      std::fill(page.begin(), page.end(), static_cast<uint8_t>(0x10 + n));
      ASSERT_TRUE(s.WritePage(n, page).ok());
    }
    EXPECT_EQ(s.WritePage(3, page).error().number(), 3001) << "page 3 was never allocated";
    std::vector<uint8_t> short_page(ps - 1);
    EXPECT_EQ(s.WritePage(1, short_page).error().number(), 3001);
    ASSERT_TRUE(s.Finish().ok());
  }
  std::vector<uint8_t> file = ReadFile(path);
  ASSERT_EQ(file.size(), 3u * ps);
  for (uint32_t n = 0; n < 3; ++n) {
    std::vector<uint8_t> page(file.begin() + n * ps, file.begin() + (n + 1) * ps);
    if (n != 0) {
      EXPECT_NE(page[0], 0x10 + n) << "page " << n << " is stored encoded";
      ApplyPageCipher(page.data(), ps, n, key);
    }
    EXPECT_EQ(page, std::vector<uint8_t>(ps, static_cast<uint8_t>(0x10 + n))) << "page " << n;
  }
}

// Pages reach the disk in gathered runs: whatever order they come in, and
// however often one is written again, the file holds the last bytes given
// for each page, each encoded with its own number.
TEST_P(PerVersion, FileSinkGathersRunsWithoutMixingPagesUp) {
  ScratchDir dir;
  const std::string path = dir / "runs.mdb";
  const uint32_t key = 0x0BADF00D;
  const uint32_t ps = L().page_size;
  // More pages than two windows hold.
  const uint32_t count = FilePageSink::kWindowPages * 2 + 40;
  std::vector<uint8_t> expected(count, 0);
  {
    auto sink = FilePageSink::Create(path, L(), key);
    ASSERT_TRUE(sink.ok()) << sink.error().ToString();
    FilePageSink& s = *sink.value();
    for (uint32_t n = 0; n < count; ++n) ASSERT_EQ(s.AllocatePage(), n);
    std::vector<uint8_t> page(ps);
    auto write = [&](uint32_t n, uint8_t fill) {
      std::fill(page.begin(), page.end(), fill);
      page[ps - 1] = static_cast<uint8_t>(n);
      ASSERT_TRUE(s.WritePage(n, page).ok()) << "page " << n;
      expected[n] = fill;
    };
    // Definition pages first left out, written at the end, as the compactor does.
    for (uint32_t n = 3; n < count - 10; ++n) {
      write(n, static_cast<uint8_t>(0x20 + n % 50));
      if (n == 9) write(6, 0xA6);          // again while still gathered
      if (n == 40) write(20, 0xD4);        // again, its window still open
      if (n == 300) write(100, 0xE4);      // late, outside the window
      if (n == count / 2) write(5, 0xB5);  // again after its run went out
    }
    for (uint32_t n = count - 1; n >= count - 10; --n) write(n, 0xC0);  // backwards
    for (uint32_t n : {2u, 0u, 1u}) write(n, static_cast<uint8_t>(0x10 + n));
    ASSERT_TRUE(s.Finish().ok());
  }
  std::vector<uint8_t> file = ReadFile(path);
  ASSERT_EQ(file.size(), uint64_t{count} * ps);
  for (uint32_t n = 0; n < count; ++n) {
    std::vector<uint8_t> page(file.begin() + uint64_t{n} * ps, file.begin() + uint64_t{n + 1} * ps);
    if (n != 0) ApplyPageCipher(page.data(), ps, n, key);
    std::vector<uint8_t> want(ps, expected[n]);
    want[ps - 1] = static_cast<uint8_t>(n);
    ASSERT_EQ(page, want) << "page " << n;
  }
}

// A run the disk refuses (here: past the file-size limit) fails the sink
// for good: no later call reports success, and the partial file goes.
TEST_P(PerVersion, FileSinkWriteFailureIsReportedAndSticks) {
  ScratchDir dir;
  const std::string path = dir / "limited.mdb";
  const uint32_t ps = L().page_size;
  struct rlimit old_limit {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  if (old_limit.rlim_cur != RLIM_INFINITY && old_limit.rlim_cur < 64u * ps) {
    GTEST_SKIP() << "file size limit already set";
  }
  auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit limit = old_limit;
  limit.rlim_cur = 3u * ps + ps / 2;  // the fourth page fits only in part
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
  Status failed, again, finish;
  {
    auto sink = FilePageSink::Create(path, L(), 0);
    ASSERT_TRUE(sink.ok());
    FilePageSink& s = *sink.value();
    std::vector<uint8_t> page(ps, 0x5A);
    for (uint32_t n = 0; n < 8; ++n) s.AllocatePage();
    for (uint32_t n = 0; n < 8; ++n) EXPECT_TRUE(s.WritePage(n, page).ok()) << "still gathered";
    failed = s.Finish();
    again = s.WritePage(7, page);
    finish = s.Finish();
  }
  ::setrlimit(RLIMIT_FSIZE, &old_limit);
  std::signal(SIGXFSZ, old_handler);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().number(), 3026) << failed.error().ToString();
  EXPECT_NE(failed.error().description().find("pages 0-7"), std::string::npos)
      << failed.error().description();
  EXPECT_FALSE(again.ok());
  EXPECT_FALSE(finish.ok());
  EXPECT_FALSE(fs::exists(path)) << "the partial file is removed";
}

TEST_P(PerVersion, FileSinkRefusesAnExistingFileAndRemovesWhatItDidNotFinish) {
  ScratchDir dir;
  const std::string existing = dir / "taken.mdb";
  compact_test::WriteFile(existing, {1, 2, 3});
  auto refused = FilePageSink::Create(existing, L(), 0);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().number(), 3204);
  EXPECT_EQ(ReadFile(existing), (std::vector<uint8_t>{1, 2, 3}));

  EXPECT_EQ(FilePageSink::Create(dir / "no/such/dir.mdb", L(), 0).error().number(), 3044);
  EXPECT_EQ(FilePageSink::Create("", L(), 0).error().number(), 3044);

  const std::string partial = dir / "partial.mdb";
  {
    auto sink = FilePageSink::Create(partial, L(), 0);
    ASSERT_TRUE(sink.ok());
    sink.value()->AllocatePage();
    sink.value()->AllocatePage();
    std::vector<uint8_t> page(L().page_size, 7);
    ASSERT_TRUE(sink.value()->WritePage(0, page).ok());
    Status unfinished = sink.value()->Finish();
    ASSERT_FALSE(unfinished.ok()) << "page 1 was never written";
    EXPECT_TRUE(fs::exists(partial));
  }
  EXPECT_FALSE(fs::exists(partial)) << "dropping an unfinished sink removes its file";

  const std::string abandoned = dir / "abandoned.mdb";
  auto sink = FilePageSink::Create(abandoned, L(), 0);
  ASSERT_TRUE(sink.ok());
  sink.value()->Abandon();
  EXPECT_FALSE(fs::exists(abandoned));
}

TEST(FileSinkTest, FullDiskIs3026AndOtherFailures3043) {
  EXPECT_EQ(WriteError(ENOSPC, "x").number(), 3026);
  EXPECT_EQ(WriteError(EDQUOT, "x").number(), 3026);
  EXPECT_EQ(WriteError(EIO, "x").number(), 3043);
  // A real full device, where the machine has one.
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  int fd = ::open("/dev/full", O_WRONLY);
  if (fd < 0) GTEST_SKIP() << "cannot open /dev/full";
  char byte = 0;
  ssize_t n = ::write(fd, &byte, 1);
  int err = errno;
  ::close(fd);
  ASSERT_LT(n, 0);
  EXPECT_EQ(WriteError(err, "/dev/full").number(), 3026);
}

}  // namespace
}  // namespace engine
