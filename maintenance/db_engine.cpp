#include "db_engine.h"

#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <optional>
#include <utility>

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

ReplaceRequest DBEngine::Request(const CopyOperation& copy, const JobOptions& options) const {
  ReplaceRequest request;
  request.password = options.password;
  request.progress = options.progress;
  request.copy = copy;
  request.verify = operations_.verify;
  request.fault = fault_;
  return request;
}

engine::Result<ReplaceOutcome> DBEngine::CompactDatabase(const std::string& path,
                                                         const JobOptions& options) const {
  return ReplaceInPlace(path, Request(operations_.compact, options));
}

engine::Result<RepairOutcome> DBEngine::RepairDatabase(const std::string& path,
                                                       const JobOptions& options) const {
  return Repair(path, nullptr, options);
}

engine::Result<ReplaceOutcome> DBEngine::CompactDatabase(const std::string& source,
                                                         const std::string& destination,
                                                         const JobOptions& options) const {
  return WriteNewFile(source, destination, Request(operations_.compact, options));
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
      options);
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
    const auto fill = [&](int fd) { return WriteRepairReport(fd, from, target, kept, *result); };
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
  if (result) {
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
  }
  outcome.kept_original = kept;
  outcome.report = report;
  return outcome;
}

}  // namespace maintenance
