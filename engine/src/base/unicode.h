// UTF-8 and UCS-2 helpers shared by the text decoder and the key encoder.
#pragma once

#include <cstdint>
#include <string>

#include "engine/types.h"

namespace engine {

void AppendUtf8(uint32_t code_point, std::string& out);
void DecodeUcs2(ByteSpan bytes, std::string& out);
}  // namespace engine
