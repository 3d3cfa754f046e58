#include "writer/file_sink.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "engine/header.h"

namespace engine {

Error WriteError(int err, const std::string& what) {
  if (err == ENOSPC || err == EDQUOT || err == EFBIG) {
    return Error(ErrorCode::kDiskFull, "the disk is full: cannot write " + what);
  }
  return Error(ErrorCode::kIoError, "cannot write " + what + ": " + std::strerror(err));
}

namespace {

Error CreateError(int err, const std::string& path) {
  switch (err) {
    case EEXIST:
      return Error(ErrorCode::kDatabaseExists,
                   "the destination already exists and was left alone: " + path);
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
    case EISDIR:
    case EINVAL:
      return Error(ErrorCode::kInvalidPath,
                   "cannot create " + path + " there (" + std::strerror(err) + ")");
    case EACCES:
    case EPERM:
    case EROFS:
      return Error(ErrorCode::kNoPermission, "no permission to create " + path);
    default:
      return WriteError(err, path);
  }
}

void EncodePage(uint8_t* page, uint32_t size, uint32_t number, uint32_t key) {
  if (number != 0 && key != 0) ApplyPageCipher(page, size, number, key);
}

}  // namespace

Result<std::unique_ptr<FilePageSink>> FilePageSink::Create(const std::string& path,
                                                           const Layout& layout,
                                                           uint32_t database_key) {
  if (path.empty()) return Error(ErrorCode::kInvalidPath, "no destination file name given");
  if (path.find('\0') != std::string::npos) {
    return Error(ErrorCode::kInvalidPath, "the destination name contains a NUL character");
  }
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return CreateError(errno, path);
  return std::unique_ptr<FilePageSink>(new FilePageSink(path, fd, layout, database_key));
}

FilePageSink::~FilePageSink() {
  Abandon();
}

Status FilePageSink::WritePage(uint32_t number, ByteSpan bytes) {
  if (fd_ < 0) return Error(ErrorCode::kIoError, "the destination is already closed: " + path_);
  if (failed_) return *failed_;
  if (number >= allocated_) {
    return Error(ErrorCode::kInvalidArgument,
                 "page " + std::to_string(number) + " was written before it was allocated");
  }
  const uint32_t ps = layout_.page_size;
  if (bytes.size() != ps) {
    return Error(ErrorCode::kInvalidArgument, "page " + std::to_string(number) + " has " +
                                                  std::to_string(bytes.size()) + " bytes");
  }
  const uint64_t in_run = run_.size() / ps;
  uint8_t* target = nullptr;
  if (number >= run_first_ && number < run_first_ + in_run) {
    // Written again while still gathered: replace it in the run.
    target = run_.data() + static_cast<size_t>(number - run_first_) * ps;
  } else {
    if (!run_.empty() && (number != run_first_ + in_run || run_.size() + ps > kWriteRunBytes)) {
      if (Status st = Flush(); !st.ok()) return st;
    }
    if (run_.empty()) {
      run_.reserve(std::max<size_t>(kWriteRunBytes, ps));
      run_first_ = number;
    }
    run_.resize(run_.size() + ps);
    target = run_.data() + run_.size() - ps;
  }
  std::memcpy(target, bytes.data(), ps);
  EncodePage(target, ps, number, database_key_);
  if (written_.size() <= number) written_.resize(number + 1, false);
  written_[number] = true;
  return Status::Ok();
}

Status FilePageSink::Flush() {
  if (run_.empty()) return Status::Ok();
  const uint32_t ps = layout_.page_size;
  const uint32_t first = run_first_;
  const uint32_t count = static_cast<uint32_t>(run_.size() / ps);
  const off_t offset = static_cast<off_t>(first) * ps;
  size_t done = 0;
  auto what = [&] {
    return (count == 1
                ? "page " + std::to_string(first)
                : "pages " + std::to_string(first) + "-" + std::to_string(first + count - 1)) +
           " of " + path_;
  };
  while (done < run_.size()) {
    ssize_t n =
        ::pwrite(fd_, run_.data() + done, run_.size() - done, offset + static_cast<off_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      failed_ = WriteError(errno, what());
      run_.clear();
      return *failed_;
    }
    if (n == 0) {
      failed_ = WriteError(ENOSPC, what());
      run_.clear();
      return *failed_;
    }
    done += static_cast<size_t>(n);
  }
  run_.clear();
  // Start the disk writing what has gathered, so that the flush in Finish
  // finds little left to do. Advisory: a failure shows in fsync.
  unsynced_ += done;
  if (unsynced_ >= kWritebackBytes) {
    ::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
    unsynced_ = 0;
  }
  return Status::Ok();
}

Status FilePageSink::Finish() {
  if (fd_ < 0) return Error(ErrorCode::kIoError, "the destination is already closed: " + path_);
  if (failed_) return *failed_;
  for (uint32_t n = 0; n < allocated_; ++n) {
    if (n >= written_.size() || !written_[n]) {
      return Error(ErrorCode::kInvalidArgument,
                   "page " + std::to_string(n) + " was allocated but never written");
    }
  }
  if (Status st = Flush(); !st.ok()) return st;
  const off_t size = static_cast<off_t>(allocated_) * layout_.page_size;
  if (::ftruncate(fd_, size) != 0) return WriteError(errno, path_);
  if (::fsync(fd_) != 0) return WriteError(errno, path_);
  int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) {
    int err = errno;
    ::unlink(path_.c_str());
    return WriteError(err, path_);
  }
  finished_ = true;
  return Status::Ok();
}

void FilePageSink::Abandon() {
  if (finished_) return;
  run_.clear();
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
    ::unlink(path_.c_str());
  }
}

}  // namespace engine
