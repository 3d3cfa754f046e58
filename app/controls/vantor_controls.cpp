#include "vantor_controls.h"

#include <QPainter>
#include <QStyleOptionFocusRect>

#include "bevel.h"

namespace quorlen {

namespace {

constexpr int kCaptionPadding = 2;
constexpr int kPictureGap = 4;

void paintBevel(QPainter& painter, const std::vector<BevelLine>& lines) {
  for (const BevelLine& line : lines) painter.fillRect(line.rect, line.colour);
}

void paintFocusFrame(QPainter& painter, const QRect& rect, const QColor& colour) {
  QPen pen(colour, 1, Qt::DotLine);
  painter.save();
  painter.setPen(pen);
  painter.setBrush(Qt::NoBrush);
  painter.drawRect(rect.adjusted(0, 0, -1, -1));
  painter.restore();
}

}  // namespace

VantorPanel::VantorPanel(QWidget* parent) : VantorColoured<QWidget>(parent) {
  setBackColour(fixed::kGrey);
}

void VantorPanel::setCaption(const QString& caption) {
  caption_ = caption;
  update();
}

void VantorPanel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QRect r = rect();
  painter.fillRect(r, resolved(backColour()));
  const auto& f = fixedColours();
  const BevelColours colours{resolved(f[3]), resolved(f[0]), resolved(backColour2()),
                             resolved(backColour2())};
  paintBevel(painter, bevelLines(r, colours, true, 2));
  if (!caption_.isEmpty()) {
    painter.setPen(
        legibleTextColour(resolved(foreColour()), resolved(backColour()), resolved(backColour2())));
    painter.drawText(r.adjusted(3, 3, -3, -3), Qt::AlignCenter | Qt::TextWordWrap, caption_);
  }
}

VantorLabel::VantorLabel(QWidget* parent) : VantorColoured<QWidget>(parent) {
  setFocusPolicy(Qt::NoFocus);
}

void VantorLabel::setCaption(const QString& caption) {
  caption_ = caption;
  update();
}

QColor VantorLabel::captionColour() const {
  return legibleTextColour(resolved(foreColour()), resolved(backColour()), resolved(backColour2()));
}

QSize VantorLabel::sizeHint() const {
  const QFontMetrics fm(font());
  return QSize(fm.horizontalAdvance(caption_) + 2 * kCaptionPadding,
               fm.height() + 2 * kCaptionPadding);
}

void VantorLabel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), resolved(backColour()));
  if (caption_.isEmpty()) return;
  painter.setPen(captionColour());
  painter.drawText(rect().adjusted(kCaptionPadding, 0, -kCaptionPadding, 0),
                   Qt::AlignLeft | Qt::AlignVCenter | Qt::TextWordWrap, caption_);
}

VantorButton::VantorButton(QWidget* parent) : VantorColoured<QAbstractButton>(parent) {
  setFocusPolicy(Qt::StrongFocus);
  setBackColour(fixed::kGrey);
  setForeColour(sys::kButtonText);
}

void VantorButton::setPicture(const QPixmap& picture) {
  picture_ = picture;
  update();
}

QSize VantorButton::sizeHint() const {
  const QFontMetrics fm(font());
  const int w = fm.horizontalAdvance(text()) + (picture_.isNull() ? 0 : 16 + kPictureGap);
  return QSize(w + 12, std::max(fm.height(), 16) + 8);
}

void VantorButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QRect r = rect();
  const QColor back = resolved(backColour());
  painter.fillRect(r, back);
  const auto& f = fixedColours();
  const BevelColours colours{resolved(f[3]), resolved(f[0]), resolved(backColour2()),
                             resolved(f[2])};
  const bool pressed = isDown();
  paintBevel(painter, bevelLines(r, colours, !pressed, 2));

  const QRect face = r.adjusted(3, 3, -3, -3);
  const QFontMetrics fm(font());
  const QSize pictureSize = picture_.isNull() ? QSize() : picture_.deviceIndependentSize().toSize();
  const QSize captionSize(fm.horizontalAdvance(text()), fm.height());
  const ButtonLayout layout = layoutButton(face, pictureSize, captionSize, kPictureGap, pressed);
  if (!layout.picture.isEmpty()) painter.drawPixmap(layout.picture, picture_);
  const QColor textColour =
      legibleTextColour(resolved(foreColour()), back, resolved(backColour2()));
  if (!layout.caption.isEmpty()) {
    painter.setPen(textColour);
    painter.drawText(layout.caption, Qt::AlignLeft | Qt::AlignVCenter, text());
  }
  if (hasFocus()) paintFocusFrame(painter, face.adjusted(0, 0, 0, 0), textColour);
}

}  // namespace quorlen
