#include "check/spill_bytes.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "io/temp_file.h"

namespace engine::check {

namespace {

constexpr uint64_t kFileStep = uint64_t{1} << 20;

std::string DefaultTempDir() {
  const char* dir = std::getenv("TMPDIR");
  return dir != nullptr && *dir != '\0' ? dir : "/tmp";
}

}  // namespace

SpillBytes::SpillBytes(size_t memory_limit, std::string temp_dir)
    : memory_limit_(memory_limit),
      temp_dir_(temp_dir.empty() ? DefaultTempDir() : std::move(temp_dir)) {}

SpillBytes::~SpillBytes() {
  Release();
}

SpillBytes::SpillBytes(SpillBytes&& other) noexcept {
  *this = std::move(other);
}

SpillBytes& SpillBytes::operator=(SpillBytes&& other) noexcept {
  if (this == &other) return *this;
  Release();
  memory_limit_ = other.memory_limit_;
  temp_dir_ = std::move(other.temp_dir_);
  memory_ = std::move(other.memory_);
  other.memory_.clear();
  fd_ = std::exchange(other.fd_, -1);
  mapped_ = std::exchange(other.mapped_, nullptr);
  capacity_ = std::exchange(other.capacity_, 0);
  size_ = std::exchange(other.size_, 0);
  spill_failed_ = other.spill_failed_;
  return *this;
}

void SpillBytes::Release() {
  if (mapped_ != nullptr) ::munmap(mapped_, capacity_);
  if (fd_ >= 0) ::close(fd_);
  mapped_ = nullptr;
  fd_ = -1;
  capacity_ = 0;
}

uint64_t SpillBytes::Append(const void* bytes, size_t n) {
  const uint64_t at = size_;
  if (n == 0) return at;
  const uint64_t need = size_ + n;
  if (mapped_ != nullptr ? need > capacity_ : need > memory_limit_ && !spill_failed_) {
    if (!Spill(need)) {
      spill_failed_ = true;
      if (mapped_ != nullptr) {
        // The file cannot grow: what it holds comes back into memory.
        memory_.assign(mapped_, mapped_ + size_);
        Release();
      }
    }
  }
  if (mapped_ != nullptr) {
    std::memcpy(mapped_ + at, bytes, n);
  } else {
    const auto* b = static_cast<const uint8_t*>(bytes);
    memory_.insert(memory_.end(), b, b + n);
  }
  size_ = need;
  return at;
}

bool SpillBytes::Spill(uint64_t need) {
  if (fd_ < 0) {
    fd_ = OpenAnonymousFile(temp_dir_, ".quorlen-check");
    if (fd_ < 0) return false;
  }
  // Doubling keeps the number of remappings logarithmic in the size.
  const uint64_t grown = std::max(need, capacity_ * 2);
  const uint64_t capacity = (grown + kFileStep - 1) / kFileStep * kFileStep;
  // Blocks allocated up front: a full disk then fails here, not as a fault
  // when a page of the mapping is first written.
  if (::posix_fallocate(fd_, 0, static_cast<off_t>(capacity)) != 0) return false;
  void* at = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
  if (at == MAP_FAILED) return false;
  if (mapped_ != nullptr) {
    // The file already holds the bytes: only the old view goes.
    ::munmap(mapped_, capacity_);
  } else {
    std::memcpy(at, memory_.data(), memory_.size());
    std::vector<uint8_t>().swap(memory_);
  }
  mapped_ = static_cast<uint8_t*>(at);
  capacity_ = capacity;
  return true;
}

}  // namespace engine::check
