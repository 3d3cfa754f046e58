// quorlen-cli compact FILE DESTINATION [--password P | --password-file F]: a fresh, compacted
// copy. A progress bar on standard error when it is a terminal, a one-line
// summary at the end; exit 1 with "error NNNN: ..." on failure.
#include <unistd.h>
#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <string>

#include "commands.h"
#include "engine/compact.h"
#include "exit_codes.h"

namespace cli {

namespace {

// Redraws one line on the terminal, at most a few times a second.
class ProgressBar {
 public:
  bool Update(const engine::Progress& p) {
    auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::milliseconds(100) && p.done != p.total) return true;
    last_ = now;
    constexpr int kWidth = 30;
    int filled = p.total == 0 ? 0 : static_cast<int>(kWidth * p.done / p.total);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.resize(kWidth, '.');
    std::string detail = p.detail.size() > 32 ? p.detail.substr(0, 29) + "..." : p.detail;
    std::fprintf(stderr, "\r%-9s [%s] %llu/%llu %-32s", p.phase.c_str(), bar.c_str(),
                 static_cast<unsigned long long>(p.done), static_cast<unsigned long long>(p.total),
                 detail.c_str());
    std::fflush(stderr);
    drawn_ = true;
    return true;
  }
  void Clear() {
    if (drawn_) std::fprintf(stderr, "\r%*s\r", 9 + 33 + 24 + 33, "");
    drawn_ = false;
  }

 private:
  std::chrono::steady_clock::time_point last_{};
  bool drawn_ = false;
};

}  // namespace

// SOURCE into a new DESTINATION, straight through the engine's compaction
// (maintenance_commands.cpp hands the two-path form of "compact" here).
int CompactToNewFile(const CommonOptions& common, const std::string& destination) {
  if (destination.empty()) {
    std::fprintf(stderr, "error 3044: no destination file name given\n");
    return kExitEngineError;
  }
  engine::CompactOptions options;
  ProgressBar bar;
  if (isatty(STDERR_FILENO)) {
    options.progress = [&bar](const engine::Progress& p) { return bar.Update(p); };
  }
  auto start = std::chrono::steady_clock::now();
  auto stats = OpenWithPassword(common, [&](const std::string& password) {
    options.password = password;
    return engine::CompactDatabase(common.file, destination, options);
  });
  bar.Clear();
  if (!stats.ok()) {
    std::fprintf(stderr, "%s\n", stats.error().ToString().c_str());
    return kExitEngineError;
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const engine::CompactStats& s = stats.value();
  std::printf(
      "compacted %s -> %s: %u pages -> %u pages, %u tables, %llu rows, %u indexes, "
      "%llu keys reused, %.2f s\n",
      common.file.c_str(), destination.c_str(), s.pages_before, s.pages_after, s.tables,
      static_cast<unsigned long long>(s.rows), s.indexes,
      static_cast<unsigned long long>(s.keys_reused), seconds);
  if (std::fflush(stdout) != 0) {
    std::fprintf(stderr, "error 3043: cannot write to standard output\n");
    return kExitEngineError;
  }
  return kExitOk;
}

}  // namespace cli
