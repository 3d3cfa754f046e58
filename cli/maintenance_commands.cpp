// quorlen-cli compact and repair, through the same maintenance jobs as the
// desktop program:
//   compact PATH                  in place, safely (the file is replaced only
//   repair PATH                   by a complete, flushed, verified copy)
//   compact SOURCE DESTINATION    a new file; SOURCE is only read (and held,
//   repair SOURCE DESTINATION     so no other program changes it meanwhile)
//   compact --in-place PATH...    several files and folders (--recursive:
//   repair --in-place PATH...     everything below), each file on its own,
//                                 with a summary at the end
//   compact --dry-run PATH...     what a compaction would save; nothing of
//                                 the user's is written
// Every form prints the same summary of each file (or, with --json, one
// JSON document for the whole run). A repair takes --report FILE for its
// JSON list of what could not be carried over; without it, a report is
// written beside the repaired file only when something was lost, and an
// in-place repair that lost anything keeps the original beside it
// ("<name>.damaged-YYYYMMDD-HHMMSS.mdb").
// A progress bar on standard error when it is a terminal; errors on standard
// error as "error NNNN: ...". Exit 0 when everything succeeded, 4 when a
// repair succeeded but lost something, 1 when anything failed, 130 when
// interrupted (Ctrl-C: the file being worked on stays as it was).
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "exit_codes.h"
#include "maintenance/db_engine.h"
#include "maintenance/loss_summary.h"
#include "output.h"
#include "progress_bar.h"

namespace cli {

// compact_command.cpp: the dry run of one file, as a summary line (or JSON).
struct DryRunResult {
  engine::Status status;
  nlohmann::json json;
  std::string line;
};
DryRunResult DryRun(const std::string& path, const std::string& password,
                    const engine::ProgressCallback& progress, engine::SortOrderPolicy sort_order);
engine::Result<maintenance::ReplaceOutcome> CompactToNewFile(
    const std::string& source, const std::string& destination, const std::string& password,
    const engine::ProgressCallback& progress, engine::SortOrderPolicy sort_order);

namespace {

struct MaintenanceArgs {
  std::vector<std::string> paths;
  bool in_place = false;
  bool recursive = false;
  bool dry_run = false;
  bool force = false;
  std::string report;
  std::string sort_order;  // compact: "general", or empty to keep every column's
};
MaintenanceArgs g_args;

extern "C" void OnInterrupt(int) {
  ProgressBar::stop = 1;
}

enum class Job { kCompact, kRepair };

const char* Done(Job job) {
  return job == Job::kCompact ? "compacted" : "repaired";
}
const char* Doing(Job job) {
  return job == Job::kCompact ? "compacting" : "repairing";
}

// How one job ended.
enum class Ending { kDone, kLosses, kFailed, kInterrupted };

bool IsDatabaseName(const std::string& name) {
  auto ends = [&](const char* ext) {
    const size_t n = std::char_traits<char>::length(ext);
    if (name.size() <= n) return false;
    for (size_t i = 0; i < n; ++i) {
      if (std::tolower(static_cast<unsigned char>(name[name.size() - n + i])) != ext[i]) {
        return false;
      }
    }
    return true;
  };
  if (!ends(".mdb") && !ends(".accdb")) return false;
  // What our own runs leave beside a file: the kept originals of repairs.
  return name.find(".damaged-") == std::string::npos;
}

// The databases in FOLDER (and below it with `recursive`), in byte order of
// their names; links are not followed, our private folders not entered.
void Collect(const std::string& folder, bool recursive, std::vector<std::string>& out) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) {
    out.push_back(folder);  // the error comes when it is worked on
    return;
  }
  std::vector<std::string> names;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  const std::string prefix = folder.back() == '/' ? folder : folder + "/";
  for (const std::string& name : names) {
    const std::string path = prefix + name;
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      if (recursive && name.rfind(".quorlen-tmp-", 0) != 0) Collect(path, recursive, out);
    } else if (S_ISREG(st.st_mode) && IsDatabaseName(name)) {
      out.push_back(path);
    }
  }
}

bool IsFolder(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// What one file's job tells: a line for the terminal and an object for JSON.
struct Told {
  Ending ending = Ending::kFailed;
  nlohmann::json json;
  std::vector<std::string> lines;  // stdout
};

std::string SummaryLine(Job job, const std::string& source, const std::string* destination,
                        const maintenance::ReplaceOutcome& o) {
  const engine::CompactStats& s = o.stats;
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.2f s", o.seconds);
  std::string line = std::string(Done(job)) + " " + source;
  if (destination != nullptr) line += " -> " + *destination;
  line += ": " + std::to_string(o.bytes_before) + " -> " + std::to_string(o.bytes_after) +
          " bytes, " + Count(s.pages_before, "page", "pages") + " -> " +
          Count(s.pages_after, "page", "pages") + ", " + Count(s.tables, "table", "tables") + ", " +
          Count(s.rows, "row", "rows") + ", " + Count(s.indexes, "index", "indexes") + ", " +
          Count(s.keys_reused, "index key", "index keys") + " reused from the source, " + seconds;
  if (s.rows_one_index_disagrees != 0) {
    line += "\n  " + Count(s.rows_one_index_disagrees, "row", "rows") +
            " held values one index of the source contradicts (the index or the row was "
            "damaged; the copy's indexes follow the rows); the first: " +
            s.first_disagreeing_row;
  }
  return line;
}

engine::SortOrderPolicy AskedSortOrder() {
  return g_args.sort_order == "general" ? engine::SortOrderPolicy::kGeneral
                                        : engine::SortOrderPolicy::kKeep;
}

std::string OrderText(const engine::SortOrderChange& c) {
  char order[40];
  std::snprintf(order, sizeof order, "0x%04X version %u", c.old_sort_order,
                static_cast<unsigned>(c.old_version));
  return order;
}

// The text columns the copy keys under General, a line each.
std::vector<std::string> SortOrderLines(const engine::CompactStats& s) {
  std::vector<std::string> lines;
  for (const engine::SortOrderChange& c : s.sort_order_changes) {
    lines.push_back("  column " + c.column + " of table " + c.table +
                    " is now sorted and indexed under General (was sort order " + OrderText(c) +
                    ")");
  }
  return lines;
}

nlohmann::json SortOrderJson(const engine::CompactStats& s) {
  nlohmann::json list = nlohmann::json::array();
  for (const engine::SortOrderChange& c : s.sort_order_changes) {
    list.push_back({{"table", c.table},
                    {"column", c.column},
                    {"old_sort_order", c.old_sort_order},
                    {"old_sort_order_version", c.old_version},
                    {"reason", c.reason}});
  }
  return list;
}

nlohmann::json OutcomeJson(const std::string& source, const std::string* destination,
                           const maintenance::ReplaceOutcome& o) {
  const engine::CompactStats& s = o.stats;
  return {{"file", source},
          {"destination", destination != nullptr ? nlohmann::json(*destination) : nullptr},
          {"written", o.path},
          {"bytes_before", o.bytes_before},
          {"bytes_after", o.bytes_after},
          {"pages_before", s.pages_before},
          {"pages_after", s.pages_after},
          {"tables", s.tables},
          {"rows", s.rows},
          {"indexes", s.indexes},
          {"index_entries", s.index_entries},
          {"keys_reused", s.keys_reused},
          {"sort_order_changes", SortOrderJson(s)},
          {"rows_one_index_disagrees", s.rows_one_index_disagrees},
          {"seconds", o.seconds}};
}

nlohmann::json RepairJson(const maintenance::RepairOutcome& o) {
  auto or_null = [](const std::string& s) {
    return s.empty() ? nlohmann::json() : nlohmann::json(s);
  };
  return {{"rows_lost", o.rows_lost},
          {"rows_lost_estimated", o.rows_lost_estimated},
          {"values_lost", o.values_lost},
          {"pages_lost", o.pages_lost},
          {"tables_lost", o.tables_lost},
          {"lost_anything", o.lost_anything},
          {"tables_with_losses", o.tables_with_losses},
          {"renamed_tables", o.renamed_tables},
          {"lost_tables", o.lost_tables},
          {"header_notes", o.header_notes},
          {"altered_rows", o.altered_rows},
          {"report", or_null(o.report)},
          {"kept_original", or_null(o.kept_original)},
          {"error_table", or_null(o.error_table)}};
}

// Runs one job.
Told RunOne(const maintenance::DBEngine& engine, Job job, const std::string& source,
            const std::string* destination, const CommonOptions& common) {
  Told told;
  ProgressBar bar(isatty(STDERR_FILENO) != 0 && !Quiet() && !common.json,
                  std::string(Doing(job)) + " " + source);
  maintenance::JobOptions options;
  options.password = common.password;
  options.report = g_args.report;
  options.force = g_args.force;
  if (job == Job::kCompact) options.sort_order = AskedSortOrder();
  options.progress = [&bar](const engine::Progress& p) { return bar.Update(p); };
  std::optional<maintenance::RepairOutcome> repaired;
  auto run = [&]() -> engine::Result<maintenance::ReplaceOutcome> {
    if (job == Job::kCompact) {
      return destination == nullptr ? engine.CompactDatabase(source, options)
                                    : CompactToNewFile(source, *destination, options.password,
                                                       options.progress, options.sort_order);
    }
    auto outcome = destination == nullptr ? engine.RepairDatabase(source, options)
                                          : engine.RepairDatabase(source, *destination, options);
    if (!outcome.ok()) return outcome.error();
    repaired = outcome.value();
    return static_cast<const maintenance::ReplaceOutcome&>(outcome.value());
  };
  CommonOptions asked = common;
  asked.file = source;
  engine::Result<maintenance::ReplaceOutcome> outcome = OpenWithPassword(
      asked,
      [&](const std::string& password) {
        options.password = password;
        return run();
      },
      [&bar] { bar.Clear(); });
  bar.Clear();
  if (!outcome.ok()) {
    told.json = {{"file", source},
                 {"destination", destination != nullptr ? nlohmann::json(*destination) : nullptr}};
    if (ProgressBar::stop) {
      told.ending = Ending::kInterrupted;
      const engine::Error stopped(engine::ErrorCode::kInvalidArgument,
                                  "interrupted; " + source + " was left as it was");
      PrintError(stopped);
      told.json["error"] = ErrorJson(stopped);
      return told;
    }
    const engine::Error& e = outcome.error();
    std::string hint;
    if (e.is(engine::ErrorCode::kNoPermission) && !g_args.force &&
        (e.description().find("read-only") != std::string::npos ||
         e.description().find("hard links") != std::string::npos ||
         e.description().find("belongs to") != std::string::npos)) {
      hint = " (--force replaces it all the same)";
    }
    PrintError(engine::Error(e.number(), e.description() + hint), source);
    told.json["error"] = ErrorJson(e);
    told.ending = Ending::kFailed;
    return told;
  }
  const maintenance::ReplaceOutcome& o = outcome.value();
  told.json = OutcomeJson(source, destination, o);
  told.lines.push_back(SummaryLine(job, source, destination, o));
  for (std::string& line : SortOrderLines(o.stats)) told.lines.push_back(std::move(line));
  told.ending = Ending::kDone;
  if (repaired) {
    told.json["repair"] = RepairJson(*repaired);
    for (const maintenance::SummaryLine& line : maintenance::LossSummaryLines(*repaired)) {
      told.lines.push_back("  " + line.text + (line.path.empty() ? "" : " " + line.path));
    }
    if (repaired->lost_anything) told.ending = Ending::kLosses;
  }
  return told;
}

Told RunDry(const std::string& path, const CommonOptions& common) {
  Told told;
  ProgressBar bar(isatty(STDERR_FILENO) != 0 && !Quiet() && !common.json, "measuring " + path);
  auto progress = [&bar](const engine::Progress& p) { return bar.Update(p); };
  CommonOptions asked = common;
  asked.file = path;
  DryRunResult r;
  OpenWithPassword(
      asked,
      [&](const std::string& password) -> engine::Result<bool> {
        r = DryRun(path, password, progress, AskedSortOrder());
        if (!r.status.ok()) return r.status.error();
        return true;
      },
      [&bar] { bar.Clear(); });
  bar.Clear();
  if (!r.status.ok()) {
    told.json = {{"file", path}};
    if (ProgressBar::stop) {
      const engine::Error stopped(engine::ErrorCode::kInvalidArgument, "interrupted");
      PrintError(stopped, path);
      told.json["error"] = ErrorJson(stopped);
      told.ending = Ending::kInterrupted;
      return told;
    }
    PrintError(r.status.error(), path);
    told.json["error"] = ErrorJson(r.status.error());
    return told;
  }
  told.json = r.json;
  told.lines.push_back(r.line);
  told.ending = Ending::kDone;
  return told;
}

int ExitFor(Ending ending) {
  switch (ending) {
    case Ending::kDone:
      return kExitOk;
    case Ending::kLosses:
      return kExitRepairedWithLosses;
    case Ending::kInterrupted:
      return kExitInterrupted;
    case Ending::kFailed:
      break;
  }
  return kExitEngineError;
}

// Prints what a job tells; a summary that cannot be written after a job
// that worked is only a warning: the file, the product, is there.
void Tell(const std::vector<std::string>& lines) {
  if (Quiet() || lines.empty()) return;
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  if (!WriteOut(text)) PrintWarning("the summary could not be written to standard output");
}

int Run(Job job, const CommonOptions& common) {
  const std::string command = job == Job::kCompact ? "compact" : "repair";
  const std::vector<std::string>& given = g_args.paths;
  const bool json = common.json;
  if (given.empty()) return UsageError("no database file named", command, json);
  const bool batch = g_args.in_place || g_args.dry_run;
  if (!batch && given.size() > 2) {
    return UsageError(
        "give one file (in place), a source and a destination, or --in-place with several files",
        command, json);
  }
  if (g_args.recursive && !batch) {
    return UsageError("--recursive goes with --in-place (or --dry-run)", command, json);
  }
  if (!g_args.report.empty() && g_args.in_place && (given.size() > 1 || IsFolder(given.front()))) {
    return UsageError("--report names one file; give it for one repair only", command, json);
  }
  if (!batch && IsFolder(given.front())) {
    return UsageError(
        given.front() + " is a folder: give --in-place to " + command + " every database in it",
        command, json);
  }
  // Ctrl-C and SIGTERM ask the job to stop at its next progress report.
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  const maintenance::DBEngine engine;
  nlohmann::json document = {{"format_version", kJsonFormatVersion},
                             {"command", g_args.dry_run ? "compact --dry-run" : command}};
  auto finish = [&](int code) {
    if (json && !WriteOut(JsonText(document))) {
      PrintWarning("the JSON summary could not be written to standard output");
    }
    return code;
  };
  if (!batch) {
    const std::string* destination = given.size() == 2 ? &given[1] : nullptr;
    Told told = RunOne(engine, job, given[0], destination, common);
    document["files"] = nlohmann::json::array({told.json});
    if (!json) Tell(told.lines);
    return finish(ExitFor(told.ending));
  }
  std::vector<std::string> paths;
  for (const std::string& path : given) {
    if (IsFolder(path)) {
      Collect(path, g_args.recursive, paths);
    } else {
      paths.push_back(path);
    }
  }
  std::vector<std::string> failed;
  std::size_t done = 0;
  std::size_t with_losses = 0;
  bool interrupted = false;
  document["files"] = nlohmann::json::array();
  for (const std::string& path : paths) {
    if (ProgressBar::stop) {
      interrupted = true;
      failed.push_back(path);
      continue;
    }
    Told told = g_args.dry_run ? RunDry(path, common) : RunOne(engine, job, path, nullptr, common);
    document["files"].push_back(told.json);
    if (!json) Tell(told.lines);
    if (told.ending == Ending::kInterrupted) interrupted = true;
    if (told.ending == Ending::kFailed || told.ending == Ending::kInterrupted) {
      failed.push_back(path);
    } else {
      ++done;
      if (told.ending == Ending::kLosses) ++with_losses;
    }
  }
  const char* verb = g_args.dry_run ? "measured" : Done(job);
  std::string text =
      std::to_string(done) + " of " + Count(paths.size(), "file", "files") + " " + verb;
  if (with_losses != 0) text += " (" + std::to_string(with_losses) + " with losses)";
  if (!failed.empty()) text += "; " + std::to_string(failed.size()) + " failed or not done";
  std::vector<std::string> lines{text};
  for (const std::string& path : failed)
    lines.push_back(std::string("  not ") + verb + ": " + path);
  if (!json) Tell(lines);
  document["done"] = done;
  document["failed"] = failed.size();
  document["with_losses"] = with_losses;
  if (interrupted) return finish(kExitInterrupted);
  if (!failed.empty()) return finish(kExitEngineError);
  return finish(with_losses != 0 ? kExitRepairedWithLosses : kExitOk);
}

void Declare(CLI::App& sub, CommonOptions& common, const char* what) {
  sub.add_option("PATHS", g_args.paths,
                 std::string("the database to ") + what +
                     " in place, or SOURCE and DESTINATION for a new file; with --in-place, "
                     "files and folders");
  sub.add_flag("--in-place", g_args.in_place,
               std::string(what) +
                   " every file named, and every .mdb / .accdb file in every folder named, "
                   "each in place; then summarise");
  sub.add_flag("-r,--recursive", g_args.recursive,
               "with --in-place: folders with everything below them (in name order; symbolic "
               "links are not followed)");
  sub.add_flag("--force", g_args.force,
               "replace a read-only file, a file with other hard links (they keep the old "
               "contents), or a file whose owner or group the copy cannot keep (it becomes "
               "yours)");
  sub.add_flag("--json", common.json,
               "print one JSON document for the whole run instead of the summary lines");
  DeclarePassword(sub, common);
}

}  // namespace

void DeclareCompactJob(CLI::App& sub, CommonOptions& common, std::vector<std::string>&) {
  Declare(sub, common, "compact");
  sub.add_flag("--dry-run", g_args.dry_run,
               "for every file (and folder) named: how much a compaction would save, without "
               "changing anything");
  sub.add_option("--sort-order", g_args.sort_order,
                 "general: sort and index every text column under General (the copy's column "
                 "definitions say so), also where the encoder has no codes for the column's own "
                 "sort order; the summary lists the columns that changed")
      ->check(CLI::IsMember({"general"}));
  sub.footer(std::string(kPasswordNote) +
             "\nThe summary of each file: bytes and pages before and after, tables, rows, "
             "indexes rebuilt, index keys reused (taken over from the source's index entries "
             "instead of computed anew) and the time taken."
             "\nExit status: 0 compacted, 1 failed (\"error NNNN: description\"; the file left "
             "as it was), 2 usage error, 130 interrupted.");
}
int RunCompactJob(const CommonOptions& common, const std::vector<std::string>&) {
  return Run(Job::kCompact, common);
}
void DeclareRepairJob(CLI::App& sub, CommonOptions& common, std::vector<std::string>&) {
  Declare(sub, common, "repair");
  sub.add_option("--report", g_args.report,
                 "write the JSON report of what could not be carried over to this new file "
                 "(default: beside the repaired file, only when something was lost)");
  sub.footer(std::string(kPasswordNote) +
             "\nExit status: 0 repaired with nothing lost; 4 repaired, but some rows, values, "
             "pages or tables could not be carried over (listed in the report; an in-place "
             "repair keeps the original beside the file); 1 failed, the file left as it was; 2 "
             "usage error; 130 interrupted.");
}
int RunRepairJob(const CommonOptions& common, const std::vector<std::string>&) {
  return Run(Job::kRepair, common);
}

}  // namespace cli
