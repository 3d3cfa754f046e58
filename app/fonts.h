// The dialog font: MS Sans Serif 8.25 pt regular, or the closest sans-serif
// face installed, at the same size.
#pragma once

#include <QFont>
#include <QStringList>

namespace quorlen {

inline constexpr double kDialogFontPoints = 8.25;

// Faces tried in order; the first one installed is used.
QStringList dialogFontFaces();
QFont dialogFont();

}  // namespace quorlen
