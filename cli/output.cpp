#include "output.h"

#include <cstdio>

#include "exit_codes.h"

namespace cli {

Verbosity& verbosity() {
  static Verbosity v = Verbosity::kNormal;
  return v;
}

std::string JsonText(const nlohmann::json& document) {
  return document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

bool WriteOut(std::string_view text) {
  const bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
  return std::fflush(stdout) == 0 && written && !std::ferror(stdout);
}

std::string Count(uint64_t n, std::string_view one, std::string_view many) {
  return std::to_string(n) + " " + std::string(n == 1 ? one : many);
}

int PrintError(const engine::Error& error, const std::string& file) {
  std::string description = error.description();
  if (!file.empty() && description.find(file) == std::string::npos) {
    description = file + ": " + description;
  }
  std::fprintf(stderr, "error %d: %s\n", error.number(), description.c_str());
  return kExitEngineError;
}

void PrintWarning(const std::string& text) {
  std::fprintf(stderr, "warning: %s\n", text.c_str());
}

int UsageError(const std::string& text, const std::string& command, bool json) {
  std::fprintf(stderr, "quorlen-cli: %s (see quorlen-cli %s%s--help)\n", text.c_str(),
               command.c_str(), command.empty() ? "" : " ");
  if (json) {
    WriteOut(JsonText({{"format_version", kJsonFormatVersion}, {"usage_error", text}}));
  }
  return kExitUsage;
}

nlohmann::json ErrorJson(const engine::Error& error) {
  return {{"number", error.number()}, {"description", error.description()}};
}

}  // namespace cli
