#include "threed_controls.h"

#include <QPainter>
#include <algorithm>

#include "bevel.h"

namespace quorlen {

namespace {

constexpr int kCaptionLeft = 8;
constexpr int kIndicatorDiameter = 13;
constexpr int kIndicatorGap = 6;

}  // namespace

ThreedFrame::ThreedFrame(QWidget* parent) : QWidget(parent) {
  setFocusPolicy(Qt::NoFocus);
}

void ThreedFrame::setCaption(const QString& caption) {
  caption_ = caption;
  update();
}

void ThreedFrame::setForeColour(ColourValue value) {
  requireValidColour(value);
  fore_ = value;
  update();
}

void ThreedFrame::setBackColour(ColourValue value) {
  requireValidColour(value);
  back_ = value;
  update();
}

void ThreedFrame::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QPalette& pal = palette();
  const QColor back = colourOf(back_, pal);
  painter.fillRect(rect(), back);
  const QFontMetrics fm(font());
  // horizontalAdvance counts the caption's leading and trailing blanks, so
  // they stay as a gap on either side of the text in the groove.
  const FrameGeometry g =
      layoutGroupFrame(rect(), fm.horizontalAdvance(caption_), fm.height(), kCaptionLeft);
  // Etched groove: a dark rectangle with a white one a pixel lower right.
  const QColor dark = colourOf(shadow_, pal).darker(125);
  const QColor light = colourOf(fixed::kWhite, pal);
  const QRect outer = g.groove.adjusted(0, 0, -2, -2);
  painter.setPen(dark);
  painter.drawRect(outer);
  painter.setPen(light);
  painter.drawRect(outer.translated(1, 1));
  if (!g.caption.isEmpty()) {
    painter.fillRect(g.caption, back);
    painter.setPen(legibleTextColour(colourOf(fore_, pal), back, back));
    painter.drawText(g.caption, Qt::AlignLeft | Qt::AlignVCenter, caption_);
  }
}

ThreedOption::ThreedOption(QWidget* parent) : QAbstractButton(parent) {
  setCheckable(true);
  setAutoExclusive(true);
  setFocusPolicy(Qt::StrongFocus);
  connect(this, &QAbstractButton::toggled, this, [this] { updateTabStops(); });
}

void ThreedOption::setValue(bool selected) {
  setChecked(selected);
}

void ThreedOption::setForeColour(ColourValue value) {
  requireValidColour(value);
  fore_ = value;
  update();
}

void ThreedOption::setBackColour(ColourValue value) {
  requireValidColour(value);
  back_ = value;
  update();
}

QSize ThreedOption::sizeHint() const {
  const QFontMetrics fm(font());
  return QSize(kIndicatorDiameter + kIndicatorGap + fm.horizontalAdvance(text()) + 4,
               std::max(kIndicatorDiameter, fm.height()) + 4);
}

bool ThreedOption::hitButton(const QPoint& pos) const {
  return rect().contains(pos);
}

void ThreedOption::updateTabStops() {
  // The selected option is the group's one Tab stop; the others still take
  // the focus by click and by the arrow keys.
  if (parentWidget() == nullptr) return;
  const auto siblings = parentWidget()->findChildren<ThreedOption*>(Qt::FindDirectChildrenOnly);
  const bool anySelected = std::any_of(siblings.begin(), siblings.end(),
                                       [](const ThreedOption* o) { return o->isChecked(); });
  for (ThreedOption* option : siblings) {
    option->setFocusPolicy(!anySelected || option->isChecked() ? Qt::StrongFocus : Qt::ClickFocus);
  }
}

void ThreedOption::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QPalette& pal = palette();
  const QColor back = colourOf(back_, pal);
  const QColor text = legibleTextColour(colourOf(fore_, pal), back, back);
  painter.fillRect(rect(), back);

  const QRect ind = optionIndicatorRect(rect().adjusted(2, 0, 0, 0), kIndicatorDiameter);
  painter.setRenderHint(QPainter::Antialiasing, true);
  // Sunken well: grey upper-left and white lower-right outside, dark grey
  // upper-left and silver lower-right inside, white centre.
  const QRectF outer = QRectF(ind).adjusted(0.5, 0.5, -0.5, -0.5);
  const QRectF inner = outer.adjusted(1, 1, -1, -1);
  auto arcs = [&painter](const QRectF& r, const QColor& upper, const QColor& lower) {
    painter.setPen(QPen(upper, 1));
    painter.drawArc(r, 45 * 16, 180 * 16);
    painter.setPen(QPen(lower, 1));
    painter.drawArc(r, 225 * 16, 180 * 16);
  };
  painter.setBrush(colourOf(fixed::kWhite, pal));
  painter.setPen(Qt::NoPen);
  painter.drawEllipse(outer);
  arcs(outer, colourOf(fixed::kGrey, pal), colourOf(fixed::kWhite, pal));
  arcs(inner, colourOf(fixed::kDarkGrey, pal), colourOf(shadow_, pal));
  if (isChecked()) {
    painter.setPen(Qt::NoPen);
    painter.setBrush(text);
    const QPointF c = QRectF(ind).center();
    painter.drawEllipse(c, 2.5, 2.5);
  }
  painter.setRenderHint(QPainter::Antialiasing, false);

  const QFontMetrics fm(font());
  const int textLeft = ind.right() + 1 + kIndicatorGap;
  const QRect textRect(textLeft, 0, std::max(0, width() - textLeft - 1), height());
  painter.setPen(text);
  painter.drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter, this->text());
  if (hasFocus()) {
    const int w = std::min(fm.horizontalAdvance(this->text()) + 4, width() - textLeft + 2);
    const int h = fm.height() + 2;
    const QRect focus(textLeft - 2, (height() - h) / 2, w, h);
    painter.setPen(QPen(text, 1, Qt::DotLine));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(focus.adjusted(0, 0, -1, -1));
  }
}

}  // namespace quorlen
