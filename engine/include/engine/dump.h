// The canonical JSON dump of a database: format, page size, and for every
// table (sorted by name) its columns and live rows in storage order.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "engine/database.h"

namespace engine {

// Writes the dump in chunks through `write`, which returns false when it
// could not write (the dump then stops with error 3043).
Status WriteDump(const Database& db, const std::function<bool(std::string_view)>& write);
// Convenience: the whole dump as a string (tests).
Result<std::string> DumpToString(const Database& db);

}  // namespace engine
