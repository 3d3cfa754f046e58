// Colour values as the windows store them: 32-bit numbers of two kinds.
//
//   &H800000nn  entry nn of the system colour table, looked up in the current
//               palette each time a control paints, so a change of colour
//               scheme shows at the next paint;
//   &H00bbggrr  a fixed colour: red in the low byte, blue in the third.
//
// Any other value is refused when a control is given it (error 380).
#pragma once

#include <QColor>
#include <QPalette>
#include <cstdint>
#include <optional>
#include <span>

namespace quorlen {

using ColourValue = std::uint32_t;

// The system colour entries the windows use and their place in a QPalette.
// Colours of the edit-field kind ("window" in the old naming) map to Base and
// Text; the dialog surface ("button face") maps to Button.
//
//   entry  meaning               palette role (Active group)
//   2      active title bar      Highlight
//   3      inactive title bar    Mid
//   5      window background     Base
//   6      window frame          Shadow
//   8      window text           Text
//   15     button face           Button
//   18     button text           ButtonText
//   21     3-D dark shadow       Shadow
//   22     3-D light             Midlight
struct SystemColourEntry {
  int index;
  QPalette::ColorRole role;
  const char* meaning;
};
std::span<const SystemColourEntry> systemColourTable();

namespace sys {
inline constexpr ColourValue kActiveTitleBar = 0x80000002;
inline constexpr ColourValue kInactiveTitleBar = 0x80000003;
inline constexpr ColourValue kWindowBackground = 0x80000005;
inline constexpr ColourValue kWindowFrame = 0x80000006;
inline constexpr ColourValue kWindowText = 0x80000008;
inline constexpr ColourValue kButtonFace = 0x8000000F;
inline constexpr ColourValue kButtonText = 0x80000012;
inline constexpr ColourValue kDarkShadow3D = 0x80000015;
inline constexpr ColourValue kLight3D = 0x80000016;
}  // namespace sys

// The four fixed colours every panel, label and button stores after its
// second background colour, and the one the 3-D frame and options store.
namespace fixed {
inline constexpr ColourValue kDarkGrey = 0x00404040;
inline constexpr ColourValue kSilver = 0x00C0C0C0;
inline constexpr ColourValue kGrey = 0x00808080;
inline constexpr ColourValue kWhite = 0x00FFFFFF;
inline constexpr ColourValue kLightGrey = 0x00E0E0E0;
}  // namespace fixed

bool isSystemColour(ColourValue value);
// True for a fixed colour or a system colour entry of the table.
bool isValidColour(ColourValue value);
// Throws UiError 380 unless isValidColour(value).
void requireValidColour(ColourValue value);

// The colour a value stands for under `palette`; nullopt for an invalid value.
std::optional<QColor> resolveColour(ColourValue value, const QPalette& palette);
// As resolveColour, with black for a value that is not valid (never stored).
QColor colourOf(ColourValue value, const QPalette& palette);

// Fixed colour value for an RGB colour (&H00bbggrr).
constexpr ColourValue fixedColour(int r, int g, int b) {
  return static_cast<ColourValue>((b & 0xFF) << 16 | (g & 0xFF) << 8 | (r & 0xFF));
}

// Contrast ratio of two colours, 1 (same luminance) to 21 (black on white),
// from their relative luminance in sRGB.
double contrastRatio(const QColor& a, const QColor& b);

// The colour a caption is drawn in. The text colour when it reads on the
// background (ratio >= kMinimumTextContrast); otherwise the second background
// colour if that one reads; otherwise black or white, whichever contrasts more.
// 4.5:1 is the usual floor for small body text.
inline constexpr double kMinimumTextContrast = 4.5;
QColor legibleTextColour(const QColor& text, const QColor& background,
                         const QColor& secondBackground);

}  // namespace quorlen
