// UTF-8 and UCS-2 helpers shared by the text decoder and the key encoder.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/types.h"

namespace engine {

void AppendUtf8(uint32_t code_point, std::string& out);
void DecodeUcs2(ByteSpan bytes, std::string& out);
// UTF-8 to code points; a broken sequence gives U+FFFD and moves on a byte.
std::vector<uint32_t> Utf8CodePoints(std::string_view utf8);
}  // namespace engine
