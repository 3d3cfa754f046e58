// A byte array that grows by appending and is read once it is complete, for
// what the checker keeps per row of a table (its keys, their facts): small
// ones stay in memory; past `memory_limit` bytes the array moves into an
// unlinked temporary file mapped into memory, so that the page cache rather
// than the process's own memory holds it, however large the table. Where no
// temporary file can be made the array stays in memory: the contents are
// the same either way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace engine::check {

class SpillBytes {
 public:
  static constexpr size_t kDefaultMemoryLimit = size_t{4} << 20;

  explicit SpillBytes(size_t memory_limit = kDefaultMemoryLimit, std::string temp_dir = "");
  ~SpillBytes();
  SpillBytes(SpillBytes&& other) noexcept;
  SpillBytes& operator=(SpillBytes&& other) noexcept;
  SpillBytes(const SpillBytes&) = delete;
  SpillBytes& operator=(const SpillBytes&) = delete;

  // Appends `n` bytes; returns where they start.
  uint64_t Append(const void* bytes, size_t n);
  const uint8_t* data() const { return mapped_ != nullptr ? mapped_ : memory_.data(); }
  uint64_t size() const { return size_; }
  // Whether the bytes live in the temporary file (tests, figures).
  bool spilled() const { return mapped_ != nullptr; }

 private:
  // Moves the bytes to (a larger mapping of) the file; false when that
  // cannot be done, the bytes then staying where they were.
  bool Spill(uint64_t need);
  void Release();

  size_t memory_limit_;
  std::string temp_dir_;
  std::vector<uint8_t> memory_;
  int fd_ = -1;
  uint8_t* mapped_ = nullptr;
  uint64_t capacity_ = 0;  // of the mapping and the file
  uint64_t size_ = 0;
  bool spill_failed_ = false;
};

}  // namespace engine::check
