#include "fonts.h"

#include <QFontDatabase>

namespace quorlen {

QStringList dialogFontFaces() {
  // Liberation Sans and Arimo share Arial's metrics, the nearest widely
  // installed match for the old dialog face; DejaVu Sans is Debian's default.
  return {QStringLiteral("MS Sans Serif"),   QStringLiteral("Microsoft Sans Serif"),
          QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"),
          QStringLiteral("Arial"),           QStringLiteral("DejaVu Sans")};
}

QFont dialogFont() {
  QFont font;
  const QStringList installed = QFontDatabase::families();
  QStringList faces;
  for (const QString& face : dialogFontFaces()) {
    if (installed.contains(face, Qt::CaseInsensitive)) faces << face;
  }
  if (faces.isEmpty()) faces << dialogFontFaces();
  font.setFamilies(faces);
  font.setStyleHint(QFont::SansSerif);
  font.setPointSizeF(kDialogFontPoints);
  font.setWeight(QFont::Normal);
  font.setItalic(false);
  font.setUnderline(false);
  font.setStrikeOut(false);
  return font;
}

}  // namespace quorlen
