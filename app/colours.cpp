#include "colours.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <string>

#include "error.h"

namespace quorlen {

namespace {

constexpr std::array<SystemColourEntry, 9> kTable = {{
    {2, QPalette::Highlight, "active title bar"},
    {3, QPalette::Mid, "inactive title bar"},
    {5, QPalette::Base, "window background"},
    {6, QPalette::Shadow, "window frame"},
    {8, QPalette::Text, "window text"},
    {15, QPalette::Button, "button face"},
    {18, QPalette::ButtonText, "button text"},
    {21, QPalette::Shadow, "3-D dark shadow"},
    {22, QPalette::Midlight, "3-D light"},
}};

const SystemColourEntry* findEntry(ColourValue value) {
  if (!isSystemColour(value)) return nullptr;
  const ColourValue index = value & 0x00FFFFFFu;
  for (const auto& entry : kTable) {
    if (static_cast<ColourValue>(entry.index) == index) return &entry;
  }
  return nullptr;
}

double channel(double c) {
  return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

double luminance(const QColor& c) {
  return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
}

}  // namespace

std::span<const SystemColourEntry> systemColourTable() {
  return kTable;
}

bool isSystemColour(ColourValue value) {
  return (value & 0xFF000000u) == 0x80000000u;
}

bool isValidColour(ColourValue value) {
  if ((value & 0xFF000000u) == 0) return true;
  return findEntry(value) != nullptr;
}

void requireValidColour(ColourValue value) {
  if (isValidColour(value)) return;
  char hex[16];
  std::snprintf(hex, sizeof hex, "%08X", value);
  throw UiError(kErrInvalidPropertyValue, std::string("Invalid colour value &H") + hex + ".");
}

std::optional<QColor> resolveColour(ColourValue value, const QPalette& palette) {
  if ((value & 0xFF000000u) == 0) {
    return QColor(static_cast<int>(value & 0xFF), static_cast<int>((value >> 8) & 0xFF),
                  static_cast<int>((value >> 16) & 0xFF));
  }
  if (const SystemColourEntry* entry = findEntry(value)) {
    return palette.color(QPalette::Active, entry->role);
  }
  return std::nullopt;
}

QColor colourOf(ColourValue value, const QPalette& palette) {
  return resolveColour(value, palette).value_or(QColor(Qt::black));
}

double contrastRatio(const QColor& a, const QColor& b) {
  const double la = luminance(a);
  const double lb = luminance(b);
  return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor legibleTextColour(const QColor& text, const QColor& background,
                         const QColor& secondBackground) {
  if (contrastRatio(text, background) >= kMinimumTextContrast) return text;
  if (contrastRatio(secondBackground, background) >= kMinimumTextContrast) return secondBackground;
  const QColor black(Qt::black);
  const QColor white(Qt::white);
  return contrastRatio(black, background) >= contrastRatio(white, background) ? black : white;
}

}  // namespace quorlen
