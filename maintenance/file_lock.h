// The hold that keeps a database file to one operation at a time.
//
// A database counts as held open by someone else (error 3356) when
//   - another open file of it carries a lock: a lock taken by another
//     instance of this program, a POSIX record lock (fcntl; also what Wine and
//     Samba turn Windows byte-range locks into) or a BSD lock (flock);
//   - its lock file "<name>.ldb" (or ".LDB") carries such a lock, or is open
//     in another process;
//   - another process has the database itself open for writing.
// The last two are found through /proc and only see processes we may
// inspect (those of the same user, or all of them for root).
//
// Our own hold is an open-file-description lock over the whole file (a write
// lock when the file can be opened for writing, a read lock otherwise) plus
// an exclusive flock, both released when the FileLock goes away, including
// when the process dies. A shared hold (for a file that is only read, the
// source of a new copy) is a read lock and a shared flock: other readers may
// hold the file too, but nothing that writes it or holds it exclusively.
#pragma once

#include <sys/types.h>

#include <string>

#include "engine/error.h"

namespace maintenance {

class FileLock {
 public:
  FileLock() = default;
  FileLock(FileLock&& other) noexcept;
  FileLock& operator=(FileLock&& other) noexcept;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  ~FileLock();

  bool held() const { return fd_ >= 0; }
  // The locked file: device, inode, and its status at the moment of locking.
  dev_t device() const { return device_; }
  ino_t inode() const { return inode_; }

  // Whether `path` still names the locked file.
  bool StillNames(const std::string& path) const;

  enum class Hold { kExclusive, kShared };
  // Takes the hold on the regular file at `path` (symbolic links followed).
  // 3356 when someone else holds the file (for a shared hold: holds it
  // exclusively or writes it), 3024 when it does not exist, 3044 when it is
  // not a regular file, other numbers for other failures.
  static engine::Result<FileLock> Acquire(const std::string& path, Hold hold = Hold::kExclusive);

 private:
  void Release();
  int fd_ = -1;
  dev_t device_ = 0;
  ino_t inode_ = 0;
};

// The lock files that belong to a database: the name with its extension
// replaced by ".ldb" and by ".LDB" (or those added when it has none).
std::string LockFileName(const std::string& path, bool upper_case);

}  // namespace maintenance
