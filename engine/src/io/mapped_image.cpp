#include "io/mapped_image.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "io/temp_file.h"

namespace engine {

namespace {

uint64_t RoundUp(uint64_t n, uint64_t to) {
  return (n + to - 1) / to * to;
}

Error TempError(int err, const std::string& what) {
  return WriteError(err, "the repair's temporary page file (" + what + ")");
}

class ImageFileSource : public FileSource {
 public:
  ImageFileSource(std::shared_ptr<const MappedImage> image, std::string path)
      : image_(std::move(image)), path_(std::move(path)) {}
  ByteSpan bytes() const override { return image_->bytes(); }
  const std::string& path() const override { return path_; }

 private:
  std::shared_ptr<const MappedImage> image_;
  std::string path_;
};

}  // namespace

Result<std::unique_ptr<MappedImage>> MappedImage::Create(uint64_t size, uint64_t capacity,
                                                         std::string temp_dir) {
  std::unique_ptr<MappedImage> image(new MappedImage());
  capacity = RoundUp(std::max({capacity, size, uint64_t{1}}), kChunk);
  const uint64_t least = RoundUp(std::max<uint64_t>(size, 1), kChunk);
  // Address space only: read-only anonymous memory is the zero page until a
  // chunk is mapped over it, and is never committed.
  void* at = MAP_FAILED;
  while (true) {
    at = ::mmap(nullptr, capacity, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (at != MAP_FAILED || capacity <= least) break;
    capacity = std::max(least, RoundUp(capacity / 2, kChunk));
  }
  if (at == MAP_FAILED) {
    return Error(ErrorCode::kIoError, std::string("cannot reserve address space for the image: ") +
                                          std::strerror(errno));
  }
  image->base_ = static_cast<uint8_t*>(at);
  image->capacity_ = capacity;
  image->size_ = size;
  image->temp_dir_ = std::move(temp_dir);
  image->overlaid_.assign(capacity / kChunk, false);
  return image;
}

MappedImage::~MappedImage() {
  if (base_ != nullptr) ::munmap(base_, capacity_);
  if (temp_fd_ >= 0) ::close(temp_fd_);
}

Status MappedImage::MapFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0)
    return Error(ErrorCode::kIoError, "cannot read " + path + ": " + std::strerror(errno));
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return Error(ErrorCode::kIoError, "cannot read " + path + " as an ordinary file");
  }
  // Only bytes the file holds: a mapped page wholly past its end would fault.
  const uint64_t bytes = std::min<uint64_t>(static_cast<uint64_t>(st.st_size), size_);
  if (bytes > 0) {
    void* at = ::mmap(base_, bytes, PROT_READ, MAP_PRIVATE | MAP_FIXED, fd, 0);
    if (at == MAP_FAILED) {
      int err = errno;
      ::close(fd);
      return Error(ErrorCode::kIoError, "cannot map " + path + ": " + std::strerror(err));
    }
  }
  ::close(fd);
  mapped_file_bytes_ = bytes;
  return Status::Ok();
}

Status MappedImage::OpenTemp() {
  if (temp_fd_ >= 0) return Status::Ok();
  if (temp_dir_.empty()) return Error(ErrorCode::kIoError, "the image has no temp folder");
  temp_fd_ = OpenAnonymousFile(temp_dir_, ".quorlen-pages");
  if (temp_fd_ < 0) return TempError(errno, "creating it in " + temp_dir_);
  return Status::Ok();
}

// Moves chunk `chunk` into the temp file: its present bytes are copied there
// and the file's chunk is mapped in place of the old one.
Status MappedImage::Overlay(uint64_t chunk) {
  if (overlaid_[chunk]) return Status::Ok();
  if (Status st = OpenTemp(); !st.ok()) return st;
  const uint64_t at = chunk * kChunk;
  if (temp_size_ < at + kChunk) {
    if (::ftruncate(temp_fd_, static_cast<off_t>(at + kChunk)) != 0) {
      return TempError(errno, "growing it");
    }
    temp_size_ = at + kChunk;
  }
  // Bytes past the file are zeros, as the fresh (sparse) file already holds.
  if (at < mapped_file_bytes_) {
    const uint64_t n = std::min(kChunk, mapped_file_bytes_ - at);
    uint64_t done = 0;
    while (done < n) {
      ssize_t w = ::pwrite(temp_fd_, base_ + at + done, n - done, static_cast<off_t>(at + done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return TempError(w < 0 ? errno : ENOSPC, "copying a chunk");
      done += static_cast<uint64_t>(w);
    }
  }
  void* m = ::mmap(base_ + at, kChunk, PROT_READ, MAP_SHARED | MAP_FIXED, temp_fd_,
                   static_cast<off_t>(at));
  if (m == MAP_FAILED) return TempError(errno, "mapping a chunk");
  overlaid_[chunk] = true;
  ++overlaid_count_;
  return Status::Ok();
}

Status MappedImage::Write(uint64_t offset, ByteSpan bytes) {
  if (offset > capacity_ || bytes.size() > capacity_ - offset) {
    return Damaged("the mended copy would need more than the " + std::to_string(capacity_ >> 20) +
                   " MiB of room reserved for it");
  }
  for (uint64_t c = offset / kChunk; c * kChunk < offset + bytes.size(); ++c) {
    if (Status st = Overlay(c); !st.ok()) return st;
  }
  uint64_t done = 0;
  while (done < bytes.size()) {
    ssize_t w = ::pwrite(temp_fd_, bytes.data() + done, bytes.size() - done,
                         static_cast<off_t>(offset + done));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return TempError(w < 0 ? errno : ENOSPC, "writing a page");
    done += static_cast<uint64_t>(w);
  }
  size_ = std::max<uint64_t>(size_, offset + bytes.size());
  return Status::Ok();
}

std::unique_ptr<FileSource> ImageSource(std::shared_ptr<const MappedImage> image,
                                        std::string path) {
  return std::make_unique<ImageFileSource>(std::move(image), std::move(path));
}

}  // namespace engine
