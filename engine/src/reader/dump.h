// The canonical dump of an open Database (the public faces are in engine/dump.h).
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "engine/dump.h"
#include "reader/database.h"

namespace engine {

// Writes the dump in chunks through `write`, which returns false when it
// could not write (the dump then stops with error 3043). A table that cannot
// be read whole is written as its name, "system", its columns (when its
// definition reads) and "error": "error NNNN: ..." in place of row_count and
// rows; every other table is still written, the document stays complete,
// and the first such error is returned.
// Each table is read once before it is written; `held_rows_limit` bounds
// the bytes of its rows kept from that read (beyond it, the rows are read a
// second time and streamed).
Status WriteDump(const Database& db, const std::function<bool(std::string_view)>& write,
                 size_t held_rows_limit = size_t{8} << 20);
// The same for the tables and in the form `options` give (engine/dump.h).
Status WriteDump(const Database& db, const std::function<bool(std::string_view)>& write,
                 const DumpOptions& options, size_t held_rows_limit = size_t{8} << 20);
// Convenience: the whole dump as a string (tests).
Result<std::string> DumpToString(const Database& db);

}  // namespace engine
