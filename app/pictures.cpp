#include "pictures.h"

#include <QPainter>
#include <QPainterPath>

namespace quorlen {

namespace {

// Colours of the standard 16-colour set used by the pictures.
const QColor kRed(0xFF, 0x00, 0x00);
const QColor kMaroon(0x80, 0x00, 0x00);
const QColor kBlack(0x00, 0x00, 0x00);
const QColor kTeal(0x00, 0x80, 0x80);
const QColor kAqua(0x00, 0xFF, 0xFF);
const QColor kNavy(0x00, 0x00, 0x80);
const QColor kWhite(0xFF, 0xFF, 0xFF);
const QColor kYellow(0xFF, 0xFF, 0x00);

QImage blank(int size) {
  QImage image(size, size, QImage::Format_ARGB32);
  image.fill(Qt::transparent);
  return image;
}

// Plots a polyline with a square pen of `width` pixels, without smoothing, so
// every pixel is fully one colour or fully transparent.
void plot(QPainter& p, const QColor& colour, int width, std::initializer_list<QPoint> points) {
  p.setPen(QPen(colour, width, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
  const std::vector<QPoint> v(points);
  for (size_t i = 1; i < v.size(); ++i) p.drawLine(v[i - 1], v[i]);
}

}  // namespace

QImage tickPicture() {
  QImage image = blank(16);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing, false);
  plot(p, kMaroon, 3, {{3, 9}, {6, 12}, {13, 4}});
  plot(p, kRed, 2, {{3, 8}, {6, 11}, {12, 4}});
  return image;
}

QImage crossPicture() {
  QImage image = blank(16);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing, false);
  plot(p, kBlack, 2, {{4, 4}, {11, 11}});
  plot(p, kBlack, 2, {{11, 4}, {4, 11}});
  return image;
}

QImage questionPicture() {
  QImage image = blank(16);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing, false);
  // The hook: top bar, right side, then down into the stem.
  plot(p, kTeal, 2, {{5, 4}, {6, 2}, {10, 2}, {11, 4}, {11, 6}, {8, 8}, {8, 10}});
  // The dot.
  p.fillRect(QRect(7, 12, 3, 3), kTeal);
  p.fillRect(QRect(8, 12, 1, 1), kAqua);
  return image;
}

QImage programIconImage() {
  QImage image = blank(32);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing, false);
  // A database drum: body, bands and a lighter top.
  const QRect body(6, 8, 20, 18);
  p.setPen(kNavy);
  p.setBrush(kTeal);
  p.drawRect(body);
  p.drawEllipse(QRect(6, 21, 20, 9));
  p.setPen(Qt::NoPen);
  p.fillRect(QRect(7, 9, 19, 18), kTeal);
  p.setPen(kNavy);
  p.drawLine(6, 8, 6, 25);
  p.drawLine(26, 8, 26, 25);
  p.setBrush(kAqua);
  p.drawEllipse(QRect(6, 4, 20, 9));
  p.setPen(kNavy);
  p.drawArc(QRect(6, 12, 20, 8), 180 * 16, 180 * 16);
  p.drawArc(QRect(6, 17, 20, 8), 180 * 16, 180 * 16);
  // The two arrows that squeeze it: compaction.
  p.setPen(Qt::NoPen);
  p.setBrush(kYellow);
  const QPolygon left({QPoint(0, 12), QPoint(5, 17), QPoint(0, 22)});
  const QPolygon right({QPoint(31, 12), QPoint(27, 17), QPoint(31, 22)});
  p.setPen(kMaroon);
  p.drawPolygon(left);
  p.drawPolygon(right);
  // A spark of repair on the lid.
  p.fillRect(QRect(14, 7, 4, 2), kWhite);
  p.fillRect(QRect(15, 6, 2, 4), kWhite);
  return image;
}

QIcon programIcon() {
  return QIcon(QPixmap::fromImage(programIconImage()));
}

}  // namespace quorlen
