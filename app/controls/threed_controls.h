// The 3-D group frame and option button. Each has a text colour, a background
// colour and the fixed colour &H00C0C0C0, which draws the dark half of the
// frame's groove and the inner ring of the option's indicator.
//
// Options with the same parent exclude each other, and the group is one stop
// of the Tab key: only the selected option takes the focus by Tab; the arrow
// keys move the selection within the group.
#pragma once

#include <QAbstractButton>
#include <QWidget>

#include "../colours.h"

namespace quorlen {

class ThreedFrame : public QWidget {
  Q_OBJECT

 public:
  explicit ThreedFrame(QWidget* parent = nullptr);

  QString caption() const { return caption_; }
  void setCaption(const QString& caption);
  ColourValue foreColour() const { return fore_; }
  ColourValue backColour() const { return back_; }
  ColourValue shadowColour() const { return shadow_; }
  void setForeColour(ColourValue value);
  void setBackColour(ColourValue value);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QString caption_;
  ColourValue fore_ = sys::kButtonText;
  ColourValue back_ = sys::kButtonFace;
  ColourValue shadow_ = fixed::kSilver;
};

class ThreedOption : public QAbstractButton {
  Q_OBJECT

 public:
  explicit ThreedOption(QWidget* parent = nullptr);

  QString caption() const { return text(); }
  void setCaption(const QString& caption) { setText(caption); }
  bool value() const { return isChecked(); }
  void setValue(bool selected);
  ColourValue foreColour() const { return fore_; }
  ColourValue backColour() const { return back_; }
  ColourValue shadowColour() const { return shadow_; }
  void setForeColour(ColourValue value);
  void setBackColour(ColourValue value);
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  bool hitButton(const QPoint& pos) const override;

 private:
  void updateTabStops();

  ColourValue fore_ = sys::kButtonText;
  ColourValue back_ = sys::kButtonFace;
  ColourValue shadow_ = fixed::kSilver;
};

}  // namespace quorlen
