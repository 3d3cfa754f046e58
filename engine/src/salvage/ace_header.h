// Page 0 of an ACE file (.accdb) whose signature is damaged. Its page
// layout is Jet 4's, so without a readable page 0 the other pages could be
// taken for a Jet 4 file: the tolerant reader asks here first, and never
// rebuilds an ACE page 0 as a Jet one.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "engine/types.h"
#include "format/header.h"

namespace engine {

struct RestoredAceHeader {
  DatabaseHeader header;
  std::string why;  // what was damaged and what it was restored to
};

// Page 0 read again with its page type and engine name restored, when those
// are all that keeps it from decoding: the version byte names an ACE format
// (2..6) and most of the engine name still reads as ACE's. Nothing else is
// changed, so the encryption header and every other field stay the file's.
std::optional<RestoredAceHeader> RestoreAceEngineName(ByteSpan file);

// Whether a file whose page 0 does not decode shows it is an ACE database:
// ACE's engine name, a version byte of an ACE format under a name that is
// not Jet's, or a path ending in ".accdb".
bool LooksLikeAce(ByteSpan file, std::string_view path);

}  // namespace engine
