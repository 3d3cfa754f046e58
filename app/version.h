// The identity the executable carries: product, version and descriptions.
#pragma once

#include <array>

namespace quorlen {

inline constexpr const char* kProductName = "Quorlen";
inline constexpr const char* kVersionText = "1.00";
inline constexpr std::array<int, 4> kNumericVersion = {1, 0, 0, 0};
// What the file says it is (the desktop entry's comment uses it).
inline constexpr const char* kFileDescription = "Compact and Repair MS Access Files";
// The program's own description; kept with the program, not shown anywhere.
inline constexpr const char* kProgramDescription = "Compact or Repair MS Access Files";

}  // namespace quorlen
