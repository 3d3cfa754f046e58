// Turning a failed system call into the engine's error numbers.
#pragma once

#include <string>

#include "engine/error.h"

namespace maintenance {

// The engine number that fits `err` (an errno value): 3024 no such file,
// 3044 a path that cannot name a file, 3051 no permission or a read-only file
// system, 3026 disk or quota full, 3043 any other failure. The description is
// `what` followed by the system's own words.
engine::Error OsError(int err, const std::string& what);

}  // namespace maintenance
