// The database engine as the program and quorlen-cli use it: compact and
// repair, in place or into a new file, always through the safe replacement
// of safe_replace.h. The desktop program keeps one DBEngine, created by the
// first operation that needs it.
//
//   maintenance::DBEngine engine;
//   engine::Status st = engine.CompactDatabase("/data/orders.mdb");
//
// A repair rebuilds the file from what can be read of it. When anything could
// not be carried over, the damaged original is kept beside the repaired file
// (as "<name>.damaged-YYYYMMDD-HHMMSS.mdb", never over anything) and a JSON
// report of the losses is written next to it, both before the rename.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/error.h"
#include "engine/progress.h"
#include "engine/repair.h"
#include "safe_replace.h"

namespace maintenance {

// A repair writes its copy like any other operation and tells what it lost.
using RepairOperation = std::function<engine::Result<engine::RepairResult>(const CopyRequest&)>;

// A copy operation taken as a repair that never loses anything (tests).
RepairOperation LosslessRepair(CopyOperation copy);

// What writes and checks the copies. The default uses the engine's
// compaction, repair and checker; tests put in their own.
struct Operations {
  CopyOperation compact;
  RepairOperation repair;
  VerifyOperation verify;
};
Operations EngineOperations();

struct JobOptions {
  std::string password;
  engine::ProgressCallback progress;  // may ask to stop by returning false (3001)
  // Repair only: where the JSON report goes (a new file; 3204 when it
  // exists). Empty: beside the repaired file, and only when something was
  // lost.
  std::string report;
  // Replace a read-only file, one with other hard links, or one whose owner
  // or group its copy cannot get (safe_replace.h).
  bool force = false;
  // Compaction only: re-key text columns under General (engine/compact.h).
  engine::SortOrderPolicy sort_order = engine::SortOrderPolicy::kKeep;
};

// What a repair did, for summaries and messages.
struct RepairOutcome : ReplaceOutcome {
  uint32_t tables = 0;
  uint64_t rows = 0;  // carried over
  uint64_t rows_lost = 0;
  uint64_t rows_lost_estimated = 0;  // of rows_lost: estimated from stored row counts
  uint64_t values_lost = 0;
  uint64_t pages_lost = 0;
  uint64_t tables_lost = 0;
  bool lost_anything = false;
  std::string kept_original;                    // the damaged original kept beside, or empty
  std::string report;                           // the JSON report written, or empty
  std::string error_table;                      // the copy's table listing the losses, or empty
  std::string error_table_note;                 // why there is none although something was lost
  std::vector<std::string> tables_with_losses;  // tables that lost rows or values, in order
  std::vector<std::string> lost_tables;         // tables whose definition is lost, in order
  std::vector<std::string> renamed_tables;      // found without a catalog row, named anew
  std::vector<std::string> header_notes;        // what page 0 was restored to, and why
  uint64_t altered_rows = 0;  // kept as stored although an index of the source contradicts them
};

class DBEngine {
 public:
  DBEngine();
  explicit DBEngine(Operations operations);

  // In place: PATH is replaced by its compacted (or repaired) copy.
  engine::Result<ReplaceOutcome> CompactDatabase(const std::string& path,
                                                 const JobOptions& options = {}) const;
  engine::Result<RepairOutcome> RepairDatabase(const std::string& path,
                                               const JobOptions& options = {}) const;

  // Into a new file; SOURCE is only read. 3204 when DESTINATION exists.
  engine::Result<ReplaceOutcome> CompactDatabase(const std::string& source,
                                                 const std::string& destination,
                                                 const JobOptions& options = {}) const;
  engine::Result<RepairOutcome> RepairDatabase(const std::string& source,
                                               const std::string& destination,
                                               const JobOptions& options = {}) const;

  // Fault injection for tests: called before each step of every operation.
  void SetFaultForTesting(std::function<int(Step)> fault) { fault_ = std::move(fault); }

 private:
  ReplaceRequest Request(const CopyOperation& copy, const JobOptions& options,
                         engine::CompactStats* stats) const;
  template <class Run>
  engine::Result<ReplaceOutcome> Timed(Run run) const;
  engine::Result<RepairOutcome> Repair(const std::string& source, const std::string* destination,
                                       const JobOptions& options) const;

  Operations operations_;
  std::function<int(Step)> fault_;
};

}  // namespace maintenance
