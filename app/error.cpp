#include "error.h"

#include <new>

namespace quorlen {

ErrorReport describeException(const std::exception& e) {
  if (const auto* ui = dynamic_cast<const UiError*>(&e)) return {ui->number(), ui->description()};
  if (dynamic_cast<const std::bad_alloc*>(&e)) return {kErrOutOfMemory, "Out of memory."};
  return {kErrInternal, std::string("Internal error: ") + e.what()};
}

}  // namespace quorlen
