// Unlinked temporary files, and the errors a failed write maps to.
#pragma once

#include <string>

#include "engine/error.h"

namespace engine {

// A new read-write file in `dir` that has no name: O_TMPFILE where the file
// system has it, else a unique name starting with `prefix` (".quorlen-sort")
// that is unlinked at once. The descriptor (close-on-exec), or -1 with errno
// set.
int OpenAnonymousFile(const std::string& dir, const char* prefix);

// The error a failed write maps to: ENOSPC/EDQUOT/EFBIG 3026, anything else 3043.
Error WriteError(int err, const std::string& what);

}  // namespace engine
