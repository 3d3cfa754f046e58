// What a repair could not carry over, as JSON, and the files a repair with
// losses leaves beside the repaired database.
//
//   auto kept = maintenance::KeepOriginal("/data/orders.mdb", now);
//   // -> "/data/orders.damaged-20261207-201500.mdb", a hard link (or copy)
//
// Nothing here ever replaces an existing file: every name is created
// exclusively, with "-2", "-3", ... added when it is taken.
#pragma once

#include <ctime>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "engine/error.h"
#include "engine/repair.h"

namespace maintenance {

// The tables a repair's losses name, each once, in the order found: those
// whose definition is lost (none of their rows came over), those that lost
// some rows or values, and those found without a catalog row and named anew.
struct TablesHit {
  std::vector<std::string> lost;
  std::vector<std::string> partly_lost;
  std::vector<std::string> renamed;
};
TablesHit TablesHitBy(const std::vector<engine::LossRecord>& losses);

// Writes the report, JSON, to the open file FD: counts, the kept original
// (or null) and every loss with its position, reason and raw bytes (base64),
// one loss at a time (their bytes may be read back from the repair's spill
// file), so a long report is never held whole.
engine::Status WriteRepairReport(int fd, const std::string& source, const std::string& destination,
                                 const std::string& kept_original,
                                 const engine::RepairResult& result);

// Creates the new file PATH (3204 when it exists) and has FILL write it,
// then flushes it to disk. On failure nothing is left at PATH.
engine::Status WriteNewFile(const std::string& path,
                            const std::function<engine::Status(int)>& fill);
// The same for TEXT.
engine::Status WriteNewTextFile(const std::string& path, const std::string& text);

// "<folder>/<stem><tag>-YYYYMMDD-HHMMSS<extension>" for PATH, in local time;
// `extension` is PATH's own (".mdb") unless one is given.
std::string StampedName(const std::string& path, const std::string& tag, std::time_t when,
                        const char* extension = nullptr);

// Keeps the file at PATH under StampedName(PATH, ".damaged", when): a hard
// link where the file system allows it, otherwise a flushed copy with the
// same permission bits. Returns the name used.
engine::Result<std::string> KeepOriginal(const std::string& path, std::time_t when);

// Writes TEXT to the first free name among BASE, then BASE with "-2", "-3",
// ... before its extension, flushed to disk. Returns the name used.
engine::Result<std::string> WriteFirstFree(const std::string& base, const std::string& text);
engine::Result<std::string> WriteFirstFree(const std::string& base,
                                           const std::function<engine::Status(int)>& fill);

// Creates an empty new file at the first free name among BASE, then BASE
// with "-2", "-3", ... before its extension. Returns the name (tests).
engine::Result<std::string> CreateFirstFree(const std::string& base);

}  // namespace maintenance
