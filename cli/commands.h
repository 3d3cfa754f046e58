// The commands of quorlen-cli. Each is one row of kCommands: its name, its
// help line, how it declares its options, and the handler that runs it.
// Adding a command means one row and one function.
#pragma once

#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace cli {

// Options shared by every command that opens a database.
struct CommonOptions {
  std::string file;
  std::string password;
};

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
