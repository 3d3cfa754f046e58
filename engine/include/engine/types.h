// Small value types every part of the engine and its callers share.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace engine {

using ByteSpan = std::span<const uint8_t>;

// The page layout family. ACE files (.accdb) use Jet 4's layouts.
enum class JetVersion : uint8_t { kJet3 = 0, kJet4 = 1 };

// The file format as page 0 names it: its version byte (0x14), with the
// engine name telling Jet from ACE.
enum class FileFormat : uint8_t {
  kJet3 = 0,   // Access 97
  kJet4 = 1,   // Access 2000-2003
  kAce12 = 2,  // Access 2007
  kAce14 = 3,  // Access 2010
  kAce15 = 4,  // Access 2013
  kAce16 = 5,  // Access 2016
  kAce17 = 6,  // Access 2019
};
inline bool IsAce(FileFormat f) {
  return f >= FileFormat::kAce12;
}
// "jet3", "jet4", "ace12", ... (the dump's and reports' names) and the
// Access versions that write the format ("Access 2000-2003").
std::string_view FileFormatName(FileFormat f);
std::string_view FileFormatProduct(FileFormat f);

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
