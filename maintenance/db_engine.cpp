#include "db_engine.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <optional>
#include <utility>

#include "os_error.h"
#include "repair_report.h"

namespace maintenance {

RepairOperation LosslessRepair(CopyOperation copy) {
  return [copy =
              std::move(copy)](const CopyRequest& request) -> engine::Result<engine::RepairResult> {
    if (!copy) {
      return engine::Error(engine::ErrorCode::kInvalidArgument, "no operation to write the copy");
    }
    if (engine::Status st = copy(request); !st.ok()) return st.error();
    return engine::RepairResult{};
  };
}

DBEngine::DBEngine(Operations operations) : operations_(std::move(operations)) {}

ReplaceRequest DBEngine::Request(const CopyOperation& copy, const JobOptions& options,
                                 engine::CompactStats* stats) const {
  ReplaceRequest request;
  request.force = options.force;
  request.stats = stats;
  request.password = options.password;
  request.progress = options.progress;
  request.copy = copy;
  if (options.sort_order != engine::SortOrderPolicy::kKeep) {
    request.copy = [copy, policy = options.sort_order](const CopyRequest& r) {
      CopyRequest with = r;
      with.sort_order = policy;
      return copy(with);
    };
  }
  request.verify = operations_.verify;
  request.fault = fault_;
  return request;
}

// Runs a compaction (RUN gets where the copy's numbers go) and adds them and
// its time to the outcome.
template <class Run>
engine::Result<ReplaceOutcome> DBEngine::Timed(Run run) const {
  const auto start = std::chrono::steady_clock::now();
  engine::CompactStats stats;
  engine::Result<ReplaceOutcome> outcome = run(&stats);
  if (!outcome.ok()) return outcome;
  outcome->stats = stats;
  outcome->seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return outcome;
}

engine::Result<ReplaceOutcome> DBEngine::CompactDatabase(const std::string& path,
                                                         const JobOptions& options) const {
  return Timed([&](engine::CompactStats* stats) {
    return ReplaceInPlace(path, Request(operations_.compact, options, stats));
  });
}

engine::Result<RepairOutcome> DBEngine::RepairDatabase(const std::string& path,
                                                       const JobOptions& options) const {
  return Repair(path, nullptr, options);
}

engine::Result<ReplaceOutcome> DBEngine::CompactDatabase(const std::string& source,
                                                         const std::string& destination,
                                                         const JobOptions& options) const {
  return Timed([&](engine::CompactStats* stats) {
    return WriteNewFile(source, destination, Request(operations_.compact, options, stats));
  });
}

engine::Result<RepairOutcome> DBEngine::RepairDatabase(const std::string& source,
                                                       const std::string& destination,
                                                       const JobOptions& options) const {
  return Repair(source, &destination, options);
}

// The repair writes its copy in the private folder like a compaction. Just
// before the rename, when anything was lost, the damaged original is kept
// (in place only: a source of a new file is never touched anyway) and the
// report is written; a failed rename takes both away again, so a failure
// leaves nothing new behind.
engine::Result<RepairOutcome> DBEngine::Repair(const std::string& source,
                                               const std::string* destination,
                                               const JobOptions& options) const {
  if (!options.report.empty()) {
    struct stat st {};
    if (lstat(options.report.c_str(), &st) == 0) {
      return engine::Error(engine::ErrorCode::kDatabaseExists,
                           "the report " + options.report + " already exists; nothing was written");
    }
  }
  const auto start = std::chrono::steady_clock::now();
  std::optional<engine::RepairResult> result;
  std::string kept;
  std::string report;
  const RepairOperation& repair = operations_.repair;
  ReplaceRequest request = Request(
      [&result, &repair](const CopyRequest& copy) -> engine::Status {
        if (!repair) {
          return engine::Error(engine::ErrorCode::kInvalidArgument,
                               "no operation to write the copy");
        }
        auto repaired = repair(copy);
        if (!repaired.ok()) return repaired.error();
        result = std::move(repaired.value());
        return engine::Status::Ok();
      },
      options, nullptr);
  auto undo = [&kept, &report] {
    if (!kept.empty()) unlink(kept.c_str());
    if (!report.empty()) unlink(report.c_str());
    kept.clear();
    report.clear();
  };
  request.before_rename = [&](const std::string& target) -> engine::Status {
    if (!result) return engine::Status::Ok();
    const bool lost = result->lost_anything();
    if (!lost && options.report.empty()) return engine::Status::Ok();
    const std::time_t now = std::time(nullptr);
    if (lost && destination == nullptr) {
      auto keep = KeepOriginal(target, now);
      if (!keep.ok()) return keep.error();
      kept = keep.value();
    }
    const std::string from = destination == nullptr ? target : source;
    // The report holds the lost rows' bytes: it gets the database's owner
    // (where we may), group and permission bits (no execute bits), no wider.
    struct stat like {};
    const bool have_like =
        stat(destination == nullptr ? target.c_str() : source.c_str(), &like) == 0;
    const auto fill = [&](int fd) {
      if (have_like) {
        mode_t mode = like.st_mode & 0666;
        // The database's owner too where we may (root), else its group only.
        if (fchown(fd, like.st_uid, like.st_gid) != 0 &&
            fchown(fd, static_cast<uid_t>(-1), like.st_gid) != 0) {
          mode &= ~static_cast<mode_t>(0066);
        }
        if (fchmod(fd, mode) != 0) return engine::Status(OsError(errno, "cannot set its mode"));
      }
      return WriteRepairReport(fd, from, target, kept, *result);
    };
    if (!options.report.empty()) {
      engine::Status st = WriteNewFile(options.report, fill);
      if (!st.ok()) {
        undo();
        return st;
      }
      report = options.report;
    } else {
      auto written = WriteFirstFree(StampedName(target, ".repair-report", now, ".json"), fill);
      if (!written.ok()) {
        undo();
        return written.error();
      }
      report = written.value();
    }
    return engine::Status::Ok();
  };
  request.not_replaced = undo;

  auto replaced = destination == nullptr ? ReplaceInPlace(source, request)
                                         : WriteNewFile(source, *destination, request);
  if (!replaced.ok()) return replaced.error();
  RepairOutcome outcome;
  static_cast<ReplaceOutcome&>(outcome) = replaced.value();
  outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (result) {
    outcome.stats = result->stats;
    outcome.tables = result->stats.tables;
    outcome.rows = result->stats.rows;
    outcome.rows_lost = result->counts.rows_lost;
    outcome.rows_lost_estimated = result->counts.rows_lost_estimated;
    outcome.values_lost = result->counts.values_lost;
    outcome.pages_lost = result->counts.pages_lost;
    outcome.tables_lost = result->counts.tables_lost;
    outcome.lost_anything = result->lost_anything();
    outcome.error_table = result->error_table;
    outcome.error_table_note = result->error_table_note;
    TablesHit hit = TablesHitBy(result->losses);
    outcome.lost_tables = std::move(hit.lost);
    outcome.tables_with_losses = std::move(hit.partly_lost);
    outcome.renamed_tables = std::move(hit.renamed);
    for (const engine::LossRecord& loss : result->losses) {
      if (loss.kind == engine::LossKind::kAlteredValue) ++outcome.altered_rows;
      // Notes on page 0 itself (a cut file's note names its last page).
      if (loss.kind == engine::LossKind::kHeader && loss.position && loss.position->page == 0) {
        outcome.header_notes.push_back(loss.reason);
      }
    }
  }
  outcome.kept_original = kept;
  outcome.report = report;
  return outcome;
}

}  // namespace maintenance
