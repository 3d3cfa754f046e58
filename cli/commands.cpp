#include "commands.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string_view>

#include "engine/database.h"
#include "engine/dump.h"
#include "exit_codes.h"

namespace cli {
namespace {

int ReportError(const engine::Error& error) {
  std::fprintf(stderr, "%s\n", error.ToString().c_str());
  return kExitEngineError;
}

void DeclareFile(CLI::App& sub, CommonOptions& common, std::vector<std::string>&) {
  sub.add_option("FILE", common.file, "the database file (.mdb)")->required();
  sub.add_option("--password", common.password, "the database password, if it has one");
}

engine::Result<std::unique_ptr<engine::Database>> OpenDatabase(const CommonOptions& common) {
  return engine::Database::Open(common.file, engine::OpenOptions{.password = common.password});
}

int RunInfo(const CommonOptions& common, const std::vector<std::string>&) {
  auto db = OpenDatabase(common);
  if (!db.ok()) return ReportError(db.error());
  auto summary = engine::Summarize(*db.value());
  if (!summary.ok()) return ReportError(summary.error());
  const engine::DatabaseSummary& s = summary.value();
  const engine::DatabaseHeader& h = db.value()->header();
  std::printf("file:        %s\n", common.file.c_str());
  std::printf("format:      %s (%s)\n", s.version == engine::JetVersion::kJet3 ? "jet3" : "jet4",
              s.version == engine::JetVersion::kJet3 ? "Access 97" : "Access 2000-2003");
  std::printf("page size:   %u\n", s.page_size);
  std::printf("pages:       %u\n", s.page_count);
  if (db.value()->pager().trailing_bytes() != 0) {
    std::printf("warning:     %u bytes after the last whole page are ignored\n",
                db.value()->pager().trailing_bytes());
  }
  if (s.version == engine::JetVersion::kJet4) {
    std::string created;
    engine::FormatDateTime(h.creation_date, created);
    std::printf("created:     %s\n", created.c_str());
  }
  std::printf("code page:   %u\n", h.code_page);
  std::printf("sort order:  0x%04X\n", h.sort_order);
  std::printf("encoded:     %s\n", h.database_key != 0 ? "yes" : "no");
  std::printf("password:    %s\n", h.password.empty() ? "no" : "yes");
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
  for (const auto& t : s.tables) {
    if (t.error) {
      std::printf("  %-40s unreadable%s\n", t.name.c_str(), t.system ? "  (system)" : "");
      if (!first_error) first_error = &*t.error;
      continue;
    }
    std::printf("  %-40s %8llu rows%s\n", t.name.c_str(), static_cast<unsigned long long>(t.rows),
                t.system ? "  (system)" : "");
  }
  std::fflush(stdout);
  // Everything readable was shown; a table that was not makes it an error.
  if (first_error) return ReportError(*first_error);
  return kExitOk;
}

int RunDump(const CommonOptions& common, const std::vector<std::string>&) {
  auto db = OpenDatabase(common);
  if (!db.ok()) return ReportError(db.error());
  engine::Status st = engine::WriteDump(*db.value(), [](std::string_view chunk) {
    return std::fwrite(chunk.data(), 1, chunk.size(), stdout) == chunk.size();
  });
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
      {"check", "verify every structure of the file; exit 3 when problems are found", DeclareCheck,
       RunCheck},
      {"compact", "compact PATH in place, SOURCE into a new DESTINATION, or --in-place PATH...",
       DeclareCompactJob, RunCompactJob},
      {"repair", "repair PATH in place, SOURCE into a new DESTINATION, or --in-place PATH...",
       DeclareRepairJob, RunRepairJob},
  };
  return kCommands;
}

}  // namespace cli
