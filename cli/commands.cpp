#include "commands.h"

#include <CLI/CLI.hpp>

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "engine/error.h"

namespace cli {

const char kPasswordEnv[] = "QUORLEN_PASSWORD";

const char kPasswordNote[] =
    "Without a password from these, the environment variable QUORLEN_PASSWORD is used; if the "
    "file has a password and none is given, it is asked for on the terminal (three tries).";

void DeclareFileAndPassword(CLI::App& sub, CommonOptions& common) {
  sub.add_option("FILE", common.file, "the database file (.mdb)")->required();
  DeclarePassword(sub, common);
}

void DeclarePassword(CLI::App& sub, CommonOptions& common) {
  CLI::Option* given = sub.add_option(
      "--password", common.password,
      "the database password, if it has one (visible to other users in the process list: "
      "prefer --password-file or the environment variable " +
          std::string(kPasswordEnv) + ")");
  sub.add_option("--password-file", common.password_file,
                 "read the database password from the first line of this file")
      ->excludes(given);
  sub.footer(kPasswordNote);
}

std::string ResolvePassword(CommonOptions& common) {
  if (!common.password.empty()) return {};
  if (!common.password_file.empty()) {
    std::ifstream in(common.password_file, std::ios::binary);
    std::string line;
    if (!in || (!std::getline(in, line) && !in.eof())) {
      return "cannot read the password file \"" + common.password_file +
             "\": " + std::strerror(errno);
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    common.password = line;
    return {};
  }
  if (const char* env = std::getenv(kPasswordEnv)) common.password = env;
  return {};
}

bool NeedsPassword(const engine::Error& error, const CommonOptions& common) {
  return error.is(engine::ErrorCode::kWrongPassword) && common.password.empty();
}

std::optional<std::string> PromptPassword(const std::string& file, bool again) {
  if (!isatty(STDIN_FILENO)) return std::nullopt;
  termios saved{};
  if (tcgetattr(STDIN_FILENO, &saved) != 0) return std::nullopt;
  termios quiet = saved;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  quiet.c_lflag |= ECHONL;
  if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) != 0) return std::nullopt;
  if (again) std::fprintf(stderr, "Wrong password. ");
  std::fprintf(stderr, "Password for %s: ", file.c_str());
  std::fflush(stderr);
  std::string line;
  bool got = false;
  for (int c; (c = std::fgetc(stdin)) != EOF;) {
    got = true;
    if (c == '\n') break;
    line += static_cast<char>(c);
  }
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  if (!got) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// read_commands.cpp
void DeclareInfo(CLI::App& sub, CommonOptions& common, std::vector<std::string>& extra);
int RunInfo(const CommonOptions& common, const std::vector<std::string>& extra);
void DeclareDump(CLI::App& sub, CommonOptions& common, std::vector<std::string>& extra);
int RunDump(const CommonOptions& common, const std::vector<std::string>& extra);
// check_command.cpp
void DeclareCheck(CLI::App& sub, CommonOptions& common, std::vector<std::string>& extra);
int RunCheck(const CommonOptions& common, const std::vector<std::string>& extra);
// maintenance_commands.cpp
void DeclareCompactJob(CLI::App& sub, CommonOptions& common, std::vector<std::string>& extra);
int RunCompactJob(const CommonOptions& common, const std::vector<std::string>& extra);
void DeclareRepairJob(CLI::App& sub, CommonOptions& common, std::vector<std::string>& extra);
int RunRepairJob(const CommonOptions& common, const std::vector<std::string>& extra);

const std::vector<Command>& Commands() {
  static const std::vector<Command> kCommands = {
      {"info", "format, page size, page census, free space and tables with row counts", DeclareInfo,
       RunInfo},
      {"dump", "the database's tables, columns and rows as canonical JSON, or tables as CSV",
       DeclareDump, RunDump},
      {"check",
       "verify every structure of the file; list damage and leftovers, exit 3 when there is "
       "damage",
       DeclareCheck, RunCheck},
      {"compact", "compact PATH in place, SOURCE into a new DESTINATION, or --in-place PATH...",
       DeclareCompactJob, RunCompactJob},
      {"repair",
       "repair PATH in place, SOURCE into a new DESTINATION, or --in-place PATH...; exit 4 "
       "when something could not be carried over",
       DeclareRepairJob, RunRepairJob},
  };
  return kCommands;
}

}  // namespace cli
