#include "commands.h"

#include <CLI/CLI.hpp>

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string_view>

#include "engine/database.h"
#include "engine/dump.h"
#include "engine/values.h"
#include "exit_codes.h"
#include "output.h"
#include "text_width.h"

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

namespace {

const std::string* g_file = nullptr;  // the file of the running command, for its errors

int ReportError(const engine::Error& error) {
  return PrintError(error, g_file != nullptr ? *g_file : std::string());
}

void DeclareFile(CLI::App& sub, CommonOptions& common, std::vector<std::string>&) {
  DeclareFileAndPassword(sub, common);
  sub.footer(std::string(kPasswordNote) +
             "\nExit status: 0 done, 1 error (\"error NNNN: description\"; also when the output "
             "cannot be written), 2 usage error.");
}

int RunInfo(const CommonOptions& common, const std::vector<std::string>&) {
  g_file = &common.file;
  auto summary = OpenWithPassword(common, [&](const std::string& password) {
    return engine::Summarize(common.file, engine::OpenOptions{.password = password});
  });
  if (!summary.ok()) return ReportError(summary.error());
  const engine::DatabaseSummary& s = summary.value();
  std::printf("file:        %s\n", common.file.c_str());
  std::printf("format:      %s (%s)\n", s.version == engine::JetVersion::kJet3 ? "jet3" : "jet4",
              s.version == engine::JetVersion::kJet3 ? "Access 97" : "Access 2000-2003");
  std::printf("page size:   %u\n", s.page_size);
  std::printf("pages:       %u\n", s.page_count);
  if (s.trailing_bytes != 0) {
    std::printf("warning:     %u bytes after the last whole page are ignored\n", s.trailing_bytes);
  }
  if (s.version == engine::JetVersion::kJet4) {
    std::string created;
    engine::FormatDateTime(s.creation_date, created);
    std::printf("created:     %s\n", created.c_str());
  }
  std::printf("code page:   %u\n", s.code_page);
  std::printf("sort order:  0x%04X\n", s.sort_order);
  std::printf("encoded:     %s\n", s.encoded ? "yes" : "no");
  std::printf("password:    %s\n", s.has_password ? "yes" : "no");
  std::printf("page types:\n");
  for (const auto& [type, count] : s.page_types) {
    std::string_view name = engine::PageTypeName(type);
    std::printf("  0x%02X %-20.*s %u\n", type, static_cast<int>(name.size()), name.data(), count);
  }
  std::printf("free pages:  %u (%llu bytes)\n", s.free_pages,
              static_cast<unsigned long long>(s.free_pages) * s.page_size);
  std::printf("free bytes on data pages in use: %llu\n",
              static_cast<unsigned long long>(s.data_free_bytes));
  std::printf("tables:      %zu\n", s.tables.size());
  const engine::Error* first_error = nullptr;
  // Names are padded by the columns they take on a terminal, not by bytes.
  for (const auto& t : s.tables) {
    const std::string name = PadToWidth(t.name, 40);
    if (t.error) {
      std::printf("  %s unreadable%s\n", name.c_str(), t.system ? "  (system)" : "");
      if (!first_error) first_error = &*t.error;
      continue;
    }
    std::string unit = t.rows == 1 ? "row" : "rows";
    if (t.system) unit += t.rows == 1 ? "   (system)" : "  (system)";
    std::printf("  %s %8llu %s\n", name.c_str(), static_cast<unsigned long long>(t.rows),
                unit.c_str());
  }
  if (!s.linked_tables.empty()) {
    std::printf("linked tables: %zu\n", s.linked_tables.size());
    for (const engine::LinkedTableSummary& t : s.linked_tables) {
      std::printf("  %-40s -> %s\n", t.name.c_str(), t.target.c_str());
    }
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    return ReportError(
        engine::Error(engine::ErrorCode::kIoError, "cannot write to standard output"));
  }
  // Everything readable was shown; a table that was not makes it an error.
  if (first_error) return ReportError(*first_error);
  return kExitOk;
}

int RunDump(const CommonOptions& common, const std::vector<std::string>&) {
  g_file = &common.file;
  auto write = [](std::string_view chunk) {
    return std::fwrite(chunk.data(), 1, chunk.size(), stdout) == chunk.size();
  };
  // A password asked for at the prompt needs a second open: nothing is
  // written before the file has opened.
  auto opened = OpenWithPassword(common, [&](const std::string& password) -> engine::Result<bool> {
    engine::Status st =
        engine::WriteDump(common.file, engine::OpenOptions{.password = password}, write);
    if (!st.ok()) return st.error();
    return true;
  });
  engine::Status st = opened.ok() ? engine::Status::Ok() : engine::Status(opened.error());
  if (st.ok() && std::fflush(stdout) != 0) {
    st = engine::Error(engine::ErrorCode::kIoError, "cannot write the dump to standard output");
  }
  if (!st.ok()) return ReportError(st.error());
  return kExitOk;
}

}  // namespace

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
      {"info", "format, page size, page census, free space and tables with row counts", DeclareFile,
       RunInfo},
      {"dump", "the database's tables, columns and rows as canonical JSON", DeclareFile, RunDump},
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
