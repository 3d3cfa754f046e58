// How many terminal columns a UTF-8 string takes, for aligning table output.
#pragma once

#include <string>
#include <string_view>

namespace cli {

// Columns one code point takes: 2 for East Asian wide and fullwidth
// characters (CJK ideographs, Hangul syllables, kana, fullwidth forms, ...),
// 0 for combining marks and other zero-width characters, 1 otherwise.
int CodePointWidth(char32_t cp);

// Columns of a UTF-8 string. A byte that does not start a valid sequence
// counts as one column (terminals show a replacement character).
int DisplayWidth(std::string_view utf8);

// `utf8` followed by spaces up to `width` columns (nothing added when it is
// already as wide or wider).
std::string PadToWidth(std::string_view utf8, int width);

}  // namespace cli
