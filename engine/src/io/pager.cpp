#include "io/pager.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "base/bytes.h"
#include "io/cipher.h"
#include "io/temp_file.h"

namespace engine {

// Decoded pages of an encoded file, in an unlinked temporary file the size
// of the source, mapped read-only. A page goes in once, through pwrite, so
// that a full disk shows as a failed write (the page is then kept in memory)
// rather than as a fault on a store through the mapping; it is read through
// the mapping from then on, so spans into it stay valid while the file lives.
class DecodedPageFile {
 public:
  static std::unique_ptr<DecodedPageFile> Create(uint32_t page_size, uint32_t page_count) {
    if (page_size == 0 || page_count == 0) return nullptr;
    uint64_t size = 0;
    if (__builtin_mul_overflow(static_cast<uint64_t>(page_size), page_count, &size) ||
        size > static_cast<uint64_t>(std::numeric_limits<off_t>::max()) ||
        size > std::numeric_limits<size_t>::max()) {
      return nullptr;
    }
    // Growing a file past the process's file size limit would raise
    // SIGXFSZ, which ends the process unless it is caught.
    if (rlimit limit{}; ::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
                        size > limit.rlim_cur) {
      return nullptr;
    }
    std::vector<std::string> dirs;
    if (const char* t = std::getenv("TMPDIR"); t != nullptr && *t != '\0') dirs.emplace_back(t);
    dirs.emplace_back("/tmp");
    for (const std::string& dir : dirs) {
      int fd = OpenAnonymousFile(dir, ".quorlen-pages");
      if (fd < 0) continue;
      if (::ftruncate(fd, static_cast<off_t>(size)) == 0) {
        void* map = ::mmap(nullptr, static_cast<size_t>(size), PROT_READ, MAP_SHARED, fd, 0);
        if (map != MAP_FAILED) {
          return std::unique_ptr<DecodedPageFile>(new DecodedPageFile(
              fd, static_cast<uint8_t*>(map), static_cast<size_t>(size), page_size, page_count));
        }
      }
      ::close(fd);
    }
    return nullptr;
  }

  ~DecodedPageFile() {
    ::munmap(base_, size_);
    ::close(fd_);
  }
  DecodedPageFile(const DecodedPageFile&) = delete;
  DecodedPageFile& operator=(const DecodedPageFile&) = delete;

  bool Has(uint32_t number) const { return (written_[number / 64] >> (number % 64)) & 1; }
  const uint8_t* At(uint32_t number) const {
    return base_ + static_cast<uint64_t>(number) * page_size_;
  }
  // False when the file takes the page only in part or not at all.
  bool Put(uint32_t number, const uint8_t* page) {
    const uint64_t offset = static_cast<uint64_t>(number) * page_size_;
    size_t done = 0;
    while (done < page_size_) {
      ssize_t n = ::pwrite(fd_, page + done, page_size_ - done, static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    written_[number / 64] |= uint64_t{1} << (number % 64);
    return true;
  }

 private:
  DecodedPageFile(int fd, uint8_t* base, size_t size, uint32_t page_size, uint32_t page_count)
      : fd_(fd),
        base_(base),
        size_(size),
        page_size_(page_size),
        written_((static_cast<size_t>(page_count) + 63) / 64, 0) {}

  int fd_;
  uint8_t* base_;
  size_t size_;
  uint32_t page_size_;
  std::vector<uint64_t> written_;
};

Pager::Pager(std::unique_ptr<FileSource> source, uint32_t page_size, uint32_t database_key,
             PageDecoding decoding)
    : source_(std::move(source)), page_size_(page_size), database_key_(database_key) {
  uint64_t size = source_->bytes().size();
  uint64_t pages = size / page_size_;
  // Row pointers carry 24-bit page numbers; a Jet file never has more pages.
  page_count_ = static_cast<uint32_t>(std::min<uint64_t>(pages, 0xFFFFFF + 1));
  trailing_bytes_ = static_cast<uint32_t>(size % page_size_);
  if (database_key_ != 0 && decoding == PageDecoding::kTempFile) {
    file_ = DecodedPageFile::Create(page_size_, page_count_);
  }
}

Pager::Pager(std::unique_ptr<FileSource> source, uint32_t page_size,
             std::unique_ptr<const PageCipher> cipher, PageDecoding decoding)
    : Pager(std::move(source), page_size, 0, decoding) {
  cipher_ = std::move(cipher);
  if (cipher_ && decoding == PageDecoding::kTempFile) {
    file_ = DecodedPageFile::Create(page_size_, page_count_);
  }
}

void Pager::Decode(uint8_t* page, uint32_t number) const {
  if (cipher_) {
    cipher_->Decode(page, page_size_, number);
  } else {
    ApplyPageCipher(page, page_size_, number, database_key_);
  }
}

Pager::~Pager() = default;

bool Pager::IsDecoded(uint32_t number) const {
  if (file_ && file_->Has(number)) return true;
  return !decoded_.empty() && decoded_[number] != nullptr;
}

ByteSpan Pager::PageOrThrow(uint32_t number) const {
  if (number >= page_count_) ThrowPageBeyondEnd(number, page_count_);
  const uint8_t* base = source_->bytes().data() + static_cast<uint64_t>(number) * page_size_;
  if (!encoded() || number == 0) return ByteSpan(base, page_size_);
  if (file_ && file_->Has(number)) return ByteSpan(file_->At(number), page_size_);
  if (!decoded_.empty() && decoded_[number]) return ByteSpan(decoded_[number].get(), page_size_);
  if (file_) {
    scratch_.assign(base, base + page_size_);
    Decode(scratch_.data(), number);
    if (file_->Put(number, scratch_.data())) return ByteSpan(file_->At(number), page_size_);
  }
  if (decoded_.empty()) decoded_.resize(page_count_);
  auto& slot = decoded_[number];
  slot.reset(new uint8_t[page_size_]);
  std::memcpy(slot.get(), base, page_size_);
  Decode(slot.get(), number);
  ++pages_in_memory_;
  return ByteSpan(slot.get(), page_size_);
}

ByteSpan Pager::PageOnce(uint32_t number, std::vector<uint8_t>& scratch) const {
  // Keeping a page in the file costs no memory of ours and spares decoding
  // it again when it is read later.
  if (!encoded() || number == 0 || number >= page_count_ || IsDecoded(number) || file_) {
    return PageOrThrow(number);
  }
  const uint8_t* base = source_->bytes().data() + static_cast<uint64_t>(number) * page_size_;
  scratch.assign(base, base + page_size_);
  Decode(scratch.data(), number);
  return ByteSpan(scratch.data(), page_size_);
}

void Pager::Prefetch(uint32_t number) const {
  if (number >= page_count_) return;
  const uint8_t* at = nullptr;
  if (!encoded() || number == 0) {
    at = source_->bytes().data() + static_cast<uint64_t>(number) * page_size_;
  } else if (file_ && file_->Has(number)) {
    at = file_->At(number);
  } else if (!decoded_.empty() && decoded_[number]) {
    at = decoded_[number].get();
  } else {
    return;
  }
  for (uint32_t off = 0; off < page_size_; off += 64) __builtin_prefetch(at + off);
}

}  // namespace engine
