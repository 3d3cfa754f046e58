// What the main window does when OK is pressed, apart from its controls:
// the order of the operations, the compact and repair operations with their
// error handling, and every message they show. Plain C++; the window
// (compact1.h) gives it its controls, message boxes, worker thread and
// database engine through OperationsView, and tests give it a fake.
#pragma once

#include <functional>
#include <string>

#include "engine/error.h"

namespace maintenance {
class DBEngine;
struct RepairOutcome;
}  // namespace maintenance

namespace quorlen::operations {

// The texts, UTF-8.
inline constexpr const char* kMsgBoxTitle = "MS Access Database File Repair/Compactor";
inline constexpr const char* kCompacted = "                File Successfully Compacted";
inline constexpr const char* kRepaired = "                File Successfully Repaired";

// The prompt for a database held open elsewhere (3356).
std::string OpenFileMessage(const std::string& path);
// The prompt for any other failure of the repair: the number with its sign
// position (a blank before zero or a positive number, a minus before a
// negative one), " - ", the description.
std::string NumberAndDescription(long long number, const std::string& description);
// The second message after a repair that could not carry everything over
// (maintenance/loss_summary.h worded for a message box: a path on a line of
// its own). `display` turns a file name into the text shown.
std::string LossesMessage(const maintenance::RepairOutcome& outcome,
                          const std::function<std::string(const std::string&)>& display);

// The mouse pointer values.
inline constexpr int kHourglass = 11;
inline constexpr int kDefaultPointer = 0;

// What the operations need of the main window. Each call may throw (a
// window that is not loaded, a message box that cannot be shown); the
// operations' error handling takes that as a failure of the step.
class OperationsView {
 public:
  virtual ~OperationsView() = default;
  // Text1, as shown (UTF-8) and as the file name it stands for.
  virtual std::string pathText() = 0;
  virtual std::string pathFileName() = 0;
  // Lets the user choose a file into Text1 (a cancel leaves it).
  virtual void selectDatabaseFile() = 0;
  // RDOPT(0) and RDOPT(1), read when asked.
  virtual bool compactChosen() = 0;
  virtual bool repairChosen() = 0;
  virtual void setMousePointer(int value) = 0;
  virtual void closeWindow() = 0;
  // A message box with OK only, titled kMsgBoxTitle.
  virtual void message(const std::string& prompt) = 0;
  // The program's one database engine (created on first use).
  virtual maintenance::DBEngine& engine() = 0;
  // Runs JOB away from the user-interface thread, the windows painting
  // meanwhile; returns its status.
  virtual engine::Status runOnWorker(const std::function<engine::Status()>& job) = 0;
  // A file name as text to show.
  virtual std::string displayPath(const std::string& file_name) = 0;
};

// The OK button: the hourglass, the compact when RDOPT(0) is chosen, then
// the repair when RDOPT(1) is (read after the compact); the window closes
// unless an operation failed.
void OkClicked(OperationsView& view);

// The operations; each tells the user the outcome and returns the success
// flag.
bool CompactDatabaseFile(OperationsView& view);
bool RepairDatabaseFile(OperationsView& view);

}  // namespace quorlen::operations
