// The program shell: the one instance of each window class, the window
// services, the window that was active last, and what happens to an error
// that escapes an event handler. It sits above the windows (main_window/,
// help_window/), which know it only as their FormHost (app/form.h).
#pragma once

#include <QString>
#include <exception>
#include <functional>
#include <memory>

#include "app/form.h"

namespace quorlen {

class Compact1;
class HelpFrm1;

// Gives the running application the program's identity: name "Quorlen",
// version "1.00", desktop entry "org.quorlen.Quorlen", the program icon, and the dialog
// font for tooltips.
void applyProgramIdentity();

class Program : public FormHost {
 public:
  explicit Program(WindowServices& services);
  ~Program() override;
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  WindowServices& services() override { return services_; }

  // Start: create the main window, load it and show it. Nothing else.
  void start();

  // The window instances, each created on first use and kept until the
  // program ends. hasHelpFrm1() says whether the help window exists yet.
  Compact1& compact1();
  HelpFrm1& helpFrm1();
  bool hasHelpFrm1() const { return helpFrm1_ != nullptr; }

  // Runs an event handler. An exception that leaves it is shown in a message
  // box with its number and description, and then the program ends. Once
  // that has happened no further handler runs.
  void runHandler(const std::function<void()>& handler) override;
  bool isEnding() const { return ending_; }

  // What ends the program after an escaped error: by default the event loop
  // is asked to exit with status 1. Tests replace it.
  using ExitAction = std::function<void(int status)>;
  void setExitAction(ExitAction action) { exit_ = std::move(action); }

  // Activation bookkeeping: Form_Activate runs when a window becomes the
  // program's active window after another of the program's windows (or at
  // its first showing), not when the user comes back from another program.
  void windowActivated(Form& form) override;
  void formUnloaded(Form& form) override;

 private:
  void reportEscapedError(const std::exception* error);

  WindowServices& services_;
  std::unique_ptr<Compact1> compact1_;
  std::unique_ptr<HelpFrm1> helpFrm1_;
  Form* lastActive_ = nullptr;
  bool ending_ = false;
  ExitAction exit_;
};

}  // namespace quorlen
