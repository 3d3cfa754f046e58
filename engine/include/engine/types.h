// Small value types every part of the engine and its callers share.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace engine {

using ByteSpan = std::span<const uint8_t>;

enum class JetVersion : uint8_t { kJet3 = 0, kJet4 = 1 };

// A row's address as index entries and overflow pointers store it: the
// page number in the upper 24 bits, the slot in the low byte.
struct RowPointer {
  uint32_t page = 0;
  uint8_t row = 0;

  static RowPointer FromLe(uint32_t value) { return {value >> 8, static_cast<uint8_t>(value)}; }
  uint32_t ToLe() const { return (page << 8) | row; }
  bool operator==(const RowPointer&) const = default;
};
inline constexpr uint32_t kMaxRowPointerPage = 0xFFFFFF;

// "data", "table definition", ... for the first byte of a page.
std::string_view PageTypeName(uint8_t type);

}  // namespace engine
