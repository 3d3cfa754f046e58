// Geometry and colour choices of our painted controls, as plain functions so
// they can be checked without painting.
#pragma once

#include <QColor>
#include <QRect>
#include <QSize>
#include <vector>

namespace quorlen {

// One line of a bevel: a one-pixel edge of a rectangle in one colour.
struct BevelLine {
  QRect rect;  // a one-pixel-wide or one-pixel-high strip
  QColor colour;
};

// The four colours of a two-ring bevel, outermost ring first.
struct BevelColours {
  QColor outerLight;  // top and left edge of the outer ring when raised
  QColor outerDark;   // bottom and right edge of the outer ring when raised
  QColor innerLight;
  QColor innerDark;
};

// The strips that draw a bevel of `rings` rings (1 or 2) around `bounds`.
// Raised: light top/left, dark bottom/right; sunken swaps them. The top and
// bottom strips run the full width; left and right fill the height between.
std::vector<BevelLine> bevelLines(const QRect& bounds, const BevelColours& colours, bool raised,
                                  int rings);

// Where a button puts its picture and caption: both centred together as one
// group, picture on the left, `gap` pixels apart; a caption too wide for the
// face is cut on the right, never the picture. `pressed` moves both one pixel
// right and down.
struct ButtonLayout {
  QRect picture;  // empty when there is no picture
  QRect caption;  // empty when there is no caption
};
ButtonLayout layoutButton(const QRect& face, const QSize& picture, const QSize& caption, int gap,
                          bool pressed);

// The round indicator of an option button: a square of `diameter` at the
// left of `bounds`, centred vertically.
QRect optionIndicatorRect(const QRect& bounds, int diameter);

// The groove of a 3-D group frame runs through the middle of the caption's
// line; the caption breaks it between `captionLeft` and its right end.
struct FrameGeometry {
  QRect groove;   // the rectangle the groove runs along
  QRect caption;  // where the caption is drawn (its background breaks the groove)
};
FrameGeometry layoutGroupFrame(const QRect& bounds, int captionWidth, int lineHeight,
                               int captionLeft);

}  // namespace quorlen
