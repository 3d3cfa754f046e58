// quorlen-cli: the engine from the command line. Parses arguments, runs one
// command from the command table, maps the result to an exit code.
#include <CLI/CLI.hpp>

#include <cstdio>

#include "commands.h"
#include "exit_codes.h"

int main(int argc, char** argv) {
  CLI::App app{"Quorlen: reads, checks, compacts and repairs Access .mdb databases", "quorlen-cli"};
  app.set_version_flag("--version", std::string("quorlen-cli ") + QUORLEN_VERSION);
  app.require_subcommand(1);
  cli::CommonOptions common;
  std::vector<std::string> extra;
  std::vector<std::pair<CLI::App*, const cli::Command*>> subs;
  for (const cli::Command& command : cli::Commands()) {
    CLI::App* sub = app.add_subcommand(command.name, command.help);
    command.declare(*sub, common, extra);
    subs.emplace_back(sub, &command);
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int code = app.exit(e);
    return code == 0 ? cli::kExitOk : cli::kExitUsage;
  }
  for (auto& [sub, command] : subs) {
    if (sub->parsed()) return command->run(common, extra);
  }
  return cli::kExitUsage;
}
