// The progress line of quorlen-cli on standard error, when that is a
// terminal: one line that fits the terminal's width, the progress of the
// whole job (not of one table), and nothing left on screen once cleared.
//
//   compacting  [##########..........]  50%  Orders
#pragma once

#include <chrono>
#include <cstdint>
#include <set>
#include <string>

#include "engine/progress.h"

namespace cli {

class ProgressBar {
 public:
  // Draws only when `enabled` (standard error a terminal, not quiet). In
  // verbose mode each phase and each table is also told on a line of its
  // own.
  ProgressBar(bool enabled, std::string action);
  ~ProgressBar() { Clear(); }
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  // Takes one report of the engine. False when the job should stop (Ctrl-C
  // was pressed: `stop` set).
  bool Update(const engine::Progress& p);
  // Removes the line.
  void Clear();

  // The fraction of the whole job done, from the reports so far (tests).
  double fraction() const { return fraction_; }
  // The line as drawn for a terminal `columns` wide (tests).
  std::string Line(int columns) const;

  // Set from a signal handler: every bar then asks its job to stop.
  static volatile int stop;

 private:
  bool enabled_;
  std::string action_;
  std::string phase_;
  std::string detail_;
  double fraction_ = 0;
  double table_ = 0;   // tables done, from the "tables" reports
  double tables_ = 0;  // tables in all
  bool drawn_ = false;
  std::chrono::steady_clock::time_point last_{};
  std::set<std::string> seen_;  // phases told (verbose)
  std::string table_name_;      // the table told last (verbose)
};

// The width of the terminal on standard error (COLUMNS, else 80).
int TerminalColumns();

}  // namespace cli
