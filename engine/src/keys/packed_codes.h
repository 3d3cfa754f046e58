// A compact text form of a code table, for tables too large to list entry by
// entry in source (the Jet 4 table covers nearly every UCS-2 unit).
//
// Entries are written in ascending character order, each as one record:
//   0x00-0xBF  step: the next character, the previous entry's shape, the last
//              byte of its varying field (inline bytes, or the extra bytes of
//              entries without inline bytes) raised by the record's value
//   0xC0-0xFD  a run: the next record - 0xBE characters (2 to 63), each with
//              the previous entry's code unchanged (ignored characters)
//   0xFE       the next character, the previous entry's kind, lengths, weight
//              and flag, then its new varying field in full
//   0xFF       a full entry: character (2 bytes, big-endian), kind, weight,
//              flag, inline length, inline bytes, extra length, extra bytes
// and the record bytes are carried in the 64 letters of base64 (A-Z a-z 0-9
// + /, no padding), so the generated source is plain string literals.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "keys/index_key_text.h"

namespace engine::index_text {

// `table` sorted by character, at most one entry per character.
std::string PackCodes(CodeTable table);

// The table back. Throws std::invalid_argument on text that is not a packed
// table (a letter outside the alphabet, a record cut short, characters out of
// order, fields longer than an entry holds).
std::vector<TextCode> UnpackCodes(std::string_view packed);

}  // namespace engine::index_text
