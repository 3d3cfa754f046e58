#include "io/file_source.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>

namespace engine {
namespace {

class MappedFile : public FileSource {
 public:
  MappedFile(std::string path, void* data, size_t size)
      : path_(std::move(path)), data_(data), size_(size) {}
  ~MappedFile() override {
    if (data_ != nullptr) munmap(data_, size_);
  }
  ByteSpan bytes() const override { return {static_cast<const uint8_t*>(data_), size_}; }
  const std::string& path() const override { return path_; }

 private:
  std::string path_;
  void* data_;
  size_t size_;
};

class BufferSource : public FileSource {
 public:
  explicit BufferSource(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
  ByteSpan bytes() const override { return bytes_; }
  void set_path(std::string path) { path_ = std::move(path); }
  const std::string& path() const override { return path_; }

 private:
  std::vector<uint8_t> bytes_;
  std::string path_;
};

class SpanSource : public FileSource {
 public:
  explicit SpanSource(ByteSpan bytes) : bytes_(bytes) {}
  ByteSpan bytes() const override { return bytes_; }
  const std::string& path() const override { return path_; }

 private:
  ByteSpan bytes_;
  std::string path_;
};

// Files up to this size are read into memory; larger ones are mapped, so
// that memory other than the page cache stays bounded whatever the file's
// size (a compaction holds its source and, when reading the copy back, the
// copy).
constexpr uint64_t kReadLimit = 64ull << 20;

Error OpenError(int err, const std::string& path) {
  switch (err) {
    case ENOENT:
      return Error(ErrorCode::kFileNotFound, "file not found: " + path);
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
    case EINVAL:
      return Error(ErrorCode::kInvalidPath,
                   "not a valid path: " + path + " (" + std::strerror(err) + ")");
    case EACCES:
    case EPERM:
      return Error(ErrorCode::kNoPermission, "no permission to read " + path);
    default:
      return Error(ErrorCode::kIoError, "cannot read " + path + ": " + std::strerror(err));
  }
}

}  // namespace

Result<std::unique_ptr<FileSource>> FileSource::OpenFile(const std::string& path) {
  if (path.empty()) return Error(ErrorCode::kInvalidPath, "no file name given");
  if (path.find('\0') != std::string::npos) {
    return Error(ErrorCode::kInvalidPath, "the file name contains a NUL character");
  }
  // O_NONBLOCK: opening a FIFO must not wait for a writer (it is refused below).
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return OpenError(errno, path);
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    int err = errno;
    ::close(fd);
    return OpenError(err, path);
  }
  if (S_ISDIR(st.st_mode)) {
    ::close(fd);
    return Error(ErrorCode::kInvalidPath, path + " is a folder, not a database file");
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    return Error(ErrorCode::kInvalidPath, path + " is not an ordinary file");
  }
  auto size = static_cast<uint64_t>(st.st_size);
  if (size > std::numeric_limits<size_t>::max() / 2) {
    ::close(fd);
    return Error(ErrorCode::kUnrecognized, path + " is far too large to be a database");
  }
  if (size == 0) {
    ::close(fd);
    return std::unique_ptr<FileSource>(new BufferSource({}));
  }
  if (size <= kReadLimit) {
    // Read small files whole: a mapping would fault (SIGBUS) if another
    // process truncated the file while we read it.
    std::vector<uint8_t> bytes(size);
    size_t done = 0;
    while (done < size) {
      ssize_t n = ::read(fd, bytes.data() + done, size - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        int err = n < 0 ? errno : EIO;
        ::close(fd);
        return OpenError(err, path);
      }
      done += static_cast<size_t>(n);
    }
    ::close(fd);
    auto source = std::make_unique<BufferSource>(std::move(bytes));
    source->set_path(path);
    return std::unique_ptr<FileSource>(std::move(source));
  }
  void* data = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  int err = errno;
  ::close(fd);
  if (data == MAP_FAILED) return OpenError(err, path);
  return std::unique_ptr<FileSource>(new MappedFile(path, data, size));
}

std::unique_ptr<FileSource> FileSource::FromBuffer(std::vector<uint8_t> bytes) {
  return std::make_unique<BufferSource>(std::move(bytes));
}

std::unique_ptr<FileSource> FileSource::FromSpan(ByteSpan bytes) {
  return std::make_unique<SpanSource>(bytes);
}

}  // namespace engine
