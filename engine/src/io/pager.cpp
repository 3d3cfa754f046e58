#include "io/pager.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <thread>

#include "base/bytes.h"
#include "io/cipher.h"
#include "io/temp_file.h"

namespace engine {

// Decoded pages of an encoded file, in an unlinked temporary file the size
// of the source, mapped read-only. A page goes in once, through pwrite, so
// that a full disk shows as a failed write (the page is then kept in memory)
// rather than as a fault on a store through the mapping; it is read through
// the mapping from then on, so spans into it stay valid while the file lives.
// Threads share it: a page is claimed by the one that decodes it, and marked
// present once written.
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

  // Whether the page is in the file: once true, it stays so.
  bool Has(uint32_t number) const {
    return Word(number).load(std::memory_order_acquire) & Done(number);
  }
  const uint8_t* At(uint32_t number) const {
    return base_ + static_cast<uint64_t>(number) * page_size_;
  }
  // Takes the page for one thread to decode and Put: false when another
  // thread took it first (it is in the file, or soon will be).
  bool Claim(uint32_t number) {
    return (Word(number).fetch_or(Taken(number), std::memory_order_acq_rel) & Taken(number)) == 0;
  }
  // Gives a claimed page back (its Put failed), for another to take.
  void Release(uint32_t number) {
    Word(number).fetch_and(~Taken(number), std::memory_order_acq_rel);
    Word(number).notify_all();
  }
  bool Claimed(uint32_t number) const {
    return Word(number).load(std::memory_order_acquire) & Taken(number);
  }
  // Waits until the page, claimed by another thread, is in the file or
  // given back.
  void AwaitOther(uint32_t number) const {
    const uint32_t now = Word(number).load(std::memory_order_acquire);
    if ((now & Taken(number)) && !(now & Done(number))) Word(number).wait(now);
  }
  // Writes a page claimed by the caller. False when the file takes the page
  // only in part or not at all.
  bool Put(uint32_t number, const uint8_t* page) {
    const uint64_t offset = static_cast<uint64_t>(number) * page_size_;
    size_t done = 0;
    while (done < page_size_) {
      ssize_t n = ::pwrite(fd_, page + done, page_size_ - done, static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    Word(number).fetch_or(Done(number), std::memory_order_release);
    Word(number).notify_all();
    return true;
  }

 private:
  DecodedPageFile(int fd, uint8_t* base, size_t size, uint32_t page_size, uint32_t page_count)
      : fd_(fd),
        base_(base),
        size_(size),
        page_size_(page_size),
        state_(new std::atomic<uint32_t>[(static_cast<size_t>(page_count) + 15) / 16]()) {}

  // Two bits a page, 16 pages a word (a word a thread can wait on): taken
  // by a thread to decode; in the file.
  std::atomic<uint32_t>& Word(uint32_t number) const { return state_[number / 16]; }
  static uint32_t Taken(uint32_t number) { return uint32_t{1} << (number % 16 * 2); }
  static uint32_t Done(uint32_t number) { return uint32_t{2} << (number % 16 * 2); }

  int fd_;
  uint8_t* base_;
  size_t size_;
  uint32_t page_size_;
  std::unique_ptr<std::atomic<uint32_t>[]> state_;
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

Pager::~Pager() {
  StopDecodingAhead();
}

const uint8_t* Pager::Stored(uint32_t number) const {
  return source_->bytes().data() + static_cast<uint64_t>(number) * page_size_;
}

const uint8_t* Pager::InMemory(uint32_t number) const {
  std::lock_guard<std::mutex> lock(memory_mutex_);
  return decoded_.empty() ? nullptr : decoded_[number].get();
}

bool Pager::IsDecoded(uint32_t number) const {
  if (file_ && file_->Has(number)) return true;
  return InMemory(number) != nullptr;
}

const uint8_t* Pager::DecodeIntoFile(uint32_t number, std::vector<uint8_t>& buffer) const {
  while (true) {
    if (file_->Has(number)) return file_->At(number);
    if (file_->Claim(number)) {
      buffer.assign(Stored(number), Stored(number) + page_size_);
      Decode(buffer.data(), number);
      if (file_->Put(number, buffer.data())) return file_->At(number);
      file_->Release(number);
      return nullptr;  // kept in memory instead
    }
    // Another thread has it: it is a page's work away, or given back.
    file_->AwaitOther(number);
  }
}

ByteSpan Pager::PageOrThrow(uint32_t number) const {
  if (number >= page_count_) ThrowPageBeyondEnd(number, page_count_);
  if (!encoded() || number == 0) return ByteSpan(Stored(number), page_size_);
  if (file_ && file_->Has(number)) return ByteSpan(file_->At(number), page_size_);
  if (const uint8_t* kept = InMemory(number)) return ByteSpan(kept, page_size_);
  if (file_) {
    thread_local std::vector<uint8_t> buffer;
    if (const uint8_t* at = DecodeIntoFile(number, buffer)) return ByteSpan(at, page_size_);
  }
  std::lock_guard<std::mutex> lock(memory_mutex_);
  if (decoded_.empty()) decoded_.resize(page_count_);
  auto& slot = decoded_[number];
  if (!slot) {
    slot.reset(new uint8_t[page_size_]);
    std::memcpy(slot.get(), Stored(number), page_size_);
    Decode(slot.get(), number);
    ++pages_in_memory_;
  }
  return ByteSpan(slot.get(), page_size_);
}

ByteSpan Pager::PageOnce(uint32_t number, std::vector<uint8_t>& scratch) const {
  // Keeping a page in the file costs no memory of ours and spares decoding
  // it again when it is read later.
  if (!encoded() || number == 0 || number >= page_count_ || file_ || IsDecoded(number)) {
    return PageOrThrow(number);
  }
  scratch.assign(Stored(number), Stored(number) + page_size_);
  Decode(scratch.data(), number);
  return ByteSpan(scratch.data(), page_size_);
}

void Pager::DecodeAhead() const {
  if (!file_ || ahead_.joinable()) return;
  stop_ahead_.store(false, std::memory_order_relaxed);
  ahead_ = std::thread([this] {
    std::vector<uint8_t> buffer;
    for (uint32_t n = 1; n < page_count_; ++n) {
      if (stop_ahead_.load(std::memory_order_relaxed)) return;
      if (file_->Claimed(n) || !file_->Claim(n)) continue;
      bool put = false;
      try {
        buffer.assign(Stored(n), Stored(n) + page_size_);
        Decode(buffer.data(), n);
        put = file_->Put(n, buffer.data());
      } catch (...) {
        // (The reader meets the same failure when it asks for the page.)
      }
      if (!put) {
        // A full disk, or a failing cipher: this page and the ones after it
        // are left for the reader to decode.
        file_->Release(n);
        return;
      }
    }
  });
}

void Pager::StopDecodingAhead() const {
  if (!ahead_.joinable()) return;
  stop_ahead_.store(true, std::memory_order_relaxed);
  ahead_.join();
}

void Pager::Prefetch(uint32_t number) const {
  if (number >= page_count_) return;
  const uint8_t* at = nullptr;
  if (!encoded() || number == 0) {
    at = Stored(number);
  } else if (file_ && file_->Has(number)) {
    at = file_->At(number);
  } else if (at = InMemory(number); at == nullptr) {
    return;
  }
  for (uint32_t off = 0; off < page_size_; off += 64) __builtin_prefetch(at + off);
}

}  // namespace engine
