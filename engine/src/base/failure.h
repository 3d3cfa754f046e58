// The engine's internal failure: decoders deep inside throw it, the public
// entry points catch it (Guard in base/bytes.h) and hand back its Error.
#pragma once

#include <string>

#include "engine/error.h"

namespace engine {

// Thrown inside the engine by decoders that find a structure they cannot
// accept; the public entry points catch it and hand back its Error.
struct EngineFailure {
  Error error;
};

[[noreturn]] inline void Fail(ErrorCode code, std::string description) {
  throw EngineFailure{Error(code, std::move(description))};
}

}  // namespace engine
