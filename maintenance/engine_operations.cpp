// The production operations: the engine's compaction writes the copy, the
// engine's checker verifies it. Kept apart from db_engine.cpp so that tests
// which bring their own operations do not need the compactor.
#include <string>

#include "db_engine.h"
#include "engine/check.h"
#include "engine/compact.h"
#include "engine/repair.h"

namespace maintenance {
namespace {

engine::Status Compact(const CopyRequest& request) {
  engine::CompactOptions options;
  options.password = request.password;
  options.progress = request.progress;
  options.sort_order = request.sort_order;
  auto stats = engine::CompactDatabase(request.source, request.destination, options);
  if (!stats.ok()) return stats.error();
  if (request.stats != nullptr) *request.stats = stats.value();
  return engine::Status::Ok();
}

// The tolerant repair: everything that validates is carried over, the rest
// is listed in the result.
engine::Result<engine::RepairResult> Repair(const CopyRequest& request) {
  engine::RepairOptions options;
  options.password = request.password;
  options.progress = request.progress;
  return engine::RepairDatabase(request.source, request.destination, options);
}

engine::Status Verify(const std::string& path, const std::string& password) {
  engine::CheckOptions options;
  options.password = password;
  auto report = engine::CheckDatabase(path, options);
  if (!report.ok()) {
    return engine::Error(report.error().number(),
                         "the new copy cannot be read back: " + report.error().description());
  }
  // Damage fails the copy; leftovers (what Access itself leaves and works
  // with) do not.
  const uint64_t damage = report->damage_count();
  if (damage == 0) return engine::Status::Ok();
  std::string first;
  for (const engine::CheckProblem& problem : report->problems) {
    if (problem.severity != engine::Severity::kDamage) continue;
    first = "; the first: " + problem.code + ": " + problem.message;
    break;
  }
  return engine::Error(engine::ErrorCode::kDamaged,
                       "the new copy failed its check with " + std::to_string(damage) +
                           " damage problem(s)" + first + "; the original was left as it was");
}

}  // namespace

Operations EngineOperations() {
  return Operations{Compact, Repair, Verify};
}

DBEngine::DBEngine() : DBEngine(EngineOperations()) {}

}  // namespace maintenance
