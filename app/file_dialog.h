// The file dialog behind QtWindowServices::chooseFile: Qt's own (non-native)
// dialog, so the name filter matches without regard to letter case on every
// desktop, with the "create it?" question for a name that does not exist.
#pragma once

#include <QFileDialog>
#include <functional>

#include "window_services.h"

namespace quorlen {

class DatabaseFileDialog : public QFileDialog {
  Q_OBJECT

 public:
  explicit DatabaseFileDialog(const FileDialogRequest& request);

  // Asked before a name that does not exist is accepted; true accepts it.
  // By default a Yes/No question box; tests replace it.
  using CreateQuestion = std::function<bool(const QString& path)>;
  void setCreateQuestion(CreateQuestion question) { createQuestion_ = std::move(question); }

  // The name filter entry built from a description and a pattern.
  static QString nameFilterFor(const QString& description, const QString& pattern);

 public slots:
  void accept() override;

 private:
  bool createPrompt_;
  CreateQuestion createQuestion_;
};

}  // namespace quorlen
