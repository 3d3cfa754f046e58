// The row codec and the row rewriter over every row of the real files in the
// corpus (skipped when it is absent): each row split and laid out again
// decodes to the same fields; each row rewritten into a fresh file, with its
// long values moved to new LVAL pages, reads back with the same values.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "reader/database.h"
#include "format/long_value.h"
#include "format/row.h"
#include "writer/data_page_builder.h"
#include "writer/long_value_writer.h"
#include "writer/memory_page_sink.h"
#include "writer/row_rewriter.h"

namespace engine {
namespace {

namespace fs = std::filesystem;

// Passwords of the real files, from the corpus's files.tsv (path -> password).
std::map<std::string, std::string> Passwords(const fs::path& dir) {
  std::map<std::string, std::string> out;
  std::ifstream in(dir / "real" / "files.tsv");
  std::string line;
  std::getline(in, line);  // column names
  while (std::getline(in, line)) {
    std::vector<std::string> cells;
    std::stringstream s(line);
    std::string cell;
    while (std::getline(s, cell, '\t')) cells.push_back(cell);
    if (cells.size() > 5) out[(dir / "real" / cells[0]).string()] = cells[5];
  }
  return out;
}

std::vector<fs::path> JetFiles(const fs::path& dir) {
  std::vector<fs::path> out;
  if (!fs::is_directory(dir)) return out;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    auto ext = e.path().extension().string();
    if (e.is_regular_file() && (ext == ".mdb" || ext == ".MDB" || ext == ".mde")) {
      out.push_back(e.path());
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<uint8_t> Copy(ByteSpan b) {
  return std::vector<uint8_t>(b.begin(), b.end());
}

struct Totals {
  uint64_t files = 0, tables = 0, rows = 0, long_values = 0, rows_changed = 0;
};

void CheckTable(const Database& db, const TableDef& t, Totals& totals, const std::string& where) {
  const Layout& L = db.layout();
  RowDecoder original(t, L), again(t, L);
  MemoryPageSink sink(L, 1);
  LongValueWriter long_values(sink);
  DataPageBuilder data(sink, t.first_page);
  RowRewriter rewriter(t, L, db.pager(), long_values);
  struct Kept {
    RowPointer source;
    RowPointer copy;
    std::vector<uint8_t> row;
    std::map<size_t, std::vector<uint8_t>> source_fields;  // long values, by column
  };
  std::vector<Kept> kept;

  Status scan = db.ScanRows(t, [&](const RowRef& ref) {
    std::string at = where + " row " + std::to_string(ref.location.page) + ":" +
                     std::to_string(ref.location.row);
    if (!original.Decode(ref.bytes).ok()) return true;  // the reader's concern
    ++totals.rows;
    auto parts = SplitRow(t, L, ref.bytes);
    EXPECT_TRUE(parts.ok()) << at;
    if (!parts.ok()) return false;
    auto encoded = EncodeRow(L, *parts);
    EXPECT_TRUE(encoded.ok()) << at << ": " << encoded.error().ToString();
    if (!encoded.ok()) return false;
    EXPECT_LE(encoded->size(), ref.bytes.size()) << at;
    Status d = again.Decode(*encoded);
    EXPECT_TRUE(d.ok()) << at;
    if (!d.ok()) return false;
    EXPECT_EQ(again.row_column_count(), original.row_column_count()) << at;
    for (size_t k = 0; k < t.columns.size(); ++k) {
      const FieldRef& a = original.fields()[k];
      const FieldRef& b = again.fields()[k];
      EXPECT_EQ(a.present, b.present) << at << " column " << t.columns[k].name;
      EXPECT_EQ(Copy(a.bytes), Copy(b.bytes)) << at << " column " << t.columns[k].name;
    }

    auto rewritten = rewriter.Rewrite(ref.bytes);
    EXPECT_TRUE(rewritten.ok()) << at << ": " << rewritten.error().ToString();
    if (!rewritten.ok()) return false;
    if (Copy(ref.bytes) != *rewritten) ++totals.rows_changed;
    auto placed = data.Add(*rewritten);
    EXPECT_TRUE(placed.ok()) << at;
    if (!placed.ok()) return false;
    Kept k{ref.location, *placed, std::move(rewritten.value()), {}};
    for (size_t c = 0; c < t.columns.size(); ++c) {
      if (t.columns[c].is_long_value() && original.fields()[c].present) {
        k.source_fields[c] = Copy(original.fields()[c].bytes);
      }
    }
    kept.push_back(std::move(k));
    return true;
  });
  ASSERT_TRUE(scan.ok()) << where << ": " << scan.error().ToString();
  ASSERT_TRUE(long_values.Finish().ok());
  ASSERT_TRUE(data.Finish().ok());

  std::vector<uint8_t> file = sink.bytes();
  Pager copy(FileSource::FromSpan(file), L.page_size, 0);
  std::vector<uint8_t> before_value, after_value;
  for (const Kept& k : kept) {
    std::string at =
        where + " row " + std::to_string(k.source.page) + ":" + std::to_string(k.source.row);
    // The row is on its page where the builder said.
    auto page = DecodeDataPage(copy.PageOrThrow(k.copy.page), L, k.copy.page);
    ASSERT_TRUE(page.ok()) << at;
    EXPECT_EQ(page->owner, t.first_page);
    const RowSlot& slot = page->slots.at(k.copy.row);
    ByteSpan bytes = copy.PageOrThrow(k.copy.page).subspan(slot.start, slot.length());
    ASSERT_EQ(Copy(bytes), k.row) << at;
    ASSERT_TRUE(again.Decode(bytes).ok()) << at;
    // And its long values are the source's.
    for (size_t c = 0; c < t.columns.size(); ++c) {
      if (!t.columns[c].is_long_value() || !again.fields()[c].present) continue;
      ++totals.long_values;
      Status s = ReadLongValue(copy, L, again.fields()[c].bytes, after_value);
      ASSERT_TRUE(s.ok()) << at << " column " << t.columns[c].name << ": " << s.error().ToString();
      ASSERT_TRUE(k.source_fields.count(c)) << at;
      ASSERT_TRUE(db.ReadLongValue(k.source_fields.at(c), before_value).ok()) << at;
      EXPECT_EQ(after_value, before_value) << at << " column " << t.columns[c].name;
    }
  }
  ++totals.tables;
}

TEST(WriterCorpus, EveryRowReEncodesAndEveryLongValueMoves) {
  const fs::path dir(QUORLEN_CORPUS_DIR);
  std::vector<fs::path> files;
  for (const char* sub : {"jet3", "jet4", "other-writers", "real"}) {
    auto more = JetFiles(dir / sub);
    files.insert(files.end(), more.begin(), more.end());
  }
  if (files.empty()) GTEST_SKIP() << "corpus not found at " << dir;
  auto passwords = Passwords(dir);
  Totals totals;
  for (const auto& f : files) {
    auto db = Database::Open(f.string(), {.password = passwords[f.string()]});
    if (!db.ok()) {
      std::printf("skipped %s: %s\n", f.filename().c_str(), db.error().ToString().c_str());
      continue;
    }
    ++totals.files;
    for (const CatalogObject* table : db.value()->tables()) {
      auto def = db.value()->ReadTableDef(table->table_page());
      if (!def.ok()) continue;
      CheckTable(*db.value(), *def, totals, f.filename().string() + " " + table->name);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
  std::printf(
      "writer corpus: %llu files, %llu tables, %llu rows (%llu rewritten), %llu long values\n",
      static_cast<unsigned long long>(totals.files), static_cast<unsigned long long>(totals.tables),
      static_cast<unsigned long long>(totals.rows),
      static_cast<unsigned long long>(totals.rows_changed),
      static_cast<unsigned long long>(totals.long_values));
  EXPECT_GT(totals.long_values, 0u);
}

}  // namespace
}  // namespace engine
