// Twips (1/1440 inch) to device-independent pixels. At 96 dots per inch
// 15 twips make one pixel; other densities scale by the screen's logical dpi.
#pragma once

#include <QRect>

class QWidget;

namespace quorlen {

inline constexpr int kTwipsPerInch = 1440;
inline constexpr double kReferenceDpi = 96.0;

// Rounds to the nearest pixel (halves away from zero).
int twipsToPixels(int twips, double logicalDpi = kReferenceDpi);

// Converts each of left, top, width and height on its own, so a control's
// size does not depend on where it stands.
QRect twipsRect(int left, int top, int width, int height, double logicalDpi = kReferenceDpi);

// The logical dpi of the screen a widget is on (the primary screen when it
// has none yet); 96 when no screen is known.
double logicalDpiOf(const QWidget* widget);

}  // namespace quorlen
