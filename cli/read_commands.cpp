// quorlen-cli info and dump: what the engine's summary and dump give, as
// text, JSON or CSV.
//
//   info FILE [--json]
//   dump FILE [--table NAME]... [--format json|csv] [--output-dir DIR]
//
// info --json prints {"format_version": 1, "file", "format", "page_size",
// "page_count", "trailing_bytes", "created" (Jet 4), "code_page",
// "sort_order", "encoded", "password", "page_types": [{"type", "name",
// "count"}], "free_pages", "free_page_bytes", "data_free_bytes", "tables":
// [{"name", "system", "rows" | "error"}], "linked_tables": [{"name",
// "target"}]}; when the file cannot be read, {"format_version", "file",
// "error"}.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "commands.h"
#include "engine/database.h"
#include "engine/dump.h"
#include "engine/values.h"
#include "exit_codes.h"
#include "output.h"
#include "text_width.h"

namespace cli {

namespace {

struct ReadArgs {
  std::vector<std::string> tables;
  std::string format = "json";
  std::string output_dir;
};
ReadArgs g_read;

const char kExitStatus[] =
    "\nExit status: 0 done, 1 error (\"error NNNN: description\"; also when the output cannot "
    "be written), 2 usage error.";

nlohmann::json SummaryJson(const std::string& file, const engine::DatabaseSummary& s) {
  nlohmann::json page_types = nlohmann::json::array();
  for (const auto& [type, count] : s.page_types) {
    page_types.push_back(
        {{"type", type}, {"name", std::string(engine::PageTypeName(type))}, {"count", count}});
  }
  nlohmann::json tables = nlohmann::json::array();
  for (const engine::TableSummary& t : s.tables) {
    nlohmann::json j = {{"name", t.name}, {"system", t.system}};
    if (t.error) {
      j["error"] = ErrorJson(*t.error);
    } else {
      j["rows"] = t.rows;
    }
    tables.push_back(std::move(j));
  }
  nlohmann::json linked = nlohmann::json::array();
  for (const engine::LinkedTableSummary& t : s.linked_tables) {
    linked.push_back({{"name", t.name}, {"target", t.target}});
  }
  nlohmann::json out = {{"format_version", kJsonFormatVersion},
                        {"file", file},
                        {"format", engine::FileFormatName(s.format)},
                        {"page_size", s.page_size},
                        {"page_count", s.page_count},
                        {"trailing_bytes", s.trailing_bytes},
                        {"code_page", s.code_page},
                        {"sort_order", s.sort_order},
                        {"encoded", s.encoded},
                        {"password", s.has_password},
                        {"page_types", std::move(page_types)},
                        {"free_pages", s.free_pages},
                        {"free_page_bytes", static_cast<uint64_t>(s.free_pages) * s.page_size},
                        {"data_free_bytes", s.data_free_bytes},
                        {"tables", std::move(tables)},
                        {"linked_tables", std::move(linked)}};
  if (s.version == engine::JetVersion::kJet4) {
    std::string created;
    engine::FormatDateTime(s.creation_date, created);
    out["created"] = created;
  } else {
    out["created"] = nullptr;
  }
  return out;
}

std::string SummaryText(const std::string& file, const engine::DatabaseSummary& s) {
  std::string out;
  char line[512];
  auto add = [&](const char* format, auto... values) {
    std::snprintf(line, sizeof line, format, values...);
    out += line;
  };
  out += "file:        " + file + "\n";
  add("format:      %s (%s)\n", std::string(engine::FileFormatName(s.format)).c_str(),
      std::string(engine::FileFormatProduct(s.format)).c_str());
  add("page size:   %u\n", s.page_size);
  add("pages:       %u\n", s.page_count);
  if (s.trailing_bytes != 0) {
    add("warning:     %u bytes after the last whole page are ignored\n", s.trailing_bytes);
  }
  if (s.version == engine::JetVersion::kJet4) {
    std::string created;
    engine::FormatDateTime(s.creation_date, created);
    out += "created:     " + created + "\n";
  }
  add("code page:   %u\n", s.code_page);
  add("sort order:  0x%04X\n", s.sort_order);
  out += std::string("encoded:     ") + (s.encoded ? "yes" : "no") + "\n";
  out += std::string("password:    ") + (s.has_password ? "yes" : "no") + "\n";
  out += "page types:\n";
  for (const auto& [type, count] : s.page_types) {
    std::string_view name = engine::PageTypeName(type);
    add("  0x%02X %-20.*s %u\n", type, static_cast<int>(name.size()), name.data(), count);
  }
  add("free pages:  %u (%llu bytes)\n", s.free_pages,
      static_cast<unsigned long long>(s.free_pages) * s.page_size);
  add("free bytes on data pages in use: %llu\n",
      static_cast<unsigned long long>(s.data_free_bytes));
  add("tables:      %zu\n", s.tables.size());
  // Names are padded by the columns they take on a terminal, not by bytes.
  for (const auto& t : s.tables) {
    const std::string name = PadToWidth(t.name, 40);
    if (t.error) {
      out += "  " + name + " unreadable" + (t.system ? "  (system)" : "") + "\n";
      continue;
    }
    std::string unit = t.rows == 1 ? "row" : "rows";
    if (t.system) unit += t.rows == 1 ? "   (system)" : "  (system)";
    add("  %s %8llu %s\n", name.c_str(), static_cast<unsigned long long>(t.rows), unit.c_str());
  }
  if (!s.linked_tables.empty()) {
    add("linked tables: %zu\n", s.linked_tables.size());
    for (const engine::LinkedTableSummary& t : s.linked_tables) {
      out += "  " + PadToWidth(t.name, 40) + " -> " + t.target + "\n";
    }
  }
  return out;
}

// A table's name as a file name: no "/" (nor NUL), not hidden, not "." or
// "..".
std::string FileNameFor(const std::string& table) {
  std::string name;
  for (char ch : table) name.push_back(ch == '/' || ch == '\0' ? '_' : ch);
  if (name.empty() || name[0] == '.') name.insert(name.begin(), '_');
  return name;
}

int DumpToFolder(const CommonOptions& common) {
  const std::string& dir = g_read.output_dir;
  if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) {
    return PrintError(engine::Error(
        errno == ENOENT ? engine::ErrorCode::kFileNotFound : engine::ErrorCode::kNoPermission,
        "cannot create the folder " + dir + ": " + std::strerror(errno)));
  }
  struct stat folder {};
  if (stat(dir.c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode)) {
    return PrintError(engine::Error(engine::ErrorCode::kInvalidPath, dir + " is not a folder"));
  }
  std::set<std::string> used;  // names given out, in lower case
  int fd = -1;
  std::string current;
  engine::CsvSinks sinks;
  sinks.open = [&](const std::string& table) -> engine::Result<engine::CsvSinks::Write> {
    std::string base = FileNameFor(table);
    std::string name = base + ".csv";
    auto lower = [](std::string s) {
      for (char& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
      return s;
    };
    for (int n = 2; used.count(lower(name)); ++n) name = base + " (" + std::to_string(n) + ").csv";
    used.insert(lower(name));
    current = (dir.back() == '/' ? dir : dir + "/") + name;
    fd = open(current.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) {
      const int err = errno;
      if (err == EEXIST) {
        return engine::Error(engine::ErrorCode::kDatabaseExists,
                             current + " already exists; it was left alone");
      }
      return engine::Error(engine::ErrorCode::kIoError,
                           "cannot create " + current + ": " + std::strerror(err));
    }
    return engine::CsvSinks::Write([&fd](std::string_view chunk) {
      while (!chunk.empty()) {
        const ssize_t n = write(fd, chunk.data(), chunk.size());
        if (n <= 0) return false;
        chunk.remove_prefix(static_cast<size_t>(n));
      }
      return true;
    });
  };
  sinks.finished = [&](const std::string& table, const engine::Status& written) -> engine::Status {
    const bool closed = close(fd) == 0;
    fd = -1;
    if (!written.ok() || !closed) {
      unlink(current.c_str());
      if (written.ok()) {
        return engine::Error(engine::ErrorCode::kIoError, "cannot write " + current);
      }
      PrintError(written.error(), common.file);
      return engine::Status::Ok();
    }
    if (Verbose()) std::fprintf(stderr, "%s -> %s\n", table.c_str(), current.c_str());
    return engine::Status::Ok();
  };
  auto done = OpenWithPassword(common, [&](const std::string& password) -> engine::Result<bool> {
    engine::Status st = engine::WriteCsvTables(
        common.file, engine::OpenOptions{.password = password}, g_read.tables, sinks);
    if (!st.ok()) return st.error();
    return true;
  });
  if (!done.ok()) {
    // A table that could not be read was reported as it was met.
    if (done.error().is(engine::ErrorCode::kDamaged)) return kExitEngineError;
    return PrintError(done.error(), common.file);
  }
  return kExitOk;
}

}  // namespace

void DeclareInfo(CLI::App& sub, CommonOptions& common, std::vector<std::string>&) {
  DeclareFileAndPassword(sub, common);
  sub.add_flag("--json", common.json, "print one JSON document instead of text");
  sub.footer(std::string(kPasswordNote) + kExitStatus);
}

int RunInfo(const CommonOptions& common, const std::vector<std::string>&) {
  auto summary = OpenWithPassword(common, [&](const std::string& password) {
    return engine::Summarize(common.file, engine::OpenOptions{.password = password});
  });
  if (!summary.ok()) {
    PrintError(summary.error(), common.file);
    if (common.json) {
      WriteOut(JsonText({{"format_version", kJsonFormatVersion},
                         {"file", common.file},
                         {"error", ErrorJson(summary.error())}}));
    }
    return kExitEngineError;
  }
  const engine::DatabaseSummary& s = summary.value();
  const std::string text =
      common.json ? JsonText(SummaryJson(common.file, s)) : SummaryText(common.file, s);
  if (!WriteOut(text)) {
    return PrintError(engine::Error(engine::ErrorCode::kIoError, "cannot write to standard output"),
                      common.file);
  }
  // Everything readable was shown; a table that was not makes it an error.
  for (const engine::TableSummary& t : s.tables) {
    if (t.error) return PrintError(*t.error, common.file);
  }
  return kExitOk;
}

void DeclareDump(CLI::App& sub, CommonOptions& common, std::vector<std::string>&) {
  DeclareFileAndPassword(sub, common);
  sub.add_option("--table", g_read.tables,
                 "only this table (give it again for more; letter case may differ)");
  sub.add_option("--format", g_read.format,
                 "json (the canonical dump, the default) or csv (RFC 4180: one table, or one file "
                 "per table with --output-dir)")
      ->check(CLI::IsMember({"json", "csv"}));
  sub.add_option("--output-dir", g_read.output_dir,
                 "with --format csv: write each table to DIR/TABLE.csv (every table but the "
                 "system ones, unless --table names them); existing files are left alone (3204)");
  sub.footer(std::string(kPasswordNote) + kExitStatus);
}

int RunDump(const CommonOptions& common, const std::vector<std::string>&) {
  const bool csv = g_read.format == "csv";
  if (!g_read.output_dir.empty()) {
    if (!csv) return UsageError("--output-dir goes with --format csv", "dump");
    return DumpToFolder(common);
  }
  if (csv && g_read.tables.size() != 1) {
    return UsageError(
        "CSV on standard output holds one table: name it with --table, or give --output-dir for "
        "a file per table",
        "dump");
  }
  engine::DumpOptions options;
  options.tables = g_read.tables;
  options.format = csv ? engine::DumpFormat::kCsv : engine::DumpFormat::kJson;
  auto write = [](std::string_view chunk) {
    return std::fwrite(chunk.data(), 1, chunk.size(), stdout) == chunk.size();
  };
  // A password asked for at the prompt needs a second open: nothing is
  // written before the file has opened.
  auto opened = OpenWithPassword(common, [&](const std::string& password) -> engine::Result<bool> {
    engine::Status st =
        engine::WriteDump(common.file, engine::OpenOptions{.password = password}, write, options);
    if (!st.ok()) return st.error();
    return true;
  });
  engine::Status st = opened.ok() ? engine::Status::Ok() : engine::Status(opened.error());
  if (st.ok() && (std::fflush(stdout) != 0 || std::ferror(stdout))) {
    st = engine::Error(engine::ErrorCode::kIoError, "cannot write the dump to standard output");
  }
  if (!st.ok()) return PrintError(st.error(), common.file);
  return kExitOk;
}

}  // namespace cli
