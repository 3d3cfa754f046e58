// CompactDatabase: the source opened read-only, the destination created
// exclusively, the copy written, flushed and read back before it counts.
#include <unistd.h>

#include "check/altered_values.h"
#include "compact/compact_internal.h"
#include "compact/compactor.h"
#include "engine/compact.h"
#include "reader/database.h"
#include "writer/external_sorter.h"
#include "writer/file_sink.h"

namespace engine {

namespace {

// Reads the copy back: it must open and hold as many live rows per table
// as were written.
Status VerifyCopy(const std::string& path, const CompactOptions& options,
                  const CompactStats& stats) {
  auto copy = Database::Open(path, OpenOptions{.password = options.password});
  if (!copy.ok()) {
    return Error(ErrorCode::kIoError,
                 "the new copy does not read back: " + copy.error().description());
  }
  copy.value()->pager().DecodeAhead();
  uint64_t rows = 0;
  uint32_t tables = 0;
  for (const CatalogObject* t : copy.value()->tables()) {
    auto def = copy.value()->ReadTableDef(t->table_page());
    if (!def.ok()) {
      return Error(ErrorCode::kIoError, "the new copy does not read back: table " + t->name + ": " +
                                            def.error().description());
    }
    Status st = copy.value()->ScanRows(def.value(), [&](const RowRef&) {
      ++rows;
      return true;
    });
    if (!st.ok()) {
      return Error(ErrorCode::kIoError, "the new copy does not read back: table " + t->name + ": " +
                                            st.error().description());
    }
    ++tables;
  }
  if (rows != stats.rows || tables != stats.tables) {
    return Error(ErrorCode::kIoError, "the new copy reads back " + std::to_string(rows) +
                                          " rows in " + std::to_string(tables) +
                                          " tables instead of " + std::to_string(stats.rows) +
                                          " in " + std::to_string(stats.tables));
  }
  return Status::Ok();
}

// Rows whose values the source's indexes contradict: 3049 where two or more
// indexes agree against a row; otherwise the count (in the stats' fields)
// of rows a single index contradicts. A source the walk cannot read is left
// to the compaction, which reports its damage itself.
Result<CompactStats> JudgeAlteredRows(const Database& db) {
  CompactStats out;
  auto found = FindAlteredRows(db, AlteredScope::kFixedKeys);
  if (!found.ok()) return out;
  for (const AlteredRow& r : found.value()) {
    if (r.row_changed()) {
      return Damaged("a row's values changed after its indexes were written (" + r.Describe() +
                     "); compacting would rebuild the indexes from the changed row: repair the "
                     "file instead, which keeps the row and lists it");
    }
    if (out.rows_one_index_disagrees++ == 0) out.first_disagreeing_row = r.Describe();
  }
  return out;
}

}  // namespace

Result<CompactStats> CompactDatabaseThrough(const std::string& source,
                                            const std::string& destination,
                                            const CompactOptions& options,
                                            const SinkWrapper& wrap) {
  auto db = Database::Open(source, OpenOptions{.password = options.password});
  if (!db.ok()) return db.error();
  // An encoded source is read nearly whole: its pages are decoded on a
  // second thread, ahead of the reading.
  db.value()->pager().DecodeAhead();
  auto altered = JudgeAlteredRows(*db.value());
  if (!altered.ok()) return altered.error();
  auto file = FilePageSink::Create(destination, db.value()->layout(),
                                   db.value()->header().database_key, db.value()->pager().cipher());
  if (!file.ok()) return file.error();
  FilePageSink& file_sink = *file.value();
  std::unique_ptr<PageSink> wrapper;
  if (wrap) wrapper = wrap(file_sink);
  PageSink& sink = wrapper ? *wrapper : static_cast<PageSink&>(file_sink);

  auto stats = CompactToSink(*db.value(), sink, options, TempDirBeside(destination));
  if (!stats.ok()) {
    file_sink.Abandon();
    return stats.error();
  }
  stats.value().rows_one_index_disagrees = altered.value().rows_one_index_disagrees;
  stats.value().first_disagreeing_row = altered.value().first_disagreeing_row;
  if (Status st = file_sink.Finish(); !st.ok()) {
    file_sink.Abandon();
    return st.error();
  }
  if (options.progress && !options.progress(Progress{"verifying", "", 0, 0})) {
    ::unlink(destination.c_str());
    return Error(ErrorCode::kInvalidArgument, "cancelled");
  }
  if (Status st = VerifyCopy(destination, options, stats.value()); !st.ok()) {
    ::unlink(destination.c_str());
    return st.error();
  }
  return stats;
}

Result<CompactStats> CompactDatabase(const std::string& source, const std::string& destination,
                                     const CompactOptions& options) {
  return CompactDatabaseThrough(source, destination, options, nullptr);
}

}  // namespace engine
