// quorlen-cli repair SOURCE DESTINATION [--password P] [--report FILE]: a
// repaired copy of a damaged database; the source is only read. A summary
// at the end; with --report, a JSON list of everything that could not be
// carried over, each with its position, reason and raw bytes (base64).
// Exit 0 when nothing was lost, 4 when the copy was written with losses,
// 1 with "error NNNN: ..." on failure.
#include <fcntl.h>
#include <unistd.h>
#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>

#include "commands.h"
#include "engine/repair.h"
#include "engine/values.h"
#include "exit_codes.h"

namespace cli {

namespace {

std::string g_destination;
std::string g_report;

nlohmann::ordered_json ReportJson(const std::string& source, const std::string& destination,
                                  const engine::RepairResult& r) {
  nlohmann::ordered_json j;
  j["source"] = source;
  j["destination"] = destination;
  j["header_rebuilt"] = r.header_rebuilt;
  j["tables"] = r.stats.tables;
  j["rows_carried_over"] = r.stats.rows;
  j["rows_lost"] = r.counts.rows_lost;
  j["values_lost"] = r.counts.values_lost;
  j["pages_lost"] = r.counts.pages_lost;
  j["tables_lost"] = r.counts.tables_lost;
  j["tables_renamed"] = r.counts.tables_renamed;
  auto& list = j["losses"] = nlohmann::ordered_json::array();
  for (const engine::LossRecord& l : r.losses) {
    nlohmann::ordered_json e;
    e["kind"] = std::string(engine::LossKindName(l.kind));
    e["table"] = l.table_name;
    e["table_id"] = l.table;
    if (l.position) {
      e["page"] = l.position->page;
      e["row"] = l.position->row;
    }
    if (!l.column.empty()) e["column"] = l.column;
    e["reason"] = l.reason;
    std::string raw;
    engine::AppendBase64(l.raw, raw);
    e["raw"] = raw;
    if (!l.long_values.empty()) {
      auto& values = e["long_values"] = nlohmann::ordered_json::object();
      for (const auto& [column, bytes] : l.long_values) {
        std::string b64;
        engine::AppendBase64(bytes, b64);
        values[column] = b64;
      }
    }
    list.push_back(std::move(e));
  }
  return j;
}

}  // namespace

void DeclareRepair(CLI::App& sub, CommonOptions& common, std::vector<std::string>&) {
  sub.add_option("SOURCE", common.file, "the damaged database (.mdb), left unchanged")->required();
  sub.add_option("DESTINATION", g_destination, "the repaired copy; it must not exist yet")
      ->required();
  sub.add_option("--password", common.password, "the database password, if it has one");
  sub.add_option("--report", g_report,
                 "write the JSON report of what could not be carried over to this new file");
}

int RunRepair(const CommonOptions& common, const std::vector<std::string>&) {
  if (g_destination.empty()) {
    std::fprintf(stderr, "error 3044: no destination file name given\n");
    return kExitEngineError;
  }
  // The report file is created before the repair, so a name that cannot be
  // used stops everything before anything is written.
  int report_fd = -1;
  if (!g_report.empty()) {
    report_fd = ::open(g_report.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (report_fd < 0) {
      std::fprintf(stderr, "error %d: cannot create the report %s: %s\n",
                   errno == EEXIST ? 3204 : 3043, g_report.c_str(), std::strerror(errno));
      return kExitEngineError;
    }
  }
  engine::RepairOptions options;
  options.password = common.password;
  auto result = engine::RepairDatabase(common.file, g_destination, options);
  auto drop_report = [&] {
    if (report_fd >= 0) {
      ::close(report_fd);
      ::unlink(g_report.c_str());
    }
  };
  if (!result.ok()) {
    drop_report();
    std::fprintf(stderr, "%s\n", result.error().ToString().c_str());
    return kExitEngineError;
  }
  const engine::RepairResult& r = result.value();
  if (report_fd >= 0) {
    std::string text = ReportJson(common.file, g_destination, r).dump(2) + "\n";
    size_t done = 0;
    while (done < text.size()) {
      ssize_t n = ::write(report_fd, text.data() + done, text.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    bool ok = done == text.size() && ::fsync(report_fd) == 0;
    if (::close(report_fd) != 0) ok = false;
    if (!ok) {
      std::fprintf(stderr, "error 3043: cannot write the report %s\n", g_report.c_str());
      return kExitEngineError;
    }
  }
  std::printf(
      "repaired %s -> %s: %u tables, %llu rows carried over, %llu rows and %llu values lost, "
      "%llu pages and %llu tables unreadable%s%s\n",
      common.file.c_str(), g_destination.c_str(), r.stats.tables,
      static_cast<unsigned long long>(r.stats.rows),
      static_cast<unsigned long long>(r.counts.rows_lost),
      static_cast<unsigned long long>(r.counts.values_lost),
      static_cast<unsigned long long>(r.counts.pages_lost),
      static_cast<unsigned long long>(r.counts.tables_lost), g_report.empty() ? "" : ", report ",
      g_report.c_str());
  if (std::fflush(stdout) != 0) return kExitEngineError;
  return r.lost_anything() ? kExitRepairedWithLosses : kExitOk;
}

}  // namespace cli
