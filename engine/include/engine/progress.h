// Progress reports of long engine operations (compaction, repair, checks).
//
// The engine calls the callback from the thread that runs the operation,
// often enough for a progress bar (at least once per table and at most a few
// thousand times per operation). A callback that returns false asks the
// operation to stop; it then fails with 3001 ("cancelled") and leaves no
// partial output behind.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace engine {

struct Progress {
  std::string phase;   // "reading", "tables", "indexes", "verifying", ...
  std::string detail;  // the table or index being worked on, may be empty
  uint64_t done = 0;   // units finished of `total` (units are the phase's own)
  uint64_t total = 0;  // 0 when unknown
};

using ProgressCallback = std::function<bool(const Progress&)>;

}  // namespace engine
