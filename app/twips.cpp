#include "twips.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <cmath>

namespace quorlen {

int twipsToPixels(int twips, double logicalDpi) {
  if (!(logicalDpi > 0)) logicalDpi = kReferenceDpi;
  return static_cast<int>(std::lround(twips * logicalDpi / kTwipsPerInch));
}

QRect twipsRect(int left, int top, int width, int height, double logicalDpi) {
  return QRect(twipsToPixels(left, logicalDpi), twipsToPixels(top, logicalDpi),
               twipsToPixels(width, logicalDpi), twipsToPixels(height, logicalDpi));
}

double logicalDpiOf(const QWidget* widget) {
  const QScreen* screen = widget != nullptr ? widget->screen() : nullptr;
  if (screen == nullptr) screen = QGuiApplication::primaryScreen();
  return screen != nullptr ? screen->logicalDotsPerInch() : kReferenceDpi;
}

}  // namespace quorlen
