// The commands of quorlen-cli. Each is one row of kCommands: its name, its
// help line, how it declares its options, and the handler that runs it.
// Adding a command means one row and one function.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/error.h"

namespace CLI {
class App;
}

namespace cli {

// Options shared by every command that opens a database.
struct CommonOptions {
  std::string file;
  std::string password;       // --password, else QUORLEN_PASSWORD
  std::string password_file;  // --password-file: the password is its first line
  bool json = false;          // --json, where the command has it
};

// Declares FILE, --password (also read from QUORLEN_PASSWORD) and
// --password-file on a subcommand; DeclarePassword the last two only.
void DeclareFileAndPassword(CLI::App& sub, CommonOptions& common);
void DeclarePassword(CLI::App& sub, CommonOptions& common);
// The note on passwords every such command's help ends with.
extern const char kPasswordNote[];

// Opens with the password the options give. When none was given, the file
// needs one and standard input is a terminal, asks for it without echo, up
// to three times while the answer is wrong. `open` gets the password and
// returns a Result.
// `before_prompt` runs before each question (to clear a progress line).
template <typename Open>
auto OpenWithPassword(const CommonOptions& common, Open open,
                      const std::function<void()>& before_prompt = {})
    -> decltype(open(std::string()));

// The password from the options: --password / QUORLEN_PASSWORD, or the
// first line of --password-file (without its line end). When the file
// cannot be read, what to tell the user (a usage error); else empty.
std::string ResolvePassword(CommonOptions& common);
// Asks for the password on the terminal without echo (`again`: after a wrong
// one); nullopt when standard input is not a terminal or nothing could be
// read.
std::optional<std::string> PromptPassword(const std::string& file, bool again = false);
inline constexpr int kPasswordTries = 3;
// Whether `error` says a password is needed and none was given.
bool NeedsPassword(const engine::Error& error, const CommonOptions& common);

template <typename Open>
auto OpenWithPassword(const CommonOptions& common, Open open,
                      const std::function<void()>& before_prompt) -> decltype(open(std::string())) {
  auto result = open(common.password);
  if (result.ok() || !NeedsPassword(result.error(), common)) return result;
  for (int attempt = 0; attempt < kPasswordTries; ++attempt) {
    if (before_prompt) before_prompt();
    std::optional<std::string> typed = PromptPassword(common.file, attempt > 0);
    if (!typed) return result;
    result = open(*typed);
    if (result.ok() || !result.error().is(engine::ErrorCode::kWrongPassword)) return result;
  }
  return result;
}

struct Command {
  const char* name;
  const char* help;
  // Declares the command's own options on its subcommand; `common` and
  // `extra` receive the parsed values.
  void (*declare)(CLI::App& sub, CommonOptions& common, std::vector<std::string>& extra);
  // Runs the command; returns the process exit code (exit_codes.h).
  int (*run)(const CommonOptions& common, const std::vector<std::string>& extra);
};

const std::vector<Command>& Commands();

}  // namespace cli
