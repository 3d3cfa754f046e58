// Opening a Jet 3 / Jet 4 (.mdb) database and what `info` shows of it.
//
// The engine's public faces (namespace engine; nothing throws across them:
// fallible calls return Result<T> or Status, whose Error carries a number
// and a description):
//   database.h  OpenOptions, Summarize: format, header fields, page census,
//               tables with row counts, linked tables
//   dump.h      the canonical JSON dump
//   check.h     CheckDatabase: every structure verified
//   compact.h   CompactDatabase: a fresh, compacted copy
//   repair.h    RepairDatabase: a fresh copy of what a damaged file holds
//   values.h    the canonical text forms of values (dates, numbers, GUIDs)
//   error.h, progress.h, types.h
//
// Error numbers: 3024 file not found, 3044 invalid path, 3051 no permission,
// 3343 not a Jet 3 / Jet 4 / ACE database (other versions and engines, too short),
// 3049 damaged (the description names the page / row / table), 3031 wrong
// password, 3043 other I/O failures.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/error.h"
#include "engine/types.h"

namespace engine {

struct OpenOptions {
  // The database password (UTF-8). A file with a password opens only when
  // this matches exactly (3031 otherwise); a file without one ignores it.
  std::string password;
};

struct TableSummary {
  std::string name;
  bool system = false;
  uint32_t first_page = 0;
  uint64_t rows = 0;              // live rows read
  uint32_t stored_row_count = 0;  // num_rows of the table definition
  uint32_t data_pages = 0;
  // Set when the table could not be read; the counts above are then partial.
  std::optional<Error> error;
};

struct LinkedTableSummary {
  std::string name;
  // Where its data lives, in one line for people: "ODBC DSN=Sales;UID=ann;
  // PWD=***; table dbo.Orders" or "C:\data\other.mdb table Orders".
  std::string target;
};

struct DatabaseSummary {
  JetVersion version = JetVersion::kJet4;  // the page layout
  FileFormat format = FileFormat::kJet4;
  uint32_t page_size = 0;
  uint32_t page_count = 0;
  uint32_t trailing_bytes = 0;  // after the last whole page, ignored
  // Page 0.
  double creation_date = 0;  // Jet 4 only (days since 1899-12-30)
  uint16_t code_page = 0;
  uint16_t sort_order = 0;
  bool encoded = false;                    // pages 1.. are RC4-encoded
  bool has_password = false;               // a database password is set
  std::map<uint8_t, uint32_t> page_types;  // first byte of each page -> count
  uint32_t free_pages = 0;                 // free in the global usage map, inside the file
  uint64_t data_free_bytes = 0;            // sum of the free-space fields of data pages in use
  std::vector<TableSummary> tables;        // sorted by name
  std::vector<LinkedTableSummary> linked_tables;  // sorted by name
};

// Opens the file and summarises it. Errors: those of opening (see above);
// a table that cannot be read is reported in its TableSummary instead.
Result<DatabaseSummary> Summarize(const std::string& path, const OpenOptions& options = {});

}  // namespace engine
