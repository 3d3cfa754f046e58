// Our panel, label and push button. Each stores a text colour, a background
// colour, a second background colour and four fixed colours as colour values
// (see colours.h) and resolves them against the palette when it paints.
//
// How they draw:
//   panel   background fill; a raised one-pixel bevel in the fixed white and
//           dark grey, and inside it a one-pixel line in the second
//           background colour. Children are clipped to the panel.
//   label   background fill; the caption left-aligned, word-wrapped and
//           centred vertically. Where the text colour does not read on the
//           background (both black, say: window text on window frame), the
//           caption is drawn in the second background colour, or failing
//           that in black or white (legibleTextColour in colours.h), so a
//           label never draws text that cannot be seen.
//   button  background fill; a two-ring bevel (outer: fixed white / dark
//           grey; inner: second background / fixed grey), sunken while
//           pressed; picture and caption centred together; a dotted focus
//           frame while it has the keyboard focus.
#pragma once

#include <QAbstractButton>
#include <QPixmap>
#include <QWidget>
#include <array>

#include "../colours.h"

namespace quorlen {

// The colour settings shared by the three controls.
template <class Base>
class VantorColoured : public Base {
 public:
  using Base::Base;

  ColourValue foreColour() const { return fore_; }
  ColourValue backColour() const { return back_; }
  ColourValue backColour2() const { return back2_; }
  const std::array<ColourValue, 4>& fixedColours() const { return fixed_; }

  // Each setter refuses an invalid colour value with UiError 380 and keeps the
  // old one.
  void setForeColour(ColourValue value) { set(fore_, value); }
  void setBackColour(ColourValue value) { set(back_, value); }
  void setBackColour2(ColourValue value) { set(back2_, value); }
  void setFixedColours(const std::array<ColourValue, 4>& values) {
    for (ColourValue v : values) requireValidColour(v);
    fixed_ = values;
    this->update();
  }

 protected:
  QColor resolved(ColourValue value) const { return colourOf(value, this->palette()); }

 private:
  void set(ColourValue& slot, ColourValue value) {
    requireValidColour(value);
    slot = value;
    this->update();
  }

  ColourValue fore_ = sys::kWindowText;
  ColourValue back_ = sys::kButtonFace;
  ColourValue back2_ = fixed::kLightGrey;
  std::array<ColourValue, 4> fixed_ = {fixed::kDarkGrey, fixed::kSilver, fixed::kGrey,
                                       fixed::kWhite};
};

class VantorPanel : public VantorColoured<QWidget> {
  Q_OBJECT

 public:
  explicit VantorPanel(QWidget* parent = nullptr);
  QString caption() const { return caption_; }
  void setCaption(const QString& caption);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QString caption_;
};

class VantorLabel : public VantorColoured<QWidget> {
  Q_OBJECT

 public:
  explicit VantorLabel(QWidget* parent = nullptr);
  QString caption() const { return caption_; }
  void setCaption(const QString& caption);
  // The colour the caption is drawn in under the current palette.
  QColor captionColour() const;
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QString caption_;
};

class VantorButton : public VantorColoured<QAbstractButton> {
  Q_OBJECT

 public:
  explicit VantorButton(QWidget* parent = nullptr);
  QString caption() const { return text(); }
  void setCaption(const QString& caption) { setText(caption); }
  QPixmap picture() const { return picture_; }
  void setPicture(const QPixmap& picture);
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QPixmap picture_;
};

}  // namespace quorlen
