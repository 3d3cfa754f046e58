// The file dialog component of a window: settings in, a file name out.
//
// It keeps FileName from one use to the next, so a second use offers the
// name chosen last. With CancelError set, a cancel throws UiError 32755 so
// the caller can tell it apart from a chosen name.
#pragma once

#include <QString>
#include <cstdint>

class QWidget;

namespace quorlen {

class WindowServices;

namespace dialog_flags {
inline constexpr std::uint32_t kOverwritePrompt = 0x2;
inline constexpr std::uint32_t kCreatePrompt = 0x2000;
}  // namespace dialog_flags

// "Access Files | *.MDB" -> description "Access Files", pattern "*.MDB".
// Blanks around either part are dropped; text without "|" is all pattern.
struct FilterEntry {
  QString description;
  QString pattern;
};
FilterEntry parseFilter(const QString& filter);

// The suffix to add to a typed name without one: "*.MDB" and ".MDB" both
// mean "MDB" (a wildcard or dot here would otherwise end up in file names).
QString suffixFromDefaultExt(const QString& defaultExt);

class CommonDialog {
 public:
  std::uint32_t Flags = 0;
  QString DialogTitle;
  QString DefaultExt;
  QString Filter;
  bool CancelError = false;
  QString FileName;

  // Shows the open form of the dialog, modal over `owner`, and on a chosen
  // file sets FileName to its full path. A cancel throws UiError 32755 when
  // CancelError is set and leaves FileName as it was.
  void ShowOpen(WindowServices& services, QWidget* owner);
};

}  // namespace quorlen
