// quorlen-cli compact and repair, through the same maintenance jobs as the
// desktop program:
//   compact PATH                  in place, safely (the file is replaced only
//   repair PATH                   by a complete, flushed, verified copy)
//   compact SOURCE DESTINATION    a new file; SOURCE is only read (the
//                                 engine's compaction as compact_command.cpp
//                                 runs it)
//   repair SOURCE DESTINATION     a new file, published like an in-place one
//   compact --in-place PATH...    several files, each on its own, with a
//   repair --in-place PATH...     summary at the end
// A repair takes --report FILE for its JSON list of what could not be
// carried over; without it, a report is written beside the repaired file
// only when something was lost, and an in-place repair that lost anything
// keeps the damaged original beside it ("<name>.damaged-YYYYMMDD-HHMMSS.mdb").
// A progress bar on standard error when it is a terminal; errors on standard
// error as "error NNNN: ...". Exit 0 when everything succeeded, 4 when a
// repair succeeded but lost something, 1 when anything failed.
// Ctrl-C asks the running job to stop; the file it works on stays as it was.
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "exit_codes.h"
#include "maintenance/db_engine.h"

namespace cli {

// compact_command.cpp
int CompactToNewFile(const CommonOptions& common, const std::string& destination);

namespace {

struct MaintenanceArgs {
  std::vector<std::string> paths;
  bool in_place = false;
  std::string report;
};
MaintenanceArgs g_args;

volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void OnInterrupt(int) {
  g_interrupted = 1;
}

// One line on the terminal, redrawn at most ten times a second.
class ProgressLine {
 public:
  explicit ProgressLine(bool enabled) : enabled_(enabled) {}

  bool Update(const engine::Progress& p) {
    if (g_interrupted) return false;
    if (!enabled_) return true;
    const auto now = std::chrono::steady_clock::now();
    if (drawn_ && now - last_ < std::chrono::milliseconds(100)) return true;
    last_ = now;
    constexpr uint64_t kWidth = 30;
    const uint64_t filled = p.total == 0 ? 0 : std::min(kWidth, kWidth * p.done / p.total);
    std::string bar(filled, '#');
    bar.resize(kWidth, '.');
    std::string detail = p.detail.size() > 30 ? p.detail.substr(0, 27) + "..." : p.detail;
    std::fprintf(stderr, "\r%-10.10s [%s] %-30s", p.phase.c_str(), bar.c_str(), detail.c_str());
    std::fflush(stderr);
    drawn_ = true;
    return true;
  }

  void Clear() {
    if (drawn_) std::fprintf(stderr, "\r%*s\r", 10 + 2 + 30 + 2 + 30, "");
    drawn_ = false;
  }

 private:
  bool enabled_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point last_{};
};

enum class Job { kCompact, kRepair };

const char* Done(Job job) {
  return job == Job::kCompact ? "compacted" : "repaired";
}

// How one job ended.
enum class Ending { kDone, kLosses, kFailed };

void PrintRepairSummary(const maintenance::RepairOutcome& o) {
  std::printf("  %u tables, %llu rows carried over, %llu rows and %llu values lost", o.tables,
              static_cast<unsigned long long>(o.rows), static_cast<unsigned long long>(o.rows_lost),
              static_cast<unsigned long long>(o.values_lost));
  if (o.rows_lost_estimated != 0) {
    std::printf(" (%llu of the rows estimated from stored row counts)",
                static_cast<unsigned long long>(o.rows_lost_estimated));
  }
  if (o.pages_lost != 0 || o.tables_lost != 0) {
    std::printf(", %llu pages and %llu tables unreadable",
                static_cast<unsigned long long>(o.pages_lost),
                static_cast<unsigned long long>(o.tables_lost));
  }
  std::printf("\n");
  if (!o.report.empty()) std::printf("  report: %s\n", o.report.c_str());
  if (!o.error_table.empty()) {
    std::printf("  losses listed in the table %s of the copy\n", o.error_table.c_str());
  } else if (!o.error_table_note.empty()) {
    std::printf("  %s\n", o.error_table_note.c_str());
  }
  if (!o.kept_original.empty()) {
    std::printf("  damaged original kept as: %s\n", o.kept_original.c_str());
  }
}

// Runs one job and prints its lines.
Ending RunOne(const maintenance::DBEngine& engine, Job job, const std::string& source,
              const std::string* destination, const CommonOptions& common) {
  ProgressLine line(isatty(STDERR_FILENO) != 0);
  maintenance::JobOptions options;
  options.password = common.password;
  options.report = g_args.report;
  options.progress = [&line](const engine::Progress& p) { return line.Update(p); };
  std::optional<maintenance::RepairOutcome> repaired;
  auto run = [&]() -> engine::Result<maintenance::ReplaceOutcome> {
    if (job == Job::kCompact) {
      return destination == nullptr ? engine.CompactDatabase(source, options)
                                    : engine.CompactDatabase(source, *destination, options);
    }
    auto outcome = destination == nullptr ? engine.RepairDatabase(source, options)
                                          : engine.RepairDatabase(source, *destination, options);
    if (!outcome.ok()) return outcome.error();
    repaired = outcome.value();
    return static_cast<const maintenance::ReplaceOutcome&>(outcome.value());
  };
  engine::Result<maintenance::ReplaceOutcome> outcome = run();
  if (!outcome.ok() && outcome.error().is(engine::ErrorCode::kWrongPassword) &&
      common.password.empty()) {
    line.Clear();
    if (std::optional<std::string> typed = PromptPassword(source)) {
      options.password = *typed;
      outcome = run();
    }
  }
  line.Clear();
  if (!outcome.ok()) {
    std::fprintf(stderr, "%s\n", outcome.error().ToString().c_str());
    std::fprintf(stderr, "  %s was left as it was\n", source.c_str());
    return Ending::kFailed;
  }
  const maintenance::ReplaceOutcome& o = outcome.value();
  if (destination == nullptr) {
    std::printf("%s %s: %llu -> %llu bytes\n", Done(job), source.c_str(), o.bytes_before,
                o.bytes_after);
  } else {
    std::printf("%s %s -> %s: %llu -> %llu bytes\n", Done(job), source.c_str(),
                destination->c_str(), o.bytes_before, o.bytes_after);
  }
  if (repaired) PrintRepairSummary(*repaired);
  if (std::fflush(stdout) != 0) return Ending::kFailed;
  return repaired && repaired->lost_anything ? Ending::kLosses : Ending::kDone;
}

int ExitFor(Ending ending) {
  switch (ending) {
    case Ending::kDone:
      return kExitOk;
    case Ending::kLosses:
      return kExitRepairedWithLosses;
    case Ending::kFailed:
      break;
  }
  return kExitEngineError;
}

int Run(Job job, const CommonOptions& common) {
  const std::vector<std::string>& paths = g_args.paths;
  if (paths.empty()) {
    std::fprintf(stderr, "error 3044: no database file named\n");
    return kExitUsage;
  }
  if (!g_args.in_place && paths.size() > 2) {
    std::fprintf(stderr,
                 "error 3044: give one file (in place), a source and a destination, or "
                 "--in-place with several files\n");
    return kExitUsage;
  }
  if (!g_args.report.empty() && paths.size() > 1 && g_args.in_place) {
    std::fprintf(stderr, "error 3044: --report names one file; give it for one repair only\n");
    return kExitUsage;
  }
  if (!g_args.in_place && paths.size() == 2 && job == Job::kCompact) {
    CommonOptions source = common;
    source.file = paths[0];
    return CompactToNewFile(source, paths[1]);
  }
  // Ctrl-C and SIGTERM ask the job to stop at its next progress report.
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  const maintenance::DBEngine engine;
  if (!g_args.in_place && paths.size() == 2) {
    return ExitFor(RunOne(engine, job, paths[0], &paths[1], common));
  }
  if (!g_args.in_place) return ExitFor(RunOne(engine, job, paths[0], nullptr, common));
  std::vector<std::string> failed;
  std::size_t done = 0;
  std::size_t with_losses = 0;
  for (const std::string& path : paths) {
    if (g_interrupted) {
      failed.push_back(path);
      continue;
    }
    const Ending ending = RunOne(engine, job, path, nullptr, common);
    if (ending == Ending::kFailed) {
      failed.push_back(path);
    } else {
      ++done;
      if (ending == Ending::kLosses) ++with_losses;
    }
  }
  std::printf("%zu of %zu files %s", done, paths.size(), Done(job));
  if (with_losses != 0) std::printf(" (%zu with losses)", with_losses);
  if (!failed.empty()) std::printf("; %zu failed or not done", failed.size());
  std::printf("\n");
  for (const std::string& path : failed) std::printf("  not %s: %s\n", Done(job), path.c_str());
  std::fflush(stdout);
  if (!failed.empty()) return kExitEngineError;
  return with_losses != 0 ? kExitRepairedWithLosses : kExitOk;
}

void Declare(CLI::App& sub, CommonOptions& common, const char* what) {
  sub.add_option("PATHS", g_args.paths,
                 std::string("the database to ") + what +
                     " in place, or SOURCE and DESTINATION for a new file")
      ->required();
  sub.add_flag("--in-place", g_args.in_place,
               std::string(what) + " every file named, each in place, and summarise");
  CLI::Option* given =
      sub.add_option("--password", common.password, "the database password, if it has one");
  sub.add_option("--password-file", common.password_file,
                 "read the database password from the first line of this file")
      ->excludes(given);
}

}  // namespace

void DeclareCompactJob(CLI::App& sub, CommonOptions& common, std::vector<std::string>&) {
  Declare(sub, common, "compact");
}
int RunCompactJob(const CommonOptions& common, const std::vector<std::string>&) {
  return Run(Job::kCompact, common);
}
void DeclareRepairJob(CLI::App& sub, CommonOptions& common, std::vector<std::string>&) {
  Declare(sub, common, "repair");
  sub.add_option("--report", g_args.report,
                 "write the JSON report of what could not be carried over to this new file "
                 "(default: beside the repaired file, only when something was lost)");
  sub.footer(
      "Exit status: 0 repaired with nothing lost; 4 repaired, but some rows, values, pages or "
      "tables could not be carried over (listed in the report; an in-place repair keeps the "
      "damaged original beside the file); 1 failed, the file left as it was.");
}
int RunRepairJob(const CommonOptions& common, const std::vector<std::string>&) {
  return Run(Job::kRepair, common);
}

}  // namespace cli
