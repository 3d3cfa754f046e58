// A single-line text box that reports a double-click.
#pragma once

#include <QLineEdit>
#include <QMouseEvent>

namespace quorlen {

class PathField : public QLineEdit {
  Q_OBJECT

 public:
  using QLineEdit::QLineEdit;

 signals:
  void doubleClicked();

 protected:
  void mouseDoubleClickEvent(QMouseEvent* event) override {
    QLineEdit::mouseDoubleClickEvent(event);
    if (event->button() == Qt::LeftButton) emit doubleClicked();
  }
};

}  // namespace quorlen
