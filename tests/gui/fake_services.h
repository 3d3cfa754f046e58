// Window services that answer at once: message boxes are recorded, file
// dialogs return the queued answers (none queued means the user cancels).
#pragma once

#include <deque>
#include <optional>
#include <vector>

#include "app/error.h"
#include "app/window_services.h"

namespace quorlen::test {

class FakeServices final : public WindowServices {
 public:
  struct Message {
    QString prompt;
    QString title;
  };

  void messageBox(const QString& prompt, const QString& title) override {
    messages.push_back({prompt, title});
  }

  std::optional<QString> chooseFile(const FileDialogRequest& request) override {
    requests.push_back(request);
    if (failDialog) throw UiError(kErrInternal, "The file dialog could not be shown.");
    if (answers.empty()) return std::nullopt;
    // Not a copy of the optional: g++ 12 at -O2 warns that its payload may
    // be used uninitialized.
    const bool chosen = answers.front().has_value();
    QString path = chosen ? *answers.front() : QString();
    answers.pop_front();
    if (!chosen) return std::nullopt;
    return path;
  }

  std::vector<Message> messages;
  std::vector<FileDialogRequest> requests;
  std::deque<std::optional<QString>> answers;
  bool failDialog = false;
};

}  // namespace quorlen::test
