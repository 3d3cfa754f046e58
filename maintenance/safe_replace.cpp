#include "safe_replace.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "file_lock.h"
#include "os_error.h"

namespace maintenance {
namespace {

struct SplitPath {
  std::string folder;
  std::string name;
};

SplitPath Split(const std::string& path) {
  const std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos) return {".", path};
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

std::string Join(const std::string& folder, const std::string& name) {
  return folder == "/" ? "/" + name : folder + "/" + name;
}

engine::Result<std::string> Resolve(const std::string& path) {
  if (path.empty()) {
    return engine::Error(engine::ErrorCode::kFileNotFound, "no database file was named");
  }
  char* resolved = realpath(path.c_str(), nullptr);
  if (resolved == nullptr) {
    const int err = errno;
    struct stat link {};
    if (err == ENOENT && lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
      std::string to(static_cast<size_t>(PATH_MAX), '\0');
      const ssize_t n = readlink(path.c_str(), to.data(), to.size());
      to.resize(n > 0 ? static_cast<size_t>(n) : 0);
      return engine::Error(engine::ErrorCode::kFileNotFound,
                           path + " is a symbolic link to " + to + ", which does not exist");
    }
    return OsError(err, "cannot find the database " + path);
  }
  std::string result(resolved);
  std::free(resolved);
  return result;
}

std::string TemporaryStem(const FileLock& lock) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%s%llx-%llx-", kTemporaryPrefix,
                static_cast<unsigned long long>(lock.device()),
                static_cast<unsigned long long>(lock.inode()));
  return buffer;
}

// Removes one private folder and the files in it; quietly does what it can.
void RemoveFolder(const std::string& folder) {
  if (DIR* dir = opendir(folder.c_str())) {
    std::vector<std::string> names;
    while (dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    for (const std::string& name : names) unlink(Join(folder, name).c_str());
  }
  rmdir(folder.c_str());
}

// Private folders left behind by runs that were killed. Every living run
// holds an flock on its folder, so a folder we can lock is stale. Those of
// this database (named after its inode) are certainly stale: we hold the
// database's lock, and only its holder creates them. Those of other databases
// in the same folder are removed only when they have been left alone for a
// while, so that a run which has created its folder and not yet locked it
// keeps it.
void RemoveLeftovers(const std::string& folder, const std::string& own_stem) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return;
  std::vector<std::string> candidates;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.rfind(kTemporaryPrefix, 0) == 0) candidates.push_back(name);
  }
  closedir(dir);
  const time_t now = time(nullptr);
  for (const std::string& name : candidates) {
    const std::string full = Join(folder, name);
    struct stat st {};
    if (lstat(full.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid()) continue;
    const bool own = name.rfind(own_stem, 0) == 0;
    if (!own && now - st.st_mtime < 60) continue;
    const int fd = open(full.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) continue;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) RemoveFolder(full);
    close(fd);
  }
}

engine::Status SyncFolder(const std::string& folder) {
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return OsError(errno, "cannot open the folder " + folder + " to flush it");
  engine::Status status;
  if (fsync(fd) != 0) status = OsError(errno, "cannot flush the folder " + folder);
  close(fd);
  return status;
}

// The error for a new file that is in place but whose folder could not be
// flushed: it says so, rather than pretend nothing happened.
engine::Error NotFlushed(const std::string& target, const engine::Error& error) {
  return engine::Error(error.number(), target +
                                           " now holds the new copy, but the change of its "
                                           "folder could not be flushed to disk (" +
                                           error.description() + ")");
}

std::string UserName(uid_t uid) {
  if (const passwd* p = getpwuid(uid)) return p->pw_name;
  return std::to_string(uid);
}

std::string GroupName(gid_t gid) {
  if (const group* g = getgrgid(gid)) return g->gr_name;
  return std::to_string(gid);
}

bool InGroup(gid_t gid) {
  if (getegid() == gid) return true;
  std::vector<gid_t> groups(static_cast<size_t>(std::max(getgroups(0, nullptr), 0)));
  const int n = getgroups(static_cast<int>(groups.size()), groups.data());
  for (int i = 0; i < n; ++i) {
    if (groups[static_cast<size_t>(i)] == gid) return true;
  }
  return false;
}

// Why the database at TARGET may not be replaced as it is (3051), or Ok:
// read-only, other hard links, an owner or group the copy cannot get.
engine::Status MayReplace(const std::string& target, const struct stat& st) {
  const char* kept = "; it was left as it was";
  if ((st.st_mode & 0222) == 0 || access(target.c_str(), W_OK) != 0) {
    return engine::Error(engine::ErrorCode::kNoPermission,
                         target + ": the file is read-only" + kept);
  }
  if (st.st_nlink > 1) {
    return engine::Error(engine::ErrorCode::kNoPermission,
                         target + " has " + std::to_string(st.st_nlink - 1) +
                             " other name(s) (hard links), which would keep the old contents" +
                             kept);
  }
  if (geteuid() != 0 && (st.st_uid != geteuid() || !InGroup(st.st_gid))) {
    return engine::Error(engine::ErrorCode::kNoPermission,
                         target + " belongs to " + UserName(st.st_uid) + ", group " +
                             GroupName(st.st_gid) +
                             "; its copy could not keep that owner and group (only the owner or "
                             "root may give them)" +
                             kept);
  }
  return engine::Status::Ok();
}

// Copies every extended attribute of FROM (POSIX ACLs among them, as
// system.posix_acl_*) to the open file FD. Attributes we may not even read
// or set as this user (trusted.*, security.*) are skipped; the others must
// come over.
engine::Status CopyAttributes(const std::string& from, int fd) {
  ssize_t size = listxattr(from.c_str(), nullptr, 0);
  if (size < 0) {
    if (errno == ENOTSUP) return engine::Status::Ok();
    return OsError(errno, "cannot list the extended attributes of " + from);
  }
  std::string names(static_cast<size_t>(size), '\0');
  size = listxattr(from.c_str(), names.data(), names.size());
  if (size < 0) return OsError(errno, "cannot list the extended attributes of " + from);
  names.resize(static_cast<size_t>(size));
  for (size_t at = 0; at < names.size();) {
    const std::string name(names.c_str() + at);
    at += name.size() + 1;
    if (name.empty()) continue;
    const bool optional = name.rfind("trusted.", 0) == 0 || name.rfind("security.", 0) == 0;
    ssize_t length = getxattr(from.c_str(), name.c_str(), nullptr, 0);
    std::string value(static_cast<size_t>(std::max<ssize_t>(length, 0)), '\0');
    if (length >= 0) length = getxattr(from.c_str(), name.c_str(), value.data(), value.size());
    if (length < 0) {
      if (optional) continue;
      return OsError(errno, "cannot read the extended attribute " + name + " of " + from);
    }
    value.resize(static_cast<size_t>(length));
    if (fsetxattr(fd, name.c_str(), value.data(), value.size(), 0) != 0 && !optional) {
      return OsError(errno, "cannot give the new copy the extended attribute " + name);
    }
  }
  return engine::Status::Ok();
}

// The work between the lock and the final rename, shared by both forms.
class Replacement {
 public:
  Replacement(const ReplaceRequest& request, const FileLock& lock)
      : request_(request), lock_(lock) {}
  Replacement(const Replacement&) = delete;
  Replacement& operator=(const Replacement&) = delete;

  ~Replacement() {
    if (!folder_.empty()) RemoveFolder(folder_);
    if (folder_fd_ >= 0) close(folder_fd_);
  }

  const std::string& copy() const { return copy_; }

  engine::Status Fault(Step step) const {
    if (!request_.fault) return engine::Status::Ok();
    const int err = request_.fault(step);
    if (err == 0) return engine::Status::Ok();
    return OsError(err, "injected failure");
  }

  // Steps 2 and 3: the private folder, the copy, its owner and mode, the flush
  // and the verification. `like` gives owner, group and mode, or is null.
  engine::Status Write(const std::string& source, const std::string& next_to,
                       const std::string& name, const struct stat* like) {
    source_ = source;
    RemoveLeftovers(next_to, TemporaryStem(lock_));
    if (auto st = Fault(Step::kCreateTemporary); !st.ok()) return st;
    std::string pattern = Join(next_to, TemporaryStem(lock_) + "XXXXXX");
    if (mkdtemp(pattern.data()) == nullptr) {
      return OsError(errno, "cannot create a temporary folder in " + next_to);
    }
    folder_ = pattern;
    copy_ = Join(folder_, name);
    // Marks the folder as in use for the clean-up of other runs.
    folder_fd_ = open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder_fd_ >= 0) flock(folder_fd_, LOCK_EX | LOCK_NB);

    if (auto st = Fault(Step::kCopy); !st.ok()) return st;
    if (!request_.copy) {
      return engine::Error(engine::ErrorCode::kInvalidArgument, "no operation to write the copy");
    }
    CopyRequest copy{source, copy_, request_.password, request_.progress, request_.stats};
    if (engine::Status st = request_.copy(copy); !st.ok()) return st;

    const int fd = open(copy_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return OsError(errno, "the new copy was not written");
    engine::Status status = Finish(fd, like);
    if (close(fd) != 0 && status.ok()) status = OsError(errno, "cannot close the new copy");
    if (!status.ok()) return status;

    if (auto st = Fault(Step::kVerify); !st.ok()) return st;
    if (request_.verify) {
      if (engine::Status st = request_.verify(copy_, request_.password); !st.ok()) return st;
    }
    // Last chance to stop: after this the file is replaced.
    if (request_.progress && !request_.progress(engine::Progress{"replacing", "", 0, 0})) {
      return engine::Error(engine::ErrorCode::kInvalidArgument,
                           "cancelled; the file was left as it was");
    }
    return engine::Status::Ok();
  }

  // The folder has been renamed away from; removes what is left of it.
  void Done() {
    RemoveFolder(folder_);
    folder_.clear();
  }

 private:
  engine::Status Finish(int fd, const struct stat* like) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return OsError(errno, "cannot read the status of the new copy");
    if (!S_ISREG(st.st_mode)) {
      return engine::Error(engine::ErrorCode::kIoError, "the new copy is not a regular file");
    }
    if (auto fault = Fault(Step::kPermissions); !fault.ok()) return fault;
    if (like != nullptr) {
      mode_t mode = like->st_mode & 07777;
      if (fchown(fd, like->st_uid, like->st_gid) != 0) {
        const int err = errno;
        if (!request_.force) {
          return OsError(err, "the new copy cannot be given the owner " + UserName(like->st_uid) +
                                  " and group " + GroupName(like->st_gid) + " of " + source_ +
                                  "; it was left as it was");
        }
        // Forced: keep at least the group if we may, and never a set-id bit
        // on a file the owner did not get.
        if (fchown(fd, static_cast<uid_t>(-1), like->st_gid) != 0) mode &= ~S_ISGID;
        mode &= ~S_ISUID;
      }
      if (fchmod(fd, mode) != 0)
        return OsError(errno, "cannot set the permissions of the new copy");
      // After the mode: an access ACL sets the mode bits again, as they were.
      if (engine::Status copied = CopyAttributes(source_, fd); !copied.ok()) return copied;
    }
    if (auto fault = Fault(Step::kSync); !fault.ok()) return fault;
    if (fsync(fd) != 0) return OsError(errno, "cannot flush the new copy to disk");
    return engine::Status::Ok();
  }

  const ReplaceRequest& request_;
  const FileLock& lock_;
  std::string source_;
  std::string folder_;
  int folder_fd_ = -1;
  std::string copy_;
};

unsigned long long SizeOf(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<unsigned long long>(st.st_size) : 0;
}

}  // namespace

engine::Result<ReplaceOutcome> ReplaceInPlace(const std::string& path,
                                              const ReplaceRequest& request) {
  auto resolved = Resolve(path);
  if (!resolved.ok()) return resolved.error();
  const std::string& target = resolved.value();
  if (request.fault && request.fault(Step::kLock) != 0) {
    return OsError(request.fault(Step::kLock), "injected failure");
  }
  auto lock = FileLock::Acquire(target);
  if (!lock.ok()) return lock.error();

  struct stat original {};
  if (stat(target.c_str(), &original) != 0) {
    return OsError(errno, "cannot read the status of " + target);
  }
  if (!request.force) {
    if (engine::Status st = MayReplace(target, original); !st.ok()) return st.error();
  }
  const SplitPath parts = Split(target);
  Replacement work(request, lock.value());
  if (engine::Status st = work.Write(target, parts.folder, parts.name, &original); !st.ok()) {
    return st.error();
  }

  if (!lock->StillNames(target)) {
    return engine::Error(engine::ErrorCode::kHeldOpen,
                         "the database " + target +
                             " was replaced by another program while it was being rebuilt; "
                             "it was left as that program left it");
  }
  if (request.before_rename) {
    if (engine::Status st = request.before_rename(target); !st.ok()) return st.error();
  }
  auto undo = [&request] {
    if (request.not_replaced) request.not_replaced();
  };
  if (auto st = work.Fault(Step::kRename); !st.ok()) {
    undo();
    return st.error();
  }
  if (rename(work.copy().c_str(), target.c_str()) != 0) {
    const int err = errno;
    undo();
    return OsError(err, "cannot put the new copy in place of " + target);
  }
  work.Done();
  ReplaceOutcome outcome{target, static_cast<unsigned long long>(original.st_size), SizeOf(target)};

  // The new file is in place; the flush of the folder makes the rename
  // itself durable.
  engine::Status synced = work.Fault(Step::kSyncFolder);
  if (synced.ok()) synced = SyncFolder(parts.folder);
  if (!synced.ok()) return NotFlushed(target, synced.error());
  return outcome;
}

engine::Result<ReplaceOutcome> WriteNewFile(const std::string& source,
                                            const std::string& destination,
                                            const ReplaceRequest& request) {
  auto resolved = Resolve(source);
  if (!resolved.ok()) return resolved.error();
  const SplitPath dest_parts = Split(destination);
  if (dest_parts.name.empty() || dest_parts.name == "." || dest_parts.name == "..") {
    return engine::Error(engine::ErrorCode::kInvalidPath, destination + " does not name a file");
  }
  auto dest_folder = Resolve(dest_parts.folder);
  if (!dest_folder.ok()) return dest_folder.error();
  const std::string target = Join(dest_folder.value(), dest_parts.name);
  struct stat existing {};
  if (stat(target.c_str(), &existing) == 0 && S_ISDIR(existing.st_mode)) {
    return engine::Error(engine::ErrorCode::kInvalidPath,
                         destination + " is a folder; name the new file (for instance " +
                             Join(destination, Split(resolved.value()).name) + ")");
  }
  if (lstat(target.c_str(), &existing) == 0) {
    return engine::Error(engine::ErrorCode::kDatabaseExists,
                         destination + " already exists; it was left alone");
  }
  if (request.fault && request.fault(Step::kLock) != 0) {
    return OsError(request.fault(Step::kLock), "injected failure");
  }
  auto lock = FileLock::Acquire(resolved.value());
  if (!lock.ok()) return lock.error();

  Replacement work(request, lock.value());
  if (engine::Status st =
          work.Write(resolved.value(), dest_folder.value(), dest_parts.name, nullptr);
      !st.ok()) {
    return st.error();
  }
  if (request.before_rename) {
    if (engine::Status st = request.before_rename(target); !st.ok()) return st.error();
  }
  // Every failure from here on leaves no new file: undo what the hook did.
  struct Undo {
    const ReplaceRequest& request;
    bool armed = true;
    ~Undo() {
      if (armed && request.not_replaced) request.not_replaced();
    }
  } undo{request};
  if (auto st = work.Fault(Step::kRename); !st.ok()) return st.error();
  if (renameat2(AT_FDCWD, work.copy().c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) != 0) {
    if (errno != EINVAL) {
      if (errno == EEXIST) {
        return engine::Error(engine::ErrorCode::kDatabaseExists,
                             destination + " already exists; it was left alone");
      }
      return OsError(errno, "cannot move the new file to " + destination);
    }
    // A file system without the no-replace rename: a hard link refuses an
    // existing name the same way.
    if (link(work.copy().c_str(), target.c_str()) != 0) {
      if (errno == EEXIST) {
        return engine::Error(engine::ErrorCode::kDatabaseExists,
                             destination + " already exists; it was left alone");
      }
      return OsError(errno, "cannot move the new file to " + destination);
    }
  }
  undo.armed = false;
  work.Done();
  engine::Status synced = work.Fault(Step::kSyncFolder);
  if (synced.ok()) synced = SyncFolder(dest_folder.value());
  if (!synced.ok()) return NotFlushed(target, synced.error());
  return ReplaceOutcome{target, SizeOf(resolved.value()), SizeOf(target)};
}

}  // namespace maintenance
