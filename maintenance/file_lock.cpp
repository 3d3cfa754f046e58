#include "file_lock.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <utility>

#include "os_error.h"

namespace maintenance {
namespace {

engine::Error HeldOpen(const std::string& path, const std::string& how) {
  return engine::Error(engine::ErrorCode::kHeldOpen,
                       "the database " + path + " is in use: " + how +
                           "; close the program that has it open and try again");
}

// Whether an open file description other than `fd`'s holds any fcntl lock
// (ours from another instance, or a classic POSIX lock) on the file; with
// `writers_only`, a write lock.
bool OtherRecordLock(int fd, bool writers_only = false) {
  struct flock probe {};
  probe.l_type = writers_only ? F_RDLCK : F_WRLCK;  // a write probe conflicts with every lock
  probe.l_whence = SEEK_SET;
  probe.l_start = 0;
  probe.l_len = 0;                                        // to the end of every possible offset
  if (fcntl(fd, F_OFD_GETLK, &probe) != 0) return false;  // no locking on this file system
  return probe.l_type != F_UNLCK;
}

// Whether another open file description holds an flock on the file.
bool OtherFlock(int fd) {
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
    flock(fd, LOCK_UN);
    return false;
  }
  return errno == EWOULDBLOCK;
}

// The access mode of one open file of another process, from its fdinfo.
int OpenFlags(const std::string& fdinfo) {
  std::ifstream in(fdinfo);
  std::string key;
  std::string value;
  while (in >> key >> value) {
    if (key == "flags:") return static_cast<int>(std::strtol(value.c_str(), nullptr, 8));
  }
  return O_RDONLY;
}

// Whether a process other than this one has the file (device, inode) open;
// with `writers_only`, open for writing.
bool OtherProcessHasOpen(dev_t device, ino_t inode, bool writers_only) {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return false;
  const pid_t self = getpid();
  bool found = false;
  while (!found) {
    dirent* entry = readdir(proc);
    if (entry == nullptr) break;
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || pid == self) continue;
    const std::string base = std::string("/proc/") + entry->d_name;
    DIR* fds = opendir((base + "/fd").c_str());
    if (fds == nullptr) continue;  // gone, or not ours to see
    while (dirent* fd = readdir(fds)) {
      if (fd->d_name[0] == '.') continue;
      struct stat st {};
      if (stat((base + "/fd/" + fd->d_name).c_str(), &st) != 0) continue;
      if (st.st_dev != device || st.st_ino != inode) continue;
      if (!writers_only || (OpenFlags(base + "/fdinfo/" + fd->d_name) & O_ACCMODE) != O_RDONLY) {
        found = true;
        break;
      }
    }
    closedir(fds);
  }
  closedir(proc);
  return found;
}

// 3356 when the lock file at `ldb` exists and is held by another process.
engine::Status CheckLockFile(const std::string& database, const std::string& ldb) {
  const int fd = open(ldb.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return engine::Status::Ok();  // no lock file (or none we can read): nothing holds it
  struct stat st {};
  engine::Status status;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    if (OtherRecordLock(fd) || OtherFlock(fd)) {
      status = HeldOpen(database, "its lock file " + ldb + " is locked by another program");
    } else if (OtherProcessHasOpen(st.st_dev, st.st_ino, false)) {
      status = HeldOpen(database, "its lock file " + ldb + " is open in another program");
    }
  }
  close(fd);
  return status;
}

}  // namespace

std::string LockFileName(const std::string& path, bool upper_case) {
  const std::string::size_type slash = path.rfind('/');
  const std::string::size_type dot = path.rfind('.');
  const std::string stem =
      (dot != std::string::npos && (slash == std::string::npos || dot > slash + 1))
          ? path.substr(0, dot)
          : path;
  return stem + (upper_case ? ".LDB" : ".ldb");
}

FileLock::FileLock(FileLock&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), device_(other.device_), inode_(other.inode_) {}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
  if (this != &other) {
    Release();
    fd_ = std::exchange(other.fd_, -1);
    device_ = other.device_;
    inode_ = other.inode_;
  }
  return *this;
}

FileLock::~FileLock() {
  Release();
}

void FileLock::Release() {
  if (fd_ >= 0) close(fd_);  // drops the OFD lock and the flock with it
  fd_ = -1;
}

bool FileLock::StillNames(const std::string& path) const {
  struct stat st {};
  return held() && stat(path.c_str(), &st) == 0 && st.st_dev == device_ && st.st_ino == inode_;
}

engine::Result<FileLock> FileLock::Acquire(const std::string& path, Hold hold) {
  const bool shared = hold == Hold::kShared;
  // The file at the path may be replaced between our open and our lock (by
  // another instance finishing its work); then the lock is on a file that is
  // no longer the database, and we try again on the new one.
  for (int attempt = 0; attempt < 8; ++attempt) {
    bool writable = !shared;
    int fd = shared ? -1 : open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (shared || (fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM))) {
      writable = false;
      fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    }
    if (fd < 0) {
      if (errno == EISDIR) {
        return engine::Error(engine::ErrorCode::kInvalidPath,
                             path + " is a folder, not a database file");
      }
      return OsError(errno, "cannot open " + path);
    }
    FileLock lock;
    lock.fd_ = fd;
    struct stat st {};
    if (fstat(fd, &st) != 0) return OsError(errno, "cannot read the status of " + path);
    if (!S_ISREG(st.st_mode)) {
      return engine::Error(engine::ErrorCode::kInvalidPath, path + " is not a regular file");
    }
    lock.device_ = st.st_dev;
    lock.inode_ = st.st_ino;

    if (OtherRecordLock(fd, shared)) return HeldOpen(path, "another program holds a lock on it");
    if (flock(fd, (shared ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK) return HeldOpen(path, "another program holds a lock on it");
      // No flock on this file system: the record lock below still guards it.
    }
    struct flock mine {};
    mine.l_type = writable ? F_WRLCK : F_RDLCK;
    mine.l_whence = SEEK_SET;
    mine.l_start = 0;
    mine.l_len = 0;
    if (fcntl(fd, F_OFD_SETLK, &mine) != 0 && (errno == EAGAIN || errno == EACCES)) {
      return HeldOpen(path, "another program holds a lock on it");
    }
    if (!lock.StillNames(path)) continue;

    if (OtherProcessHasOpen(st.st_dev, st.st_ino, true)) {
      return HeldOpen(path, "another program has it open for writing");
    }
    for (bool upper : {false, true}) {
      engine::Status held = CheckLockFile(path, LockFileName(path, upper));
      if (!held.ok()) return held.error();
    }
    return lock;
  }
  return HeldOpen(path, "it keeps being replaced by another program");
}

}  // namespace maintenance
