#include "bevel.h"

#include <algorithm>

namespace quorlen {

std::vector<BevelLine> bevelLines(const QRect& bounds, const BevelColours& colours, bool raised,
                                  int rings) {
  std::vector<BevelLine> lines;
  QRect r = bounds;
  for (int ring = 0; ring < std::clamp(rings, 0, 2); ++ring) {
    if (r.width() < 2 || r.height() < 2) break;
    QColor light = ring == 0 ? colours.outerLight : colours.innerLight;
    QColor dark = ring == 0 ? colours.outerDark : colours.innerDark;
    if (!raised) std::swap(light, dark);
    lines.push_back({QRect(r.left(), r.top(), r.width(), 1), light});           // top
    lines.push_back({QRect(r.left(), r.top() + 1, 1, r.height() - 2), light});  // left
    lines.push_back({QRect(r.left(), r.bottom(), r.width(), 1), dark});         // bottom
    lines.push_back({QRect(r.right(), r.top() + 1, 1, r.height() - 2), dark});  // right
    r.adjust(1, 1, -1, -1);
  }
  return lines;
}

ButtonLayout layoutButton(const QRect& face, const QSize& picture, const QSize& caption, int gap,
                          bool pressed) {
  ButtonLayout layout;
  const bool hasPicture = !picture.isEmpty();
  const bool hasCaption = !caption.isEmpty();
  const int between = hasPicture && hasCaption ? gap : 0;
  const int pictureWidth = hasPicture ? picture.width() : 0;
  const int captionRoom = std::max(0, face.width() - pictureWidth - between);
  const int captionWidth = hasCaption ? std::min(caption.width(), captionRoom) : 0;
  const int groupWidth = pictureWidth + between + captionWidth;
  int x = face.left() + std::max(0, (face.width() - groupWidth) / 2);
  const int shift = pressed ? 1 : 0;
  if (hasPicture) {
    const int y = face.top() + (face.height() - picture.height()) / 2;
    layout.picture = QRect(QPoint(x + shift, y + shift), picture);
    x += pictureWidth + between;
  }
  if (hasCaption && captionWidth > 0) {
    const int h = std::min(caption.height(), face.height());
    const int y = face.top() + (face.height() - h) / 2;
    layout.caption = QRect(x + shift, y + shift, captionWidth, h);
  }
  return layout;
}

QRect optionIndicatorRect(const QRect& bounds, int diameter) {
  const int d = std::min({diameter, bounds.width(), bounds.height()});
  return QRect(bounds.left(), bounds.top() + (bounds.height() - d) / 2, d, d);
}

FrameGeometry layoutGroupFrame(const QRect& bounds, int captionWidth, int lineHeight,
                               int captionLeft) {
  FrameGeometry g;
  const int grooveTop = bounds.top() + lineHeight / 2;
  g.groove =
      QRect(bounds.left(), grooveTop, bounds.width(), bounds.height() - (grooveTop - bounds.top()));
  const int room = std::max(0, bounds.width() - 2 * captionLeft);
  if (captionWidth > 0) {
    g.caption =
        QRect(bounds.left() + captionLeft, bounds.top(), std::min(captionWidth, room), lineHeight);
  }
  return g;
}

}  // namespace quorlen
