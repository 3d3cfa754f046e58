// The canonical JSON dump of a database: format, page size, and for every
// table (sorted by name) its columns and live rows in storage order.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "engine/database.h"
#include "engine/error.h"

namespace engine {

// Opens the file and writes its dump in chunks through `write`, which
// returns false when it could not write (the dump then stops with error
// 3043). A table that cannot be read whole is written as its name,
// "system", its columns (when its definition reads) and "error": "error
// NNNN: ..." in place of row_count and rows; every other table is still
// written, the document stays complete, and the first such error is
// returned.
Status WriteDump(const std::string& path, const OpenOptions& options,
                 const std::function<bool(std::string_view)>& write);

}  // namespace engine
