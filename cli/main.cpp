// quorlen-cli: the engine from the command line. Parses arguments, runs one
// command from the command table, maps the result to an exit code.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstring>
#include <string>

#include "commands.h"
#include "exit_codes.h"
#include "quorlen_version.h"

int main(int argc, char** argv) {
  // Says what this build does: the commands listed below it.
  CLI::App app{
      "Quorlen: works on Microsoft Access .mdb databases (Jet 3: Access 97; Jet 4: Access "
      "2000-2003). This build has the commands listed below.",
      "quorlen-cli"};
  app.set_version_flag("--version", std::string("quorlen-cli ") + QUORLEN_VERSION_TEXT + " (" +
                                        QUORLEN_VERSION_FULL + ")");
  app.require_subcommand(1);
  app.footer(
      "Exit status: 0 done, 1 the engine refused (\"error NNNN: description\" on standard "
      "error), 2 usage error, 3 check found damage.\nErrors: 3024 no such file, 3044 invalid "
      "path, 3051 no permission, 3343 not a Jet 3 / Jet 4 database, 3049 damaged, 3031 wrong or "
      "missing password, 3043 input/output failure (reading the file or writing the output).");
  cli::CommonOptions common;
  std::vector<std::string> extra;
  std::vector<std::pair<CLI::App*, const cli::Command*>> subs;
  for (const cli::Command& command : cli::Commands()) {
    CLI::App* sub = app.add_subcommand(command.name, command.help);
    command.declare(*sub, common, extra);
    subs.emplace_back(sub, &command);
  }
  // A first word that is neither an option nor a command: name it, rather
  // than say that a command is missing.
  if (argc > 1 && argv[1][0] != '-') {
    bool known = false;
    std::string names;
    for (const cli::Command& command : cli::Commands()) {
      known = known || std::strcmp(argv[1], command.name) == 0;
      names += names.empty() ? "" : ", ";
      names += command.name;
    }
    if (!known) {
      std::fprintf(
          stderr,
          "quorlen-cli: unknown subcommand \"%s\"; the subcommands are %s (see quorlen-cli "
          "--help)\n",
          argv[1], names.c_str());
      return cli::kExitUsage;
    }
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int code = app.exit(e);
    return code == 0 ? cli::kExitOk : cli::kExitUsage;
  }
  for (auto& [sub, command] : subs) {
    if (!sub->parsed()) continue;
    if (!cli::ResolvePassword(common)) return cli::kExitUsage;
    return command->run(common, extra);
  }
  return cli::kExitUsage;
}
