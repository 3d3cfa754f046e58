#include "progress_bar.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "output.h"
#include "text_width.h"

namespace cli {

volatile int ProgressBar::stop = 0;

int TerminalColumns() {
  winsize size{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  if (const char* columns = std::getenv("COLUMNS")) {
    const int n = std::atoi(columns);
    if (n > 0) return n;
  }
  return 80;
}

ProgressBar::ProgressBar(bool enabled, std::string action)
    : enabled_(enabled), action_(std::move(action)) {}

bool ProgressBar::Update(const engine::Progress& p) {
  if (stop) return false;
  // The whole job: the tables are its units; within a table its rows take
  // the first four fifths, its indexes the last fifth.
  auto part = [&](double base, double span) {
    return p.total == 0 ? base
                        : base + span * static_cast<double>(std::min(p.done, p.total)) /
                                     static_cast<double>(p.total);
  };
  double within = -1;
  if (p.phase == "tables" && p.total != 0) {
    table_ = static_cast<double>(std::min(p.done, p.total));
    tables_ = static_cast<double>(p.total);
    within = 0;
  } else if (p.phase == "rows") {
    within = part(0, 0.8);
  } else if (p.phase == "indexes") {
    within = part(0.8, 0.2);
  } else if (p.phase == "verifying" || p.phase == "replacing") {
    fraction_ = 1;
  }
  if (within >= 0 && tables_ > 0) {
    fraction_ = std::max(fraction_, std::min(1.0, (table_ + within) / tables_));
  }
  const bool new_phase = p.phase != phase_;
  if (Verbose()) {
    // Each phase once, and each table as its copy starts.
    const bool new_table = p.phase == "tables" && !p.detail.empty() && p.detail != table_name_;
    if (new_table || (new_phase && p.phase != "tables" && seen_.insert(p.phase).second)) {
      Clear();
      if (new_table) {
        table_name_ = p.detail;
        std::fprintf(stderr, "%s: table %s\n", action_.c_str(), p.detail.c_str());
      } else {
        std::fprintf(stderr, "%s: %s\n", action_.c_str(), p.phase.c_str());
      }
    }
  }
  phase_ = p.phase;
  if (!p.detail.empty() || new_phase) detail_ = p.detail;
  if (!enabled_) return true;
  const auto now = std::chrono::steady_clock::now();
  if (drawn_ && !new_phase && now - last_ < std::chrono::milliseconds(100)) return true;
  last_ = now;
  const std::string line = Line(TerminalColumns());
  std::fprintf(stderr, "\r%s\x1b[K", line.c_str());
  std::fflush(stderr);
  drawn_ = true;
  return true;
}

std::string ProgressBar::Line(int columns) const {
  // One column is kept free: a line that fills the last one makes some
  // terminals wrap.
  const int room = std::max(columns - 1, 10);
  const int percent = static_cast<int>(fraction_ * 100);
  char head[64];
  std::snprintf(head, sizeof head, "%-10.10s ", phase_.c_str());
  std::string line = head;
  const int bar = std::clamp(room - 10 - 4 - 6 - 12, 0, 30);
  if (bar >= 5) {
    const int filled = static_cast<int>(fraction_ * bar);
    line += "[" + std::string(static_cast<size_t>(filled), '#') +
            std::string(static_cast<size_t>(bar - filled), '.') + "] ";
  }
  char pct[16];
  std::snprintf(pct, sizeof pct, "%3d%%  ", percent);
  line += pct;
  // The table's name, cut to what is left (by display columns).
  const int left = room - DisplayWidth(line);
  std::string detail;
  int width = 0;
  for (size_t i = 0; i < detail_.size();) {
    size_t n = 1;
    const unsigned char c = static_cast<unsigned char>(detail_[i]);
    if (c >= 0xF0)
      n = 4;
    else if (c >= 0xE0)
      n = 3;
    else if (c >= 0xC0)
      n = 2;
    n = std::min(n, detail_.size() - i);
    const int w = DisplayWidth(std::string_view(detail_).substr(i, n));
    if (width + w > left) break;
    detail.append(detail_, i, n);
    width += w;
    i += n;
  }
  line += detail;
  if (DisplayWidth(line) > room) line.resize(static_cast<size_t>(room));
  return line;
}

void ProgressBar::Clear() {
  if (drawn_) {
    std::fprintf(stderr, "\r\x1b[K");
    std::fflush(stderr);
  }
  drawn_ = false;
}

}  // namespace cli
