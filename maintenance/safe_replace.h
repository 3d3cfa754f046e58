// Writing a new database file so that nothing of the user's is ever lost.
//
// In place (ReplaceInPlace), for a database at PATH:
//   1. PATH is resolved (a symbolic link names its target, which is what gets
//      replaced) and the database is locked (3356 when someone holds it).
//   2. A private folder ".quorlen-tmp-<inode>-XXXXXX" is created exclusively
//      next to the database, and the copy operation writes the new file
//      inside it under the database's own name. Nothing the user owns can
//      have that name, so nothing of the user's is overwritten or deleted.
//   3. The copy gets the original's owner, group, permission bits, extended
//      attributes and POSIX ACLs, is flushed to disk and verified.
//   4. One rename puts it over the database, and the folder is flushed.
// Refused before anything is written (3051), unless `force` is set: a
// read-only file, a file with other names (hard links, which would keep the
// old contents), and a file whose owner or group we could not give the copy
// (it would silently change hands).
// Until step 4 the database is untouched; after any failure before it, the
// private folder and everything in it are removed. A crash at any moment
// leaves either the original or the complete, verified copy at PATH; a
// private folder left behind by a crash is removed by the next run on the
// same database (it is named after the database's inode, and only the holder
// of the database's lock creates or removes such folders).
//
// To a new file (WriteNewFile): the same, with the private folder next to
// the destination, and a final rename that refuses to replace anything
// (3204 when the destination exists).
#pragma once

#include <functional>
#include <string>

#include "engine/compact.h"
#include "engine/error.h"
#include "engine/progress.h"

namespace maintenance {

// What a copy operation is asked to do: read `source`, write a new file at
// `destination` (which does not exist yet).
struct CopyRequest {
  std::string source;
  std::string destination;
  std::string password;
  engine::ProgressCallback progress;
  // Where the operation may put the numbers of its copy (may be null).
  engine::CompactStats* stats = nullptr;
  // Compaction: how text columns are keyed (engine/compact.h).
  engine::SortOrderPolicy sort_order = engine::SortOrderPolicy::kKeep;
};
using CopyOperation = std::function<engine::Status(const CopyRequest&)>;

// Confirms that a finished copy is a sound database.
using VerifyOperation =
    std::function<engine::Status(const std::string& path, const std::string& password)>;

// The steps of a replacement, in order, for fault injection in tests.
enum class Step {
  kLock,
  kCreateTemporary,
  kCopy,
  kPermissions,
  kSync,
  kVerify,
  kRename,
  kSyncFolder,
};

struct ReplaceRequest {
  std::string password;
  engine::ProgressCallback progress;
  CopyOperation copy;
  VerifyOperation verify;
  // Called with the path about to be replaced (or created) once the copy is
  // verified, just before the rename; an error stops the replacement. When
  // the rename then fails, `not_replaced` is called to undo what it did.
  std::function<engine::Status(const std::string& target)> before_rename;
  std::function<void()> not_replaced;
  // Replace a read-only file, one with other hard links, or one whose owner
  // or group the copy cannot get (it then belongs to whoever runs this).
  bool force = false;
  // Receives what the copy operation tells of its copy (may be null).
  engine::CompactStats* stats = nullptr;
  // Called before each step; a non-zero errno value makes the step fail with
  // it. Tests only.
  std::function<int(Step)> fault;
};

// Sizes of the file before and after, for summaries.
struct ReplaceOutcome {
  std::string path;  // the file that was written (a link's target)
  unsigned long long bytes_before = 0;
  unsigned long long bytes_after = 0;
  engine::CompactStats stats;  // as the copy operation told them
  double seconds = 0;          // the whole job
};

engine::Result<ReplaceOutcome> ReplaceInPlace(const std::string& path,
                                              const ReplaceRequest& request);
engine::Result<ReplaceOutcome> WriteNewFile(const std::string& source,
                                            const std::string& destination,
                                            const ReplaceRequest& request);

// The prefix of the private folders, for tests and for the clean-up.
inline constexpr const char* kTemporaryPrefix = ".quorlen-tmp-";

}  // namespace maintenance
