// Where the bytes of a database file come from.
//
// A FileSource hands out the whole file as one read-only byte range: a
// memory-mapped file, or a buffer the caller gave (tests, the fuzzer). The
// Pager (page.h) builds pages on top of it. A writer will get a sibling
// "page sink"; nothing above the Pager touches a FileSource directly.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "engine/error.h"
#include "engine/types.h"

namespace engine {


class FileSource {
 public:
  virtual ~FileSource() = default;
  virtual ByteSpan bytes() const = 0;
  // The path the bytes came from; empty for buffers.
  virtual const std::string& path() const = 0;

  // Opens a file read-only and maps it. Errors: 3044 (empty path, a
  // directory, a name too long or otherwise invalid), 3024 (no such file),
  // 3051 (no permission), 3043 (any other I/O failure).
  static Result<std::unique_ptr<FileSource>> OpenFile(const std::string& path);
  // Takes ownership of a buffer.
  static std::unique_ptr<FileSource> FromBuffer(std::vector<uint8_t> bytes);
  // Refers to bytes the caller keeps alive for the life of the source.
  static std::unique_ptr<FileSource> FromSpan(ByteSpan bytes);
};

}  // namespace engine
