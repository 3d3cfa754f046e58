// The database engine as the program and quorlen-cli use it: compact and
// repair, in place or into a new file, always through the safe replacement
// of safe_replace.h. The desktop program keeps one DBEngine, created by the
// first operation that needs it.
//
//   maintenance::DBEngine engine;
//   engine::Status st = engine.CompactDatabase("/data/orders.mdb");
//
// A repair rebuilds the file from what can be read of it. Where the file is
// too damaged for that, it fails with 3049 and the file is left as it was.
#pragma once

#include <string>

#include "engine/error.h"
#include "engine/progress.h"
#include "safe_replace.h"

namespace maintenance {

// What writes and checks the copies. The default uses the engine's
// compaction and checker; tests put in their own.
struct Operations {
  CopyOperation compact;
  CopyOperation repair;
  VerifyOperation verify;
};
Operations EngineOperations();

struct JobOptions {
  std::string password;
  engine::ProgressCallback progress;  // may ask to stop by returning false (3001)
};

class DBEngine {
 public:
  DBEngine();
  explicit DBEngine(Operations operations);

  // In place: PATH is replaced by its compacted (or repaired) copy.
  engine::Result<ReplaceOutcome> CompactDatabase(const std::string& path,
                                                 const JobOptions& options = {}) const;
  engine::Result<ReplaceOutcome> RepairDatabase(const std::string& path,
                                                const JobOptions& options = {}) const;

  // Into a new file; SOURCE is only read. 3204 when DESTINATION exists.
  engine::Result<ReplaceOutcome> CompactDatabase(const std::string& source,
                                                 const std::string& destination,
                                                 const JobOptions& options = {}) const;
  engine::Result<ReplaceOutcome> RepairDatabase(const std::string& source,
                                                const std::string& destination,
                                                const JobOptions& options = {}) const;

  // Fault injection for tests: called before each step of every operation.
  void SetFaultForTesting(std::function<int(Step)> fault) { fault_ = std::move(fault); }

 private:
  ReplaceRequest Request(const CopyOperation& copy, const JobOptions& options) const;

  Operations operations_;
  std::function<int(Step)> fault_;
};

}  // namespace maintenance
