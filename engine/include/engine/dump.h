// The canonical JSON dump of a database: format, page size, and for every
// table (sorted by name) its columns and live rows in storage order; or one
// table's rows as CSV.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

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
enum class DumpFormat { kJson, kCsv };

struct DumpOptions {
  // Only these tables (each name exactly as stored, or differing only in
  // letter case; 3078 for a name that fits no table). Empty: every table of
  // the JSON dump, every table but the system ones for CSV.
  std::vector<std::string> tables;
  // CSV (RFC 4180): a line of column names, then one line per row, CRLF
  // line ends; a field is quoted when it holds a comma, a quote or a line
  // end, and an empty text is written "" while NULL is an empty field.
  // Values take the dump's canonical forms (numbers, dates, GUIDs as text;
  // booleans true / false; OLE and binary values base64). One table only
  // (3001 otherwise); it is read whole before anything is written.
  DumpFormat format = DumpFormat::kJson;
};

Status WriteDump(const std::string& path, const OpenOptions& options,
                 const std::function<bool(std::string_view)>& write, const DumpOptions& dump = {});

// CSV of several tables, each to a place of its own (a file per table).
struct CsvSinks {
  using Write = std::function<bool(std::string_view)>;
  // Where the CSV of the table NAME goes; called just before it is written.
  std::function<Result<Write>(const std::string& name)> open;
  // Called after it with how it went (to close the file, or remove one that
  // is incomplete); an error ends the whole run.
  std::function<Status(const std::string& name, const Status& written)> finished;
};
// Writes the CSV of each of `tables` (empty: every table but the system
// ones), sorted by name. A table that cannot be read is reported to
// `finished` and the others are still written; the first such error is
// returned. An output failure (3043) ends the run.
Status WriteCsvTables(const std::string& path, const OpenOptions& options,
                      const std::vector<std::string>& tables, const CsvSinks& sinks);

}  // namespace engine
