// quorlen-cli: the engine from the command line. Parses arguments, runs one
// command from the command table, maps the result to an exit code.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstring>
#include <string>

#include "commands.h"
#include "exit_codes.h"
#include "output.h"
#include "quorlen_version.h"

namespace {

const char kExitStatus[] =
    "Exit status: 0 done, 1 the engine refused (\"error NNNN: description\" on standard "
    "error), 2 usage error, 3 check found damage, 4 repair wrote its copy but could not carry "
    "everything over (see its report), 130 interrupted (Ctrl-C).";
const char kErrors[] =
    "Errors: 3024 no such file, 3044 invalid path, 3051 no permission (or a read-only file), "
    "3343 not a database this build reads, 3049 damaged, "
    "3031 wrong or missing password, 3043 "
    "input/output failure (reading the file or writing the output), 3026 disk full, 3204 the "
    "destination exists, 3356 the database is held open by another process, 3001 interrupted.";

// Whether ARG names an option of SUB (or of the program, whose -q and -v
// may follow the command).
bool KnownOption(CLI::App& app, CLI::App& sub, const std::string& arg) {
  const std::string name = arg.substr(0, arg.find('='));
  if (sub.get_option_no_throw(name) != nullptr || app.get_option_no_throw(name) != nullptr) {
    return true;
  }
  // A cluster of one-letter flags ("-qv").
  if (name.size() > 2 && name[0] == '-' && name[1] != '-') {
    for (size_t i = 1; i < name.size(); ++i) {
      const std::string one = std::string("-") + name[i];
      const CLI::Option* o = sub.get_option_no_throw(one);
      if (o == nullptr) o = app.get_option_no_throw(one);
      if (o == nullptr || o->get_expected_min() != 0) return false;
    }
    return true;
  }
  return false;
}

const CLI::Option* FindOption(CLI::App& app, CLI::App& sub, const std::string& name) {
  const CLI::Option* o = sub.get_option_no_throw(name);
  return o != nullptr ? o : app.get_option_no_throw(name);
}

// Names what CLI11 would describe less well: an unknown option ("info
// -dash.mdb" would say that FILE is missing), an option given an empty
// value with "=" (which would take the next word as its value). Returns the
// message, or empty when the arguments look right.
std::string CheckArguments(CLI::App& app, CLI::App* sub, int argc, char** argv, int first) {
  for (int i = first; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") break;
    if (arg.size() < 2 || arg[0] != '-') continue;
    if (sub == nullptr) {
      if (app.get_option_no_throw(arg.substr(0, arg.find('='))) == nullptr) {
        return "unknown option \"" + arg + "\"";
      }
      continue;
    }
    if (!KnownOption(app, *sub, arg)) {
      return "unknown option \"" + arg + "\" (a file whose name begins with \"-\" is written ./" +
             arg + " or after --)";
    }
    const std::string::size_type eq = arg.find('=');
    if (eq != std::string::npos && eq + 1 == arg.size()) {
      return "the option " + arg.substr(0, eq) + " was given an empty value";
    }
    // An option that takes a value and is followed by nothing.
    const CLI::Option* o = FindOption(app, *sub, arg);
    if (eq == std::string::npos && o != nullptr && o->get_expected_min() > 0 && i + 1 >= argc) {
      return "the option " + arg + " needs a value";
    }
    if (eq == std::string::npos && o != nullptr && o->get_expected_min() > 0) ++i;
  }
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  // Says what this build does: the commands listed below it.
  CLI::App app{
      "Quorlen: works on Microsoft Access databases: .mdb (Jet 3: Access 97; Jet 4: Access "
      "2000-2003) and .accdb (ACE: Access 2007-2019). This "
      "build "
      "has the commands listed below.",
      "quorlen-cli"};
  app.set_version_flag("-V,--version", std::string("quorlen-cli ") + QUORLEN_VERSION_FULL);
  app.require_subcommand(1);
  app.fallthrough();
  app.footer(std::string(kExitStatus) + "\n" + kErrors +
             "\n'quorlen-cli help COMMAND' (or COMMAND --help) tells more of one command.");
  bool quiet = false;
  bool verbose = false;
  app.add_flag("-q,--quiet", quiet, "print nothing but errors (and what the command produces)");
  app.add_flag("-v,--verbose", verbose, "tell more: each phase of a job as it starts")
      ->excludes(app.get_option("--quiet"));
  cli::CommonOptions common;
  std::vector<std::string> extra;
  std::vector<std::pair<CLI::App*, const cli::Command*>> subs;
  for (const cli::Command& command : cli::Commands()) {
    CLI::App* sub = app.add_subcommand(command.name, command.help);
    command.declare(*sub, common, extra);
    subs.emplace_back(sub, &command);
  }
  std::string help_topic;
  CLI::App* help = app.add_subcommand("help", "the help of quorlen-cli, or of one command");
  help->add_option("COMMAND", help_topic, "the command to tell about");
  help->footer("");

  // The first word that is not an option: the command. One that is
  // unknown is named, rather than said to be missing.
  int command_at = 0;
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] != '-' || std::strcmp(argv[i], "-") == 0) {
      command_at = i;
      break;
    }
  }
  CLI::App* chosen = nullptr;
  if (command_at != 0) {
    std::string names;
    for (auto& [sub, command] : subs) {
      if (std::strcmp(argv[command_at], command->name) == 0) chosen = sub;
      names += names.empty() ? "" : ", ";
      names += command->name;
    }
    if (std::strcmp(argv[command_at], "help") == 0) chosen = help;
    if (chosen == nullptr) {
      std::fprintf(
          stderr,
          "quorlen-cli: unknown subcommand \"%s\"; the subcommands are %s, help (see quorlen-cli "
          "--help)\n",
          argv[command_at], names.c_str());
      return cli::kExitUsage;
    }
  }
  const bool wants_json = [&] {
    for (int i = command_at + 1; command_at != 0 && i < argc; ++i) {
      if (std::strcmp(argv[i], "--") == 0) break;
      if (std::strcmp(argv[i], "--json") == 0) return true;
    }
    return false;
  }();
  const std::string command_name = chosen != nullptr ? chosen->get_name() : std::string();
  if (std::string bad = CheckArguments(app, nullptr, command_at == 0 ? argc : command_at, argv, 1);
      !bad.empty()) {
    return cli::UsageError(bad);
  }
  if (chosen != nullptr) {
    if (std::string bad = CheckArguments(app, chosen, argc, argv, command_at + 1); !bad.empty()) {
      return cli::UsageError(bad, command_name, wants_json);
    }
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e) == 0 ? cli::kExitOk : cli::kExitUsage;
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e) == 0 ? cli::kExitOk : cli::kExitUsage;
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e) == 0 ? cli::kExitOk : cli::kExitUsage;
  } catch (const CLI::ParseError& e) {
    if (command_at == 0 && e.get_name() == "RequiredError") {
      return cli::UsageError("a command is required: info, dump, check, compact, repair or help");
    }
    return cli::UsageError(e.what(), command_name, wants_json);
  }
  cli::verbosity() = quiet     ? cli::Verbosity::kQuiet
                     : verbose ? cli::Verbosity::kVerbose
                               : cli::Verbosity::kNormal;
  if (help->parsed()) {
    if (help_topic.empty()) {
      std::fputs(app.help().c_str(), stdout);
      return cli::kExitOk;
    }
    CLI::App* topic = nullptr;
    for (auto& [sub, command] : subs) {
      if (help_topic == command->name) topic = sub;
    }
    if (topic == nullptr) return cli::UsageError("no command \"" + help_topic + "\"", "help");
    std::fputs(topic->help(app.get_name()).c_str(), stdout);
    return cli::kExitOk;
  }
  for (auto& [sub, command] : subs) {
    if (!sub->parsed()) continue;
    if (std::string bad = cli::ResolvePassword(common); !bad.empty()) {
      return cli::UsageError(bad, command->name, common.json);
    }
    return command->run(common, extra);
  }
  return cli::kExitUsage;
}
