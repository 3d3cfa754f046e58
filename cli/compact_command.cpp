// quorlen-cli compact SOURCE DESTINATION: the engine's compaction into a new
// file (written, flushed and read back by the engine; the partial file
// removed on failure), while SOURCE is held as for an in-place job, so that
// no other program changes it meanwhile (3356 when one holds it).
//
// quorlen-cli compact --dry-run PATH...: what a compaction would save. The
// compaction is run into a private folder under $TMPDIR (never beside the
// database, never over anything) while the database is held like for a
// real one, and the copy is removed again: the user's files are only read.
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "engine/compact.h"
#include "engine/database.h"
#include "maintenance/file_lock.h"
#include "maintenance/safe_replace.h"
#include "output.h"

namespace cli {

struct DryRunResult {
  engine::Status status;
  nlohmann::json json;
  std::string line;
};

engine::Result<maintenance::ReplaceOutcome> CompactToNewFile(
    const std::string& source, const std::string& destination, const std::string& password,
    const engine::ProgressCallback& progress, engine::SortOrderPolicy sort_order) {
  if (std::error_code ec; std::filesystem::is_directory(destination, ec)) {
    const std::string name = std::filesystem::path(source).filename().string();
    return engine::Error(engine::ErrorCode::kInvalidPath,
                         destination + " is a folder; name the new file (for instance " +
                             (std::filesystem::path(destination) / name).string() + ")");
  }
  if (std::error_code ec;
      std::filesystem::is_symlink(source, ec) && !std::filesystem::exists(source, ec)) {
    return engine::Error(engine::ErrorCode::kFileNotFound,
                         source + " is a symbolic link to " +
                             std::filesystem::read_symlink(source, ec).string() +
                             ", which does not exist");
  }
  auto lock = maintenance::FileLock::Acquire(source, maintenance::FileLock::Hold::kShared);
  if (!lock.ok()) return lock.error();
  engine::CompactOptions options;
  options.password = password;
  options.progress = progress;
  options.sort_order = sort_order;
  const auto start = std::chrono::steady_clock::now();
  auto stats = engine::CompactDatabase(source, destination, options);
  if (!stats.ok()) return stats.error();
  maintenance::ReplaceOutcome outcome;
  outcome.path = destination;
  outcome.bytes_before = stats->bytes_before;
  outcome.bytes_after = stats->bytes_after;
  outcome.stats = stats.value();
  outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return outcome;
}

DryRunResult DryRun(const std::string& path, const std::string& password,
                    const engine::ProgressCallback& progress, engine::SortOrderPolicy sort_order) {
  DryRunResult r;
  auto lock = maintenance::FileLock::Acquire(path, maintenance::FileLock::Hold::kShared);
  if (!lock.ok()) {
    r.status = lock.error();
    return r;
  }
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/quorlen-dry-run-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    r.status = engine::Error(engine::ErrorCode::kIoError,
                             "cannot create a temporary folder for the trial copy");
    return r;
  }
  const std::string copy = pattern + "/copy.mdb";
  engine::CompactOptions options;
  options.password = password;
  options.progress = progress;
  options.sort_order = sort_order;
  const auto start = std::chrono::steady_clock::now();
  auto stats = engine::CompactDatabase(path, copy, options);
  std::error_code ignored;
  std::filesystem::remove_all(pattern, ignored);
  if (!stats.ok()) {
    r.status = stats.error();
    return r;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const engine::CompactStats& s = stats.value();
  // Where the room comes from: pages free in the file, free space on the
  // data pages in use (deleted rows, space left by updates).
  auto summary = engine::Summarize(path, engine::OpenOptions{.password = password});
  const uint64_t saved = s.bytes_before > s.bytes_after ? s.bytes_before - s.bytes_after : 0;
  const double percent = s.bytes_before == 0 ? 0.0
                                             : 100.0 * static_cast<double>(saved) /
                                                   static_cast<double>(s.bytes_before);
  char share[32];
  std::snprintf(share, sizeof share, "%.1f%%", percent);
  r.line = path + ": compacting would save " + std::to_string(saved) + " bytes (" + share +
           "): " + std::to_string(s.bytes_before) + " -> " + std::to_string(s.bytes_after) +
           " bytes, " + std::to_string(s.pages_before) + " -> " +
           Count(s.pages_after, "page", "pages") + "; " + Count(s.tables, "table", "tables") +
           ", " + Count(s.rows, "row", "rows") + " kept";
  if (summary.ok()) {
    r.line += "; " + Count(summary->free_pages, "free page", "free pages") + ", " +
              std::to_string(summary->data_free_bytes) + " bytes free on data pages in use";
  }
  r.line += "; nothing was changed";
  r.json = {{"file", path},
            {"bytes_before", s.bytes_before},
            {"bytes_after", s.bytes_after},
            {"bytes_saved", saved},
            {"pages_before", s.pages_before},
            {"pages_after", s.pages_after},
            {"tables", s.tables},
            {"rows", s.rows},
            {"indexes", s.indexes},
            {"seconds", seconds}};
  if (summary.ok()) {
    r.json["free_pages"] = summary->free_pages;
    r.json["data_free_bytes"] = summary->data_free_bytes;
  }
  return r;
}

}  // namespace cli
