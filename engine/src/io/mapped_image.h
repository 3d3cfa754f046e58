// A database file as one contiguous, read-only range of address space that
// costs no anonymous memory however large the file: the file's own pages are
// mapped from it (page cache), bytes past its end read as zeros, and pages
// written later live in an unlinked temp file mapped over the range in
// whole chunks. The range is reserved up front, so spans handed out stay
// valid while pages are written and the image grows.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/error.h"
#include "io/file_source.h"

namespace engine {

class MappedImage {
 public:
  // Reserves room for `capacity` bytes (less when the address space is
  // short, but never less than `size`); the image starts `size` bytes long,
  // all zeros. Temp files go to `temp_dir` (empty: no writes allowed).
  static Result<std::unique_ptr<MappedImage>> Create(uint64_t size, uint64_t capacity,
                                                     std::string temp_dir);
  ~MappedImage();
  MappedImage(const MappedImage&) = delete;
  MappedImage& operator=(const MappedImage&) = delete;

  // Maps the first bytes of the file at `path` (up to the image's size) over
  // the start of the image. Errors: those of opening the file.
  Status MapFile(const std::string& path);
  // Writes `bytes` at `offset`, growing the image when needed. Errors: 3026 /
  // 3043 from the temp file, 3049 past the reserved room.
  Status Write(uint64_t offset, ByteSpan bytes);

  const uint8_t* data() const { return base_; }
  uint64_t size() const { return size_; }
  uint64_t capacity() const { return capacity_; }
  ByteSpan bytes() const { return {base_, static_cast<size_t>(size_)}; }
  // Chunks now held by the temp file (tests, figures).
  uint64_t overlaid_chunks() const { return overlaid_count_; }

  static constexpr uint64_t kChunk = 64 * 1024;

 private:
  MappedImage() = default;
  Status OpenTemp();
  Status Overlay(uint64_t chunk);

  uint8_t* base_ = nullptr;
  uint64_t size_ = 0;
  uint64_t capacity_ = 0;
  uint64_t mapped_file_bytes_ = 0;  // bytes at the start that come from the file
  std::string temp_dir_;
  int temp_fd_ = -1;
  uint64_t temp_size_ = 0;
  std::vector<bool> overlaid_;
  uint64_t overlaid_count_ = 0;
};

// A FileSource reading a MappedImage it shares; `path` names what it shows.
std::unique_ptr<FileSource> ImageSource(std::shared_ptr<const MappedImage> image, std::string path);

}  // namespace engine
