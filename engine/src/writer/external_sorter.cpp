#include "writer/external_sorter.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <span>

#include "base/bytes.h"
#include "io/temp_file.h"

namespace engine {

namespace {

// Each record in a run file: key length, payload length (32-bit
// little-endian), key, payload.
constexpr std::size_t kRecordHeader = 8;
// Smallest read buffer per run during a merge; the budget decides how many
// runs one pass merges.
constexpr std::size_t kMinMergeBuffer = std::size_t{64} << 10;
constexpr std::size_t kMaxFanIn = 256;
// Floors for tiny budgets (tests use them to force many runs).
constexpr std::size_t kMinBudget = 1024;
constexpr std::size_t kMinReadBuffer = 4096;
constexpr std::size_t kMaxWriteBuffer = std::size_t{1} << 20;

int Compare(ByteSpan a, ByteSpan b) {
  const std::size_t n = std::min(a.size(), b.size());
  if (n != 0) {
    int c = std::memcmp(a.data(), b.data(), n);
    if (c != 0) return c;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

int CompareRecords(ByteSpan ka, ByteSpan pa, ByteSpan kb, ByteSpan pb) {
  int c = Compare(ka, kb);
  return c != 0 ? c : Compare(pa, pb);
}

Error IoFailure(int err, const std::string& what) {
  const std::string text = what + ": " + std::strerror(err);
  if (err == ENOSPC || err == EDQUOT) {
    return Error(ErrorCode::kDiskFull, "the disk is full while sorting index keys (" + text + ")");
  }
  return Error(ErrorCode::kIoError, "a temporary sort file failed (" + text + ")");
}

// An anonymous file in `dir`.
Result<int> OpenAnonymous(const std::string& dir) {
  int made = OpenAnonymousFile(dir, ".quorlen-sort");
  if (made < 0) return IoFailure(errno, "creating a file in " + dir);
  return made;
}

// The file that holds the runs, one after the other. Owns its descriptor.
struct SpillFile {
  int fd = -1;
  uint64_t size = 0;

  SpillFile() = default;
  SpillFile(const SpillFile&) = delete;
  SpillFile& operator=(const SpillFile&) = delete;
  SpillFile(SpillFile&& o) noexcept : fd(o.fd), size(o.size) { o.fd = -1; }
  SpillFile& operator=(SpillFile&& o) noexcept {
    if (this != &o) {
      Close();
      fd = o.fd;
      size = o.size;
      o.fd = -1;
    }
    return *this;
  }
  ~SpillFile() { Close(); }
  void Close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
    size = 0;
  }
};

// One sorted run: a stretch of a spill file.
struct Run {
  uint64_t offset = 0;
  uint64_t size = 0;
  uint64_t records = 0;
};

// Appends one run at the end of a spill file through a buffer.
class RunWriter {
 public:
  RunWriter(SpillFile& file, std::size_t buffer_size) : file_(file) {
    run_.offset = file.size;
    buffer_.reserve(buffer_size);
  }

  Status Append(ByteSpan key, ByteSpan payload) {
    uint8_t header[kRecordHeader];
    Put32(header, static_cast<uint32_t>(key.size()));
    Put32(header + 4, static_cast<uint32_t>(payload.size()));
    if (Status st = Put(ByteSpan(header, kRecordHeader)); !st.ok()) return st;
    if (Status st = Put(key); !st.ok()) return st;
    if (Status st = Put(payload); !st.ok()) return st;
    ++run_.records;
    return Status::Ok();
  }

  // Writes what is buffered; the run is complete after the last Flush.
  Status Flush() {
    std::size_t done = 0;
    while (done < buffer_.size()) {
      ssize_t n = ::pwrite(file_.fd, buffer_.data() + done, buffer_.size() - done,
                           static_cast<off_t>(file_.size));
      if (n < 0) {
        if (errno == EINTR) continue;
        return IoFailure(errno, "writing a sorted run");
      }
      if (n == 0) return IoFailure(ENOSPC, "writing a sorted run");
      done += static_cast<std::size_t>(n);
      file_.size += static_cast<uint64_t>(n);
    }
    buffer_.clear();
    run_.size = file_.size - run_.offset;
    return Status::Ok();
  }

  const Run& run() const { return run_; }

 private:
  Status Put(ByteSpan bytes) {
    while (!bytes.empty()) {
      if (buffer_.size() == buffer_.capacity()) {
        if (Status st = Flush(); !st.ok()) return st;
      }
      std::size_t take = std::min(bytes.size(), buffer_.capacity() - buffer_.size());
      buffer_.insert(buffer_.end(), bytes.begin(),
                     bytes.begin() + static_cast<std::ptrdiff_t>(take));
      bytes = bytes.subspan(take);
    }
    return Status::Ok();
  }

  SpillFile& file_;
  Run run_;
  std::vector<uint8_t> buffer_;
};

// Reads a run's records in order through a buffer that grows only for a
// record larger than itself.
class RunReader {
 public:
  RunReader(const SpillFile& file, const Run& run, std::size_t buffer_size)
      : fd_(file.fd), run_(run), offset_(run.offset) {
    buffer_.resize(std::max<std::size_t>(buffer_size, kRecordHeader));
  }

  // Loads the next record into key()/payload(); false at the end of the run.
  Result<bool> Advance() {
    if (remaining_records_ == UINT64_MAX) remaining_records_ = run_.records;
    if (remaining_records_ == 0) return false;
    --remaining_records_;
    if (Status st = Ensure(kRecordHeader); !st.ok()) return st.error();
    const uint32_t key_size = Le32(buffer_.data() + pos_);
    const uint32_t payload_size = Le32(buffer_.data() + pos_ + 4);
    const std::size_t total = kRecordHeader + std::size_t{key_size} + payload_size;
    if (Status st = Ensure(total); !st.ok()) return st.error();
    key_ = ByteSpan(buffer_.data() + pos_ + kRecordHeader, key_size);
    payload_ = ByteSpan(buffer_.data() + pos_ + kRecordHeader + key_size, payload_size);
    pos_ += total;
    return true;
  }

  ByteSpan key() const { return key_; }
  ByteSpan payload() const { return payload_; }
  std::size_t memory() const { return buffer_.capacity(); }

 private:
  // Makes `n` bytes from pos_ available in the buffer.
  Status Ensure(std::size_t n) {
    if (end_ - pos_ >= n) return Status::Ok();
    std::memmove(buffer_.data(), buffer_.data() + pos_, end_ - pos_);
    end_ -= pos_;
    pos_ = 0;
    if (n > buffer_.size()) buffer_.resize(n);
    while (end_ < n) {
      const uint64_t run_end = run_.offset + run_.size;
      if (offset_ >= run_end) {
        return IoFailure(EIO, "a sorted run ends in the middle of a record");
      }
      const std::size_t want =
          static_cast<std::size_t>(std::min<uint64_t>(buffer_.size() - end_, run_end - offset_));
      ssize_t got = ::pread(fd_, buffer_.data() + end_, want, static_cast<off_t>(offset_));
      if (got < 0) {
        if (errno == EINTR) continue;
        return IoFailure(errno, "reading a sorted run");
      }
      if (got == 0) return IoFailure(EIO, "a sorted run is shorter than written");
      end_ += static_cast<std::size_t>(got);
      offset_ += static_cast<uint64_t>(got);
    }
    return Status::Ok();
  }

  int fd_;
  Run run_;
  std::vector<uint8_t> buffer_;
  std::size_t pos_ = 0, end_ = 0;
  uint64_t offset_;
  uint64_t remaining_records_ = UINT64_MAX;
  ByteSpan key_, payload_;
};

// Merges runs: a heap of readers ordered by their current record (ties by
// reader position, which keeps the output identical whatever the heap does).
class Merger {
 public:
  Merger(const SpillFile& file, std::span<const Run> runs, std::size_t buffer_each) {
    readers_.reserve(runs.size());
    for (const Run& r : runs) readers_.emplace_back(file, r, buffer_each);
  }

  Status Start() {
    for (std::size_t i = 0; i < readers_.size(); ++i) {
      auto more = readers_[i].Advance();
      if (!more.ok()) return more.error();
      if (more.value()) Push(i);
    }
    return Status::Ok();
  }

  // The next record in order; false at the end.
  Result<bool> Next(ByteSpan& key, ByteSpan& payload) {
    if (pending_ != kNone) {
      auto more = readers_[pending_].Advance();
      if (!more.ok()) return more.error();
      if (more.value()) Push(pending_);
      pending_ = kNone;
    }
    if (heap_.empty()) return false;
    std::pop_heap(heap_.begin(), heap_.end(), Greater{this});
    pending_ = heap_.back();
    heap_.pop_back();
    key = readers_[pending_].key();
    payload = readers_[pending_].payload();
    return true;
  }

  std::size_t memory() const {
    std::size_t m = heap_.capacity() * sizeof(std::size_t);
    for (const RunReader& r : readers_) m += r.memory();
    return m;
  }

 private:
  static constexpr std::size_t kNone = SIZE_MAX;
  struct Greater {
    const Merger* m;
    bool operator()(std::size_t a, std::size_t b) const {
      const RunReader& ra = m->readers_[a];
      const RunReader& rb = m->readers_[b];
      int c = CompareRecords(ra.key(), ra.payload(), rb.key(), rb.payload());
      return c != 0 ? c > 0 : a > b;
    }
  };
  void Push(std::size_t i) {
    heap_.push_back(i);
    std::push_heap(heap_.begin(), heap_.end(), Greater{this});
  }

  std::vector<RunReader> readers_;
  std::vector<std::size_t> heap_;
  std::size_t pending_ = kNone;
};

}  // namespace

class ExternalSorter::Impl {
 public:
  Impl(ExternalSorter& owner, SorterOptions options)
      : owner_(owner), options_(std::move(options)) {}

  Status Add(ByteSpan key, ByteSpan payload) {
    if (failed_) return Error(ErrorCode::kIoError, "the sorter failed before");
    if (finished_) return Error(ErrorCode::kInvalidArgument, "records added after the sort ended");
    if (key.size() > UINT32_MAX - kRecordHeader || payload.size() > UINT32_MAX - kRecordHeader) {
      return Error(ErrorCode::kInvalidArgument, "a sort record is too large");
    }
    const std::size_t bytes = key.size() + payload.size();
    if (!entries_.empty() && MemoryAfter(bytes) > Budget()) {
      if (Status st = Spill(); !st.ok()) return Failed(st);
    }
    Grow(bytes);
    Entry e{HeadOf(key, 0), HeadOf(key, 8), arena_.size(), static_cast<uint32_t>(key.size()),
            static_cast<uint32_t>(payload.size())};
    arena_.insert(arena_.end(), key.begin(), key.end());
    arena_.insert(arena_.end(), payload.begin(), payload.end());
    // Input that arrives in order (an index on the key rows are placed by)
    // needs no sorting.
    if (in_order_ && !entries_.empty() && Less(e, entries_.back())) in_order_ = false;
    entries_.push_back(e);
    Track(0);
    ++owner_.records_;
    return Status::Ok();
  }

  Status Finish() {
    if (failed_) return Error(ErrorCode::kIoError, "the sorter failed before");
    if (finished_) return Error(ErrorCode::kInvalidArgument, "the sort was finished twice");
    finished_ = true;
    if (runs_.empty()) {
      SortBuffer();
      return Status::Ok();
    }
    if (!entries_.empty()) {
      if (Status st = Spill(); !st.ok()) return Failed(st);
    }
    std::vector<uint8_t>().swap(arena_);
    std::vector<Entry>().swap(entries_);
    // Merge passes until one pass can take every run; each pass writes
    // its runs to a new file and drops the old one.
    const std::size_t fan_in =
        std::clamp<std::size_t>(Budget() / kMinMergeBuffer, 3, kMaxFanIn + 1) - 1;
    while (runs_.size() > fan_in) {
      SpillFile next;
      if (Status st = OpenSpill(next); !st.ok()) return Failed(st);
      std::vector<Run> merged_runs;
      for (std::size_t b = 0; b < runs_.size(); b += fan_in) {
        const std::size_t n = std::min(fan_in, runs_.size() - b);
        Merger m(file_, std::span<const Run>(runs_).subspan(b, n), BufferEach(n + 1));
        RunWriter w(next, BufferEach(n + 1));
        if (Status st = m.Start(); !st.ok()) return Failed(st);
        Track(m.memory() + BufferEach(n + 1));
        ByteSpan k, p;
        while (true) {
          auto more = m.Next(k, p);
          if (!more.ok()) return Failed(more.error());
          if (!more.value()) break;
          if (Status st = w.Append(k, p); !st.ok()) return Failed(st);
        }
        if (Status st = w.Flush(); !st.ok()) return Failed(st);
        merged_runs.push_back(w.run());
      }
      file_ = std::move(next);
      runs_ = std::move(merged_runs);
    }
    merger_ = std::make_unique<Merger>(file_, runs_, BufferEach(runs_.size()));
    if (Status st = merger_->Start(); !st.ok()) return Failed(st);
    Track(merger_->memory());
    return Status::Ok();
  }

  Result<bool> Next(Record& record) {
    if (failed_) return Error(ErrorCode::kIoError, "the sorter failed before");
    if (!finished_) return Error(ErrorCode::kInvalidArgument, "records read before the sort ended");
    if (merger_) {
      auto more = merger_->Next(record.key, record.payload);
      if (!more.ok()) {
        failed_ = true;
        return more.error();
      }
      // Read buffers grow only for records larger than themselves: looking
      // now and then is enough.
      if ((++merged_ & 0xFFFF) == 0 || !more.value()) Track(merger_->memory());
      return more.value();
    }
    if (next_ >= entries_.size()) return false;
    const Entry& e = entries_[next_++];
    record.key = KeyOf(e);
    record.payload = PayloadOf(e);
    return true;
  }

 private:
  // A buffered record. `head` and `head2` are the key's first sixteen bytes
  // as two big-endian numbers (zero-padded), so that most comparisons while
  // sorting never touch the arena, even among keys that share a prefix;
  // equal heads fall back to the bytes.
  struct Entry {
    uint64_t head;
    uint64_t head2;
    std::size_t offset;
    uint32_t key_size;
    uint32_t payload_size;
  };

  bool Less(const Entry& a, const Entry& b) const {
    if (a.head != b.head) return a.head < b.head;
    if (a.head2 != b.head2) return a.head2 < b.head2;
    return CompareRecords(KeyOf(a), PayloadOf(a), KeyOf(b), PayloadOf(b)) < 0;
  }

  static uint64_t HeadOf(ByteSpan key, std::size_t from) {
    if (key.size() >= from + 8) {
      uint64_t v;
      std::memcpy(&v, key.data() + from, 8);
      if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
      return v;
    }
    uint64_t h = 0;
    for (std::size_t i = from; i < from + 8; ++i) h = (h << 8) | (i < key.size() ? key[i] : 0);
    return h;
  }

  ByteSpan KeyOf(const Entry& e) const { return ByteSpan(arena_.data() + e.offset, e.key_size); }
  ByteSpan PayloadOf(const Entry& e) const {
    return ByteSpan(arena_.data() + e.offset + e.key_size, e.payload_size);
  }

  std::size_t Budget() const { return std::max(options_.budget_bytes, kMinBudget); }

  // What the buffers would hold, as allocated, after adding `bytes`.
  std::size_t MemoryAfter(std::size_t bytes) const {
    return std::max(arena_.size() + bytes, arena_.capacity()) +
           std::max(entries_.size() + 1, entries_.capacity()) * sizeof(Entry);
  }

  // Grows the buffers geometrically but within what the budget leaves, so
  // the capacity (what is really allocated) stays inside it. Only a lone
  // record larger than the budget goes past.
  void Grow(std::size_t bytes) {
    const std::size_t budget = Budget();
    auto grow = [](auto& v, std::size_t need, std::size_t unit, std::size_t room) {
      if (need <= v.capacity()) return;
      std::size_t cap = std::max<std::size_t>(v.capacity() * 2, 256);
      cap = std::min(cap, room / unit);
      v.reserve(std::max(cap, need));
    };
    const std::size_t arena_cap = arena_.capacity();
    grow(entries_, entries_.size() + 1, sizeof(Entry), budget > arena_cap ? budget - arena_cap : 0);
    const std::size_t entries_bytes = entries_.capacity() * sizeof(Entry);
    grow(arena_, arena_.size() + bytes, 1, budget > entries_bytes ? budget - entries_bytes : 0);
  }

  void Track(std::size_t extra) {
    std::size_t m = arena_.capacity() + entries_.capacity() * sizeof(Entry) + extra;
    owner_.peak_memory_ = std::max(owner_.peak_memory_, m);
  }

  std::size_t BufferEach(std::size_t streams) const {
    return std::max(kMinReadBuffer, Budget() / std::max<std::size_t>(streams, 1));
  }

  void SortBuffer() {
    if (!in_order_) {
      std::sort(entries_.begin(), entries_.end(),
                [this](const Entry& a, const Entry& b) { return Less(a, b); });
    }
    in_order_ = true;
  }

  Status OpenSpill(SpillFile& file) {
    std::vector<std::string> dirs;
    if (!options_.temp_dir.empty()) dirs.push_back(options_.temp_dir);
    if (const char* t = std::getenv("TMPDIR"); t != nullptr && *t != '\0') dirs.emplace_back(t);
    dirs.emplace_back("/tmp");
    Error last(ErrorCode::kIoError, "no directory for temporary sort files");
    for (const std::string& dir : dirs) {
      auto fd = OpenAnonymous(dir);
      if (fd.ok()) {
        file.fd = fd.value();
        file.size = 0;
        return Status::Ok();
      }
      last = fd.error();
    }
    return last;
  }

  Status Spill() {
    SortBuffer();
    if (file_.fd < 0) {
      if (Status st = OpenSpill(file_); !st.ok()) return st;
    }
    const std::size_t buffer =
        std::min(kMaxWriteBuffer, std::max<std::size_t>(Budget() / 8, kMinReadBuffer));
    Track(buffer);
    RunWriter w(file_, buffer);
    for (const Entry& e : entries_) {
      if (Status st = w.Append(KeyOf(e), PayloadOf(e)); !st.ok()) return st;
    }
    if (Status st = w.Flush(); !st.ok()) return st;
    runs_.push_back(w.run());
    ++owner_.runs_spilled_;
    arena_.clear();
    entries_.clear();
    return Status::Ok();
  }

  Status Failed(Status st) {
    failed_ = true;
    return st;
  }
  Status Failed(const Error& e) { return Failed(Status(e)); }

  ExternalSorter& owner_;
  SorterOptions options_;
  std::vector<uint8_t> arena_;
  std::vector<Entry> entries_;
  SpillFile file_;
  std::vector<Run> runs_;
  std::unique_ptr<Merger> merger_;
  std::size_t next_ = 0;
  uint64_t merged_ = 0;   // records read from the merge
  bool in_order_ = true;  // the buffer is sorted as it stands
  bool finished_ = false;
  bool failed_ = false;
};

ExternalSorter::ExternalSorter(SorterOptions options)
    : impl_(std::make_unique<Impl>(*this, std::move(options))) {}
ExternalSorter::~ExternalSorter() = default;

Status ExternalSorter::Add(ByteSpan key, ByteSpan payload) {
  return impl_->Add(key, payload);
}
Status ExternalSorter::Finish() {
  return impl_->Finish();
}
Result<bool> ExternalSorter::Next(Record& record) {
  return impl_->Next(record);
}

std::string TempDirBeside(const std::string& destination) {
  const std::size_t slash = destination.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return destination.substr(0, slash);
}

}  // namespace engine
