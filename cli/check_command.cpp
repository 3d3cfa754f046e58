// quorlen-cli check FILE [--json] [--password P]: the structural checker.
// Exit 0 when the file has no damage (leftovers are listed), 3 when it has
// (with --strict: when it has any problem, leftovers included),
// 1 when it cannot be checked (error printed as "error NNNN: description",
// and with --json also as a JSON object on standard output), 2 on a usage
// error.
//
// The JSON document (kCheckJsonVersion; a field is only ever added):
//   {"format_version": 1, "file": path, "format": "jet3"|"jet4", "page_size",
//    "problems": [{"code", "severity": "damage"|"leftover", "message",
//                  "page", "row", "entry", "table", "index"}]  (null when absent),
//    "problem_counts": {code: n}, "problem_total", "damage_total",
//    "leftover_total", "counts": {...}}
// and when the file cannot be checked:
//   {"format_version": 1, "file": path, "error": {"number": NNNN, "description"}}
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <string>

#include "commands.h"
#include "engine/check.h"
#include "exit_codes.h"
#include "output.h"

namespace cli {

namespace {

const char kJsonFlag[] = "--json";
const char kStrictFlag[] = "--strict";

constexpr int kCheckJsonVersion = 1;

nlohmann::json ToJson(const std::string& file, const engine::CheckReport& r) {
  nlohmann::json problems = nlohmann::json::array();
  for (const engine::CheckProblem& p : r.problems) {
    nlohmann::json j;
    j["code"] = p.code;
    j["severity"] = engine::SeverityName(p.severity);
    j["message"] = p.message;
    j["page"] = p.page ? nlohmann::json(*p.page) : nlohmann::json(nullptr);
    j["row"] = p.row ? nlohmann::json(*p.row) : nlohmann::json(nullptr);
    j["entry"] = p.entry ? nlohmann::json(*p.entry) : nlohmann::json(nullptr);
    j["table"] = p.table.empty() ? nlohmann::json(nullptr) : nlohmann::json(p.table);
    j["index"] = p.index.empty() ? nlohmann::json(nullptr) : nlohmann::json(p.index);
    problems.push_back(std::move(j));
  }
  nlohmann::json per_code = nlohmann::json::object();
  for (const auto& [code, count] : r.per_code) per_code[code] = count;
  const engine::CheckCounts& c = r.counts;
  nlohmann::json out;
  out["format_version"] = kCheckJsonVersion;
  out["file"] = file;
  out["format"] = r.format;
  out["page_size"] = r.page_size;
  out["problems"] = std::move(problems);
  out["problem_counts"] = std::move(per_code);
  out["counts"] = {{"pages", c.pages},
                   {"free_pages", c.free_pages},
                   {"tables", c.tables},
                   {"rows", c.rows},
                   {"overflow_rows", c.overflow_rows},
                   {"long_values", c.long_values},
                   {"indexes", c.indexes},
                   {"index_entries", c.index_entries},
                   {"keys_verified", c.keys_verified},
                   {"keys_not_verifiable", c.keys_not_verifiable},
                   {"keys_other_sort_order", c.keys_other_sort_order},
                   {"keys_invalid_value", c.keys_invalid_value}};
  out["problem_total"] = r.total_problems();
  out["damage_total"] = r.damage_count();
  out["leftover_total"] = r.leftover_count();
  return out;
}

nlohmann::json FileErrorJson(const std::string& file, const engine::Error& error) {
  nlohmann::json out;
  out["format_version"] = kCheckJsonVersion;
  out["file"] = file;
  out["error"] = ErrorJson(error);
  return out;
}

}  // namespace

void DeclareCheck(CLI::App& sub, CommonOptions& common, std::vector<std::string>& extra) {
  DeclareFileAndPassword(sub, common);
  sub.footer(std::string(kPasswordNote) +
             "\nExit status: 0 no damage (leftovers are listed), 3 damage found (with --strict: "
             "any problem), 1 the file cannot be checked, 2 usage error.");
  sub.add_flag(kJsonFlag, common.json, "print one JSON document instead of text");
  sub.add_flag_callback(
      kStrictFlag, [&extra] { extra.emplace_back(kStrictFlag); },
      "exit 3 on leftovers too (a compacted copy must have neither)");
}

int RunCheck(const CommonOptions& common, const std::vector<std::string>& extra) {
  const bool json = common.json;
  engine::CheckOptions options;
  auto report = OpenWithPassword(common, [&](const std::string& password) {
    options.password = password;
    return engine::CheckDatabase(common.file, options);
  });
  if (!report.ok()) {
    PrintError(report.error(), common.file);
    // A script reading the JSON gets the error there too.
    if (json) WriteOut(JsonText(FileErrorJson(common.file, report.error())));
    return kExitEngineError;
  }
  std::string text = json ? JsonText(ToJson(common.file, report.value()))
                          : engine::FormatCheckReport(report.value());
  if (!WriteOut(text)) {
    return PrintError(
        engine::Error(engine::ErrorCode::kIoError, "cannot write the report to standard output"));
  }
  const bool strict = std::find(extra.begin(), extra.end(), kStrictFlag) != extra.end();
  const uint64_t failing = strict ? report.value().total_problems() : report.value().damage_count();
  return failing == 0 ? kExitOk : kExitProblems;
}

}  // namespace cli
