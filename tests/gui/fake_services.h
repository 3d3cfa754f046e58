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
    std::optional<QString> answer = answers.front();
    answers.pop_front();
    return answer;
  }

  std::vector<Message> messages;
  std::vector<FileDialogRequest> requests;
  std::deque<std::optional<QString>> answers;
  bool failDialog = false;
};

}  // namespace quorlen::test
