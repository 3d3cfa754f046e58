// Little helpers for reading integers out of byte ranges (bounds-checked in
// Reader) and for storing them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "base/failure.h"
#include "engine/error.h"
#include "engine/types.h"

namespace engine {

inline uint16_t Le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t Le24(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16);
}
inline uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t Le64(const uint8_t* p) {
  return static_cast<uint64_t>(Le32(p)) | (static_cast<uint64_t>(Le32(p + 4)) << 32);
}
// The integer of a fixed column `size` bytes wide (1: Byte, unsigned; 2, 4
// and 8: signed); 0 for any other size.
inline int64_t LeInteger(const uint8_t* p, size_t size) {
  switch (size) {
    case 1:
      return p[0];
    case 2:
      return static_cast<int16_t>(Le16(p));
    case 4:
      return static_cast<int32_t>(Le32(p));
    case 8:
      return static_cast<int64_t>(Le64(p));
    default:
      return 0;
  }
}
inline float LeFloat(const uint8_t* p) {
  uint32_t bits = Le32(p);
  float v;
  std::memcpy(&v, &bits, 4);
  return v;
}
inline double LeDouble(const uint8_t* p) {
  uint64_t bits = Le64(p);
  double v;
  std::memcpy(&v, &bits, 8);
  return v;
}
inline void Put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint32_t Be24(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 16) | (static_cast<uint32_t>(p[1]) << 8) | p[2];
}
inline uint32_t Be32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

// "0A 1B 2C", at most `max` bytes shown (then " ...").
inline std::string HexBytes(ByteSpan bytes, size_t max = SIZE_MAX) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  size_t n = bytes.size() < max ? bytes.size() : max;
  for (size_t i = 0; i < n; ++i) {
    if (i) out += ' ';
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 15];
  }
  if (bytes.size() > max) out += " ...";
  return out;
}

// A checked reader over a byte range; every read past the end throws
// EngineFailure(3049) with `what` in the message.
class Reader {
 public:
  Reader(ByteSpan bytes, std::string what) : bytes_(bytes), what_(std::move(what)) {}

  size_t size() const { return bytes_.size(); }
  void Need(size_t offset, size_t length) const {
    if (offset > bytes_.size() || length > bytes_.size() - offset) {
      Fail(ErrorCode::kDamaged, what_ + ": field at offset " + std::to_string(offset) +
                                    " (length " + std::to_string(length) + ") runs past the end (" +
                                    std::to_string(bytes_.size()) + " bytes)");
    }
  }
  uint8_t U8(size_t offset) const {
    Need(offset, 1);
    return bytes_[offset];
  }
  uint16_t U16(size_t offset) const {
    Need(offset, 2);
    return Le16(bytes_.data() + offset);
  }
  uint32_t U32(size_t offset) const {
    Need(offset, 4);
    return Le32(bytes_.data() + offset);
  }
  uint32_t UInt(size_t offset, size_t size) const { return size == 1 ? U8(offset) : U16(offset); }
  ByteSpan Slice(size_t offset, size_t length) const {
    Need(offset, length);
    return bytes_.subspan(offset, length);
  }

 private:
  ByteSpan bytes_;
  std::string what_;
};

// Runs f, turning EngineFailure into an Error. bad_alloc becomes 3049 too:
// every allocation is bounded by the file size, so running out means the
// file asked for something absurd.
template <typename F>
auto Guard(F&& f) -> Result<decltype(f())> {
  try {
    return f();
  } catch (EngineFailure& failure) {
    return std::move(failure.error);
  } catch (std::bad_alloc&) {
    return Error(ErrorCode::kDamaged, "out of memory while reading the database");
  }
}

template <typename F>
Status GuardStatus(F&& f) {
  try {
    f();
    return Status();
  } catch (EngineFailure& failure) {
    return Status(std::move(failure.error));
  } catch (std::bad_alloc&) {
    return Status(Error(ErrorCode::kDamaged, "out of memory while reading the database"));
  }
}

}  // namespace engine
