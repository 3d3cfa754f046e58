#include "engine/page.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "bytes.h"
#include "engine/header.h"

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
      int fd = OpenAnonymous(dir);
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

  // O_TMPFILE where the file system has it, else a unique name unlinked at once.
  static int OpenAnonymous(const std::string& dir) {
#ifdef O_TMPFILE
    int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
#endif
    std::string name = dir + "/.quorlen-pages-XXXXXX";
    std::vector<char> path(name.begin(), name.end());
    path.push_back('\0');
    int fd2 = ::mkostemp(path.data(), O_CLOEXEC);
    if (fd2 >= 0) ::unlink(path.data());
    return fd2;
  }

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

Pager::~Pager() = default;

bool Pager::IsDecoded(uint32_t number) const {
  if (file_ && file_->Has(number)) return true;
  return !decoded_.empty() && decoded_[number] != nullptr;
}

ByteSpan Pager::PageOrThrow(uint32_t number) const {
  if (number >= page_count_) {
    Fail(ErrorCode::kDamaged, "page " + std::to_string(number) +
                                  " is beyond the end of the file (" + std::to_string(page_count_) +
                                  " pages)");
  }
  const uint8_t* base = source_->bytes().data() + static_cast<uint64_t>(number) * page_size_;
  if (database_key_ == 0 || number == 0) return ByteSpan(base, page_size_);
  if (file_ && file_->Has(number)) return ByteSpan(file_->At(number), page_size_);
  if (!decoded_.empty() && decoded_[number]) return ByteSpan(decoded_[number].get(), page_size_);
  if (file_) {
    scratch_.assign(base, base + page_size_);
    ApplyPageCipher(scratch_.data(), page_size_, number, database_key_);
    if (file_->Put(number, scratch_.data())) return ByteSpan(file_->At(number), page_size_);
  }
  if (decoded_.empty()) decoded_.resize(page_count_);
  auto& slot = decoded_[number];
  slot.reset(new uint8_t[page_size_]);
  std::memcpy(slot.get(), base, page_size_);
  ApplyPageCipher(slot.get(), page_size_, number, database_key_);
  ++pages_in_memory_;
  return ByteSpan(slot.get(), page_size_);
}

ByteSpan Pager::PageOnce(uint32_t number, std::vector<uint8_t>& scratch) const {
  // Keeping a page in the file costs no memory of ours and spares decoding
  // it again when it is read later.
  if (database_key_ == 0 || number == 0 || number >= page_count_ || IsDecoded(number) || file_) {
    return PageOrThrow(number);
  }
  const uint8_t* base = source_->bytes().data() + static_cast<uint64_t>(number) * page_size_;
  scratch.assign(base, base + page_size_);
  ApplyPageCipher(scratch.data(), page_size_, number, database_key_);
  return ByteSpan(scratch.data(), page_size_);
}

void Pager::Prefetch(uint32_t number) const {
  if (number >= page_count_) return;
  const uint8_t* at = nullptr;
  if (database_key_ == 0 || number == 0) {
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

Result<ByteSpan> Pager::Page(uint32_t number) const {
  return Guard([&] { return PageOrThrow(number); });
}

Result<DataPage> DecodeDataPage(ByteSpan page, const Layout& layout, uint32_t number) {
  return Guard([&]() -> DataPage {
    DataPage out;
    out.number = number;
    std::string where = "data page " + std::to_string(number);
    if (page.size() != layout.page_size) Fail(ErrorCode::kDamaged, where + ": wrong page size");
    if (page[0] != static_cast<uint8_t>(PageType::kData)) {
      Fail(ErrorCode::kDamaged,
           where + ": expected a data page, found page type " + std::to_string(page[0]));
    }
    out.free_space = Le16(page.data() + layout.data_free_space_offset);
    out.owner = Le32(page.data() + layout.data_owner_offset);
    if (layout.data_extra_offset != 0) out.extra = Le32(page.data() + layout.data_extra_offset);
    uint32_t count = Le16(page.data() + layout.data_row_count_offset);
    uint32_t table_end = layout.data_header_size + 2 * count;
    if (table_end > layout.page_size) {
      Fail(ErrorCode::kDamaged,
           where + ": row count " + std::to_string(count) + " does not fit the page");
    }
    out.slots.resize(count);
    uint32_t prev_start = layout.page_size;
    for (uint32_t i = 0; i < count; ++i) {
      RowSlot& s = out.slots[i];
      s.raw = Le16(page.data() + layout.data_header_size + 2 * i);
      uint32_t start = s.raw & kRowOffsetMask;
      s.start = static_cast<uint16_t>(start);
      s.end = static_cast<uint16_t>(prev_start);
      s.in_bounds = start >= table_end && start <= prev_start;
      // The next row ends where this one starts, as long as this start is sane.
      if (start <= layout.page_size) prev_start = start;
    }
    return out;
  });
}

uint32_t MaxDataRowSize(const Layout& layout) {
  return layout.page_size - layout.data_header_size - 2;
}

uint32_t DataPageFreeSpace(const Layout& layout, uint32_t rows, uint32_t row_bytes) {
  uint64_t used = static_cast<uint64_t>(layout.data_header_size) + 2ull * rows + row_bytes;
  return used >= layout.page_size ? 0 : static_cast<uint32_t>(layout.page_size - used);
}

void PutDataPageHeader(const Layout& layout, std::span<uint8_t> page, uint32_t owner, uint32_t rows,
                       uint32_t free_space) {
  page[0] = static_cast<uint8_t>(PageType::kData);
  page[1] = 0x01;
  Put16(page.data() + layout.data_free_space_offset, free_space);
  Put32(page.data() + layout.data_owner_offset, owner);
  Put16(page.data() + layout.data_row_count_offset, rows);
}

Result<std::vector<uint8_t>> EncodeDataPage(const Layout& layout, uint32_t owner,
                                            std::span<const ByteSpan> rows) {
  if (rows.size() > kMaxRowsPerDataPage) {
    return Error(ErrorCode::kInvalidArgument, std::to_string(rows.size()) +
                                                  " rows do not fit one data page (at most " +
                                                  std::to_string(kMaxRowsPerDataPage) + ")");
  }
  uint64_t total = 0;
  for (ByteSpan r : rows) total += r.size();
  if (layout.data_header_size + 2 * rows.size() + total > layout.page_size) {
    return Error(ErrorCode::kInvalidArgument,
                 std::to_string(rows.size()) + " rows of " + std::to_string(total) +
                     " bytes do not fit one data page of " + std::to_string(layout.page_size));
  }
  std::vector<uint8_t> page(layout.page_size, 0);
  uint32_t low = layout.page_size;
  for (size_t i = 0; i < rows.size(); ++i) {
    low -= static_cast<uint32_t>(rows[i].size());
    if (!rows[i].empty()) std::memcpy(page.data() + low, rows[i].data(), rows[i].size());
    Put16(page.data() + layout.data_header_size + 2 * i, low);
  }
  const uint32_t n = static_cast<uint32_t>(rows.size());
  PutDataPageHeader(layout, page, owner, n,
                    DataPageFreeSpace(layout, n, static_cast<uint32_t>(total)));
  return page;
}

}  // namespace engine
