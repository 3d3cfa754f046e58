#include "common_dialog.h"

#include "error.h"
#include "window_services.h"

namespace quorlen {

FilterEntry parseFilter(const QString& filter) {
  const qsizetype bar = filter.indexOf(QLatin1Char('|'));
  if (bar < 0) return {QString(), filter.trimmed()};
  return {filter.left(bar).trimmed(),
          filter.mid(bar + 1).section(QLatin1Char('|'), 0, 0).trimmed()};
}

QString suffixFromDefaultExt(const QString& defaultExt) {
  QString suffix = defaultExt.trimmed();
  while (suffix.startsWith(QLatin1Char('*')) || suffix.startsWith(QLatin1Char('.'))) {
    suffix.remove(0, 1);
  }
  return suffix;
}

void CommonDialog::ShowOpen(WindowServices& services, QWidget* owner) {
  const FilterEntry entry = parseFilter(Filter);
  FileDialogRequest request;
  request.title = DialogTitle;
  request.filterDescription = entry.description;
  request.filterPattern = entry.pattern;
  request.defaultSuffix = suffixFromDefaultExt(DefaultExt);
  request.fileName = FileName;
  request.createPrompt = (Flags & dialog_flags::kCreatePrompt) != 0;
  request.overwritePrompt = (Flags & dialog_flags::kOverwritePrompt) != 0;
  request.parent = owner;
  const std::optional<QString> chosen = services.chooseFile(request);
  if (!chosen) {
    if (CancelError) throw UiError(kErrDialogCancelled, "The file dialog was cancelled.");
    return;
  }
  FileName = *chosen;
}

}  // namespace quorlen
