// The two services that run a nested event loop, the message box and the file
// dialog, behind one interface. The program uses QtWindowServices; tests put
// in their own implementation and answer without any dialog on screen.
#pragma once

#include <QString>
#include <memory>
#include <optional>

class QMessageBox;
class QWidget;

namespace quorlen {

struct FileDialogRequest {
  QString title;
  QString filterDescription;  // "Access Files"
  QString filterPattern;      // "*.MDB", matched without regard to letter case
  QString defaultSuffix;      // added to a typed name that has none ("MDB")
  QString fileName;           // offered when the dialog opens; may be empty
  bool createPrompt = false;  // ask before accepting a name that does not exist
  bool overwritePrompt = false;
  QWidget* parent = nullptr;  // the dialog is modal over this window
};

class WindowServices {
 public:
  virtual ~WindowServices() = default;

  // A message with an OK button only and no icon, modal to the program.
  // Returns when OK is pressed.
  virtual void messageBox(const QString& prompt, const QString& title) = 0;

  // The full path of the chosen file, or nullopt when the user cancels.
  // May throw UiError when the dialog cannot be shown.
  virtual std::optional<QString> chooseFile(const FileDialogRequest& request) = 0;
};

// The message box QtWindowServices shows: the prompt, an OK button only, no
// icon, the title, modal to the whole program.
std::unique_ptr<QMessageBox> makeMessageBox(const QString& prompt, const QString& title);

class QtWindowServices final : public WindowServices {
 public:
  void messageBox(const QString& prompt, const QString& title) override;
  std::optional<QString> chooseFile(const FileDialogRequest& request) override;
};

}  // namespace quorlen
