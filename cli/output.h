// What every command of quorlen-cli shares in its output: the verbosity,
// JSON that takes any byte string (a file name need not be UTF-8), checked
// writes to standard output, singular and plural, and the one style of
// error, warning and usage-error lines.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "engine/error.h"

namespace cli {

// -q / -v, given before or after the command.
enum class Verbosity { kQuiet, kNormal, kVerbose };
Verbosity& verbosity();
inline bool Quiet() {
  return verbosity() == Verbosity::kQuiet;
}
inline bool Verbose() {
  return verbosity() == Verbosity::kVerbose;
}

// The version of every JSON document quorlen-cli prints; fields are only
// ever added.
inline constexpr int kJsonFormatVersion = 1;

// The document as text, indented, with a line end. Bytes that are not UTF-8
// (a file name in another encoding) become U+FFFD instead of failing.
std::string JsonText(const nlohmann::json& document);

// Writes TEXT to standard output and flushes it; false when that failed (a
// closed pipe, a full disk).
bool WriteOut(std::string_view text);

// "1 table", "2 tables".
std::string Count(uint64_t n, std::string_view one, std::string_view many);

// "error NNNN: description" on standard error, with FILE named in front of
// the description when it does not name it already. Returns kExitEngineError.
int PrintError(const engine::Error& error, const std::string& file = {});

// "warning: TEXT" on standard error.
void PrintWarning(const std::string& text);

// A usage error: "quorlen-cli: TEXT (see quorlen-cli [COMMAND] --help)" on
// standard error, and with JSON also {"format_version", "usage_error": TEXT}
// on standard output. Returns kExitUsage.
int UsageError(const std::string& text, const std::string& command = {}, bool json = false);

// The error of one file as JSON: {"number", "description"}.
nlohmann::json ErrorJson(const engine::Error& error);

}  // namespace cli
