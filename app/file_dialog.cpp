#include "file_dialog.h"

#include <QFileInfo>
#include <QMessageBox>

namespace quorlen {

DatabaseFileDialog::DatabaseFileDialog(const FileDialogRequest& request)
    : QFileDialog(request.parent), createPrompt_(request.createPrompt) {
  setOption(QFileDialog::DontUseNativeDialog, true);
  setWindowTitle(request.title);
  setAcceptMode(QFileDialog::AcceptOpen);
  // AnyFile, not ExistingFile: the user may name a file that is not there
  // yet; the create question then decides.
  setFileMode(QFileDialog::AnyFile);
  setOption(QFileDialog::DontConfirmOverwrite, !request.overwritePrompt);
  // The model behind Qt's dialog matches name filters without regard to case
  // unless QDir::CaseSensitive is in its filter, so "*.MDB" lists x.mdb too.
  setFilter(filter() & ~QDir::CaseSensitive);
  setNameFilter(nameFilterFor(request.filterDescription, request.filterPattern));
  setDefaultSuffix(request.defaultSuffix);
  setWindowModality(Qt::WindowModal);
  if (!request.fileName.isEmpty()) {
    const QFileInfo info(request.fileName);
    setDirectory(info.absolutePath());
    selectFile(info.fileName());
  }
  createQuestion_ = [this](const QString& path) {
    const auto answer = QMessageBox::question(
        this, windowTitle(),
        tr("%1\nThis file does not exist.\n\nCreate the file?").arg(QDir::toNativeSeparators(path)),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    return answer == QMessageBox::Yes;
  };
}

QString DatabaseFileDialog::nameFilterFor(const QString& description, const QString& pattern) {
  return QStringLiteral("%1 (%2)").arg(description, pattern);
}

void DatabaseFileDialog::accept() {
  if (createPrompt_) {
    const QStringList files = selectedFiles();
    if (files.size() == 1) {
      const QFileInfo info(files.front());
      if (!info.exists() && !info.fileName().isEmpty() &&
          !createQuestion_(info.absoluteFilePath())) {
        return;  // "No" keeps the dialog open
      }
    }
  }
  QFileDialog::accept();
}

std::unique_ptr<QMessageBox> makeMessageBox(const QString& prompt, const QString& title) {
  auto box = std::make_unique<QMessageBox>(QMessageBox::NoIcon, title, prompt, QMessageBox::Ok);
  box->setWindowModality(Qt::ApplicationModal);
  box->setEscapeButton(QMessageBox::Ok);
  return box;
}

void QtWindowServices::messageBox(const QString& prompt, const QString& title) {
  makeMessageBox(prompt, title)->exec();
}

std::optional<QString> QtWindowServices::chooseFile(const FileDialogRequest& request) {
  DatabaseFileDialog dialog(request);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  const QStringList files = dialog.selectedFiles();
  if (files.isEmpty()) return std::nullopt;
  return QFileInfo(files.front()).absoluteFilePath();
}

}  // namespace quorlen
