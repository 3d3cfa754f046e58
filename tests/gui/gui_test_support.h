// Helpers shared by the GUI tests.
#pragma once

#include <QApplication>
#include <QImage>
#include <QWidget>
#include <algorithm>

#include "app/colours.h"

namespace quorlen::test {

// The strongest contrast between any pixel of `image` inside `area` and the
// colour `background`: 1 when nothing stands out.
inline double strongestContrast(const QImage& image, const QRect& area, const QColor& background) {
  double best = 1.0;
  const QRect r = area.intersected(image.rect());
  for (int y = r.top(); y <= r.bottom(); ++y) {
    for (int x = r.left(); x <= r.right(); ++x) {
      best = std::max(best, contrastRatio(QColor(image.pixel(x, y)), background));
    }
  }
  return best;
}

// Deletes widgets whose deletion was deferred (closed windows).
inline void flushDeferredDeletes() {
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  QCoreApplication::processEvents();
}

// A palette like the classic desktop scheme, where window frame and window
// text are both black.
inline QPalette classicPalette() {
  QPalette p(QColor(0xC0, 0xC0, 0xC0));
  p.setColor(QPalette::Base, Qt::white);
  p.setColor(QPalette::Text, Qt::black);
  p.setColor(QPalette::Shadow, Qt::black);
  p.setColor(QPalette::Highlight, QColor(0x00, 0x00, 0x80));
  p.setColor(QPalette::Mid, QColor(0x80, 0x80, 0x80));
  p.setColor(QPalette::ButtonText, Qt::black);
  return p;
}

}  // namespace quorlen::test
