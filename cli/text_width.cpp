#include "text_width.h"

#include <algorithm>
#include <iterator>

namespace cli {

namespace {

struct Range {
  char32_t first, last;
};

// Zero-width: combining marks of the main scripts, zero-width spaces and
// joiners, variation selectors.
constexpr Range kZeroWidth[] = {
    {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x05BF, 0x05BF}, {0x05C1, 0x05C2},
    {0x05C4, 0x05C5}, {0x05C7, 0x05C7}, {0x0610, 0x061A}, {0x064B, 0x065F}, {0x0670, 0x0670},
    {0x06D6, 0x06DC}, {0x06DF, 0x06E4}, {0x06E7, 0x06E8}, {0x06EA, 0x06ED}, {0x0E31, 0x0E31},
    {0x0E34, 0x0E3A}, {0x0E47, 0x0E4E}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF}, {0x200B, 0x200F},
    {0x20D0, 0x20FF}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F}, {0xFEFF, 0xFEFF},
};

// East Asian Wide (W) and Fullwidth (F).
constexpr Range kWide[] = {
    {0x1100, 0x115F},   {0x2E80, 0x303E},   {0x3041, 0x33FF},   {0x3400, 0x4DBF},
    {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},   {0xA960, 0xA97F},   {0xAC00, 0xD7A3},
    {0xF900, 0xFAFF},   {0xFE10, 0xFE19},   {0xFE30, 0xFE6F},   {0xFF00, 0xFF60},
    {0xFFE0, 0xFFE6},   {0x1F300, 0x1F64F}, {0x1F900, 0x1F9FF}, {0x20000, 0x2FFFD},
    {0x30000, 0x3FFFD},
};

template <size_t N>
bool In(const Range (&ranges)[N], char32_t cp) {
  auto it = std::upper_bound(std::begin(ranges), std::end(ranges), cp,
                             [](char32_t c, const Range& r) { return c < r.first; });
  return it != std::begin(ranges) && cp <= std::prev(it)->last;
}

}  // namespace

int CodePointWidth(char32_t cp) {
  if (cp == 0) return 0;
  if (In(kZeroWidth, cp)) return 0;
  if (In(kWide, cp)) return 2;
  return 1;
}

int DisplayWidth(std::string_view s) {
  int width = 0;
  size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    size_t n = b < 0x80             ? 1
               : (b & 0xE0) == 0xC0 ? 2
               : (b & 0xF0) == 0xE0 ? 3
               : (b & 0xF8) == 0xF0 ? 4
                                    : 0;
    char32_t cp = n == 1 ? b : n == 2 ? (b & 0x1F) : n == 3 ? (b & 0x0F) : (b & 0x07);
    bool valid = n != 0 && i + n <= s.size();
    for (size_t k = 1; valid && k < n; ++k) {
      const auto c = static_cast<unsigned char>(s[i + k]);
      if ((c & 0xC0) != 0x80) {
        valid = false;
      } else {
        cp = (cp << 6) | (c & 0x3F);
      }
    }
    if (!valid) {
      width += 1;
      i += 1;
      continue;
    }
    width += CodePointWidth(cp);
    i += n;
  }
  return width;
}

std::string PadToWidth(std::string_view s, int width) {
  std::string out(s);
  int w = DisplayWidth(s);
  if (w < width) out.append(static_cast<size_t>(width - w), ' ');
  return out;
}

}  // namespace cli
