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
  if (number >= allocated_) {
    return Error(ErrorCode::kInvalidArgument,
                 "page " + std::to_string(number) + " was written before it was allocated");
  }
  if (bytes.size() != layout_.page_size) {
    return Error(ErrorCode::kInvalidArgument, "page " + std::to_string(number) + " has " +
                                                  std::to_string(bytes.size()) + " bytes");
  }
  buffer_.assign(bytes.begin(), bytes.end());
  EncodePage(buffer_.data(), layout_.page_size, number, database_key_);
  const off_t offset = static_cast<off_t>(number) * layout_.page_size;
  size_t done = 0;
  while (done < buffer_.size()) {
    ssize_t n = ::pwrite(fd_, buffer_.data() + done, buffer_.size() - done,
                         offset + static_cast<off_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return WriteError(errno, "page " + std::to_string(number) + " of " + path_);
    }
    if (n == 0) return WriteError(ENOSPC, "page " + std::to_string(number) + " of " + path_);
    done += static_cast<size_t>(n);
  }
  if (written_.size() <= number) written_.resize(number + 1, false);
  written_[number] = true;
  return Status::Ok();
}

Status FilePageSink::Finish() {
  if (fd_ < 0) return Error(ErrorCode::kIoError, "the destination is already closed: " + path_);
  for (uint32_t n = 0; n < allocated_; ++n) {
    if (n >= written_.size() || !written_[n]) {
      return Error(ErrorCode::kInvalidArgument,
                   "page " + std::to_string(n) + " was allocated but never written");
    }
  }
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
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
    ::unlink(path_.c_str());
  }
}

}  // namespace engine
