#include "writer/file_sink.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "format/header.h"
#include "io/cipher.h"
#include "io/temp_file.h"

namespace engine {

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

void EncodePage(uint8_t* page, uint32_t size, uint32_t number, uint32_t key,
                const PageCipher* cipher) {
  if (number == 0) return;
  if (cipher != nullptr) {
    cipher->Encode(page, size, number);
  } else if (key != 0) {
    ApplyPageCipher(page, size, number, key);
  }
}

}  // namespace

Result<std::unique_ptr<FilePageSink>> FilePageSink::Create(const std::string& path,
                                                           const Layout& layout,
                                                           uint32_t database_key,
                                                           const PageCipher* cipher) {
  if (path.empty()) return Error(ErrorCode::kInvalidPath, "no destination file name given");
  if (path.find('\0') != std::string::npos) {
    return Error(ErrorCode::kInvalidPath, "the destination name contains a NUL character");
  }
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return CreateError(errno, path);
  return std::unique_ptr<FilePageSink>(new FilePageSink(path, fd, layout, database_key, cipher));
}

FilePageSink::~FilePageSink() {
  Abandon();
}

Status FilePageSink::WritePage(uint32_t number, ByteSpan bytes) {
  if (fd_ < 0) return Error(ErrorCode::kIoError, "the destination is already closed: " + path_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failed_) return *failed_;
  }
  if (number >= allocated_) {
    return Error(ErrorCode::kInvalidArgument,
                 "page " + std::to_string(number) + " was written before it was allocated");
  }
  const uint32_t ps = layout_.page_size;
  if (bytes.size() != ps) {
    return Error(ErrorCode::kInvalidArgument, "page " + std::to_string(number) + " has " +
                                                  std::to_string(bytes.size()) + " bytes");
  }
  if (window_.count > 0 && (number < window_.base || number - window_.base >= kWindowPages)) {
    if (Status st = Flush(); !st.ok()) return st;
  }
  if (window_.count == 0) {
    window_.base = number > kWindowSlack ? number - kWindowSlack : 0;
    window_.bytes.resize(size_t{kWindowPages} * ps);
    window_.present.assign(kWindowPages, 0);
  }
  // Written again while still gathered: replaced in the window. (A page of
  // a window already handed over is written again by a later window, and
  // windows are written in order.)
  const uint32_t slot = number - window_.base;
  uint8_t* target = window_.bytes.data() + size_t{slot} * ps;
  std::memcpy(target, bytes.data(), ps);  // encoded by the writer thread
  if (!window_.present[slot]) {
    window_.present[slot] = 1;
    ++window_.count;
  }
  if (written_.size() <= number) written_.resize(number + 1, false);
  written_[number] = true;
  return Status::Ok();
}

Status FilePageSink::Flush() {
  if (window_.count == 0) return Status::Ok();
  std::unique_lock<std::mutex> lock(mutex_);
  if (!writer_.joinable()) writer_ = std::thread([this] { WriterLoop(); });
  changed_.wait(lock, [this] { return queue_.size() < kQueuedWindows || failed_; });
  if (failed_) {
    window_.count = 0;
    return *failed_;
  }
  queue_.push_back(std::move(window_));
  window_ = Window{};
  if (!spare_.empty()) {
    window_ = std::move(spare_.back());
    spare_.pop_back();
  }
  window_.count = 0;
  changed_.notify_all();
  return Status::Ok();
}

void FilePageSink::WriterLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    changed_.wait(lock, [this] { return stop_ || !queue_.empty(); });
    if (queue_.empty()) return;  // stopped with nothing left
    Window window = std::move(queue_.front());
    queue_.pop_front();
    writing_ = true;
    const bool skip = failed_.has_value();  // nothing more after a failure
    lock.unlock();
    std::optional<Error> error;
    if (!skip) error = WriteWindow(window);
    lock.lock();
    writing_ = false;
    if (error && !failed_) failed_ = std::move(error);
    spare_.push_back(std::move(window));
    changed_.notify_all();
  }
}

std::optional<Error> FilePageSink::WriteWindow(Window& window) {
  const uint32_t ps = layout_.page_size;
  for (uint32_t slot = 0; slot < kWindowPages;) {
    if (!window.present[slot]) {
      ++slot;
      continue;
    }
    uint32_t end = slot;
    for (; end < kWindowPages && window.present[end]; ++end) {
      EncodePage(window.bytes.data() + size_t{end} * ps, ps, window.base + end, database_key_,
                 cipher_);
    }
    const uint32_t first = window.base + slot;
    const uint32_t count = end - slot;
    const uint8_t* data = window.bytes.data() + size_t{slot} * ps;
    const size_t size = size_t{count} * ps;
    const off_t offset = static_cast<off_t>(first) * ps;
    auto what = [&] {
      return (count == 1
                  ? "page " + std::to_string(first)
                  : "pages " + std::to_string(first) + "-" + std::to_string(first + count - 1)) +
             " of " + path_;
    };
    size_t done = 0;
    while (done < size) {
      ssize_t n = ::pwrite(fd_, data + done, size - done, offset + static_cast<off_t>(done));
      if (n < 0) {
        if (errno == EINTR) continue;
        return WriteError(errno, what());
      }
      if (n == 0) return WriteError(ENOSPC, what());
      done += static_cast<size_t>(n);
    }
    unsynced_ += size;
    slot = end;
  }
  // Start the disk writing what has gathered, so that the flush in Finish
  // finds little left to do. Advisory: a failure shows in fsync.
  if (unsynced_ >= kWritebackBytes) {
    ::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
    unsynced_ = 0;
  }
  return std::nullopt;
}

Status FilePageSink::Drain() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return (queue_.empty() && !writing_) || failed_; });
  if (failed_) return *failed_;
  return Status::Ok();
}

void FilePageSink::StopWriter() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    changed_.notify_all();
  }
  if (writer_.joinable()) writer_.join();
}

Status FilePageSink::Finish() {
  if (fd_ < 0) return Error(ErrorCode::kIoError, "the destination is already closed: " + path_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failed_) return *failed_;
  }
  for (uint32_t n = 0; n < allocated_; ++n) {
    if (n >= written_.size() || !written_[n]) {
      return Error(ErrorCode::kInvalidArgument,
                   "page " + std::to_string(n) + " was allocated but never written");
    }
  }
  if (Status st = Flush(); !st.ok()) return st;
  if (Status st = Drain(); !st.ok()) return st;
  StopWriter();
  const off_t size = static_cast<off_t>(allocated_) * layout_.page_size;
  if (::ftruncate(fd_, size) != 0 || ::fsync(fd_) != 0) {
    const int err = errno;
    std::lock_guard<std::mutex> lock(mutex_);
    failed_ = WriteError(err, path_);
    return *failed_;
  }
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
  // The writer finishes what it holds before the file goes.
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.clear();
  }
  StopWriter();
  window_.count = 0;
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
    ::unlink(path_.c_str());
  }
}

}  // namespace engine
