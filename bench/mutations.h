// Random damage for the repair's robustness run (salvage_score --mutations):
// byte flips, a page's tail zeroed, the file cut short, half a page spliced
// from another page. Every mutation follows from its seed alone.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace mutations {

using Bytes = std::vector<uint8_t>;

enum class Kind { kByteFlips, kTailZeroed, kTruncated, kSpliced };
inline constexpr Kind kKinds[] = {Kind::kByteFlips, Kind::kTailZeroed, Kind::kTruncated,
                                  Kind::kSpliced};

inline const char* KindName(Kind k) {
  switch (k) {
    case Kind::kByteFlips:
      return "byte-flips";
    case Kind::kTailZeroed:
      return "tail-zeroed";
    case Kind::kTruncated:
      return "truncated";
    case Kind::kSpliced:
      return "spliced";
  }
  return "?";
}

// Applies one mutation of `kind` to `file` (pages of `page_size` bytes) and
// says what it did; empty when the file is too small for it (under three
// pages), leaving the file as it was.
inline std::string Mutate(Bytes& file, size_t page_size, Kind kind, uint64_t seed) {
  if (page_size == 0 || file.size() < 3 * page_size) return "";
  std::mt19937_64 rng(seed);
  auto below = [&](size_t n) { return static_cast<size_t>(rng() % n); };
  const size_t pages = file.size() / page_size;
  switch (kind) {
    case Kind::kByteFlips: {
      const size_t count = 1 + below(8);
      std::string what = std::to_string(count) + " bytes changed at";
      for (size_t i = 0; i < count; ++i) {
        const size_t at = below(file.size());
        file[at] ^= static_cast<uint8_t>(1 + below(255));
        what += " " + std::to_string(at);
      }
      return what;
    }
    case Kind::kTailZeroed: {
      const size_t page = 1 + below(pages - 1);
      const size_t from = below(page_size);
      std::fill(file.begin() + static_cast<std::ptrdiff_t>(page * page_size + from),
                file.begin() + static_cast<std::ptrdiff_t>((page + 1) * page_size), 0);
      return "page " + std::to_string(page) + " zeroed from byte " + std::to_string(from);
    }
    case Kind::kTruncated: {
      const size_t length = 2 * page_size + below(file.size() - 2 * page_size);
      file.resize(length);
      return "cut to " + std::to_string(length) + " bytes";
    }
    case Kind::kSpliced: {
      const size_t to = 1 + below(pages - 1);
      size_t from = 1 + below(pages - 2);
      if (from >= to) ++from;
      const size_t half = page_size / 2, which = below(2) * half;
      std::copy_n(file.begin() + static_cast<std::ptrdiff_t>(from * page_size + which), half,
                  file.begin() + static_cast<std::ptrdiff_t>(to * page_size + which));
      return std::string(which ? "second" : "first") + " half of page " + std::to_string(to) +
             " taken from page " + std::to_string(from);
    }
  }
  return "";
}

}  // namespace mutations
