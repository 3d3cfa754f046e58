#include "form.h"

#include <QCloseEvent>
#include <QPainter>

#include "error.h"
#include "fonts.h"
#include "pictures.h"
#include "twips.h"

namespace quorlen {

void FormHost::activate(Form& form) {
  form.activate();
}

Form::Form(FormHost& host, QString name) : host_(host), name_(std::move(name)) {}

Form::~Form() {
  if (FormWindow* w = window_.data()) {
    window_ = nullptr;
    delete w;  // the program is ending: no unload handler runs
  }
}

FormWindow& Form::loadedWindow() const {
  if (window_.isNull()) {
    throw UiError(kErrObjectNotLoaded, "The window " + name_.toStdString() + " is not loaded.");
  }
  return *window_;
}

void Form::load() {
  FormWindow* w = createWindow();
  window_ = w;
  applyDesign(*w);
  host_.runHandler([this] { Form_Load(); });
}

void Form::show() {
  if (window_.isNull()) load();
  FormWindow* w = window_.data();
  if (w == nullptr) return;
  w->show();
  w->raise();
  w->activateWindow();
}

void Form::unload() {
  if (FormWindow* w = window_.data()) w->close();
}

void Form::activate() {
  host_.runHandler([this] { Form_Activate(); });
}

void Form::closing() {
  host_.runHandler([this] { Form_Unload(); });
  // Detach now: Qt deletes the widget a little later, but a show() from here
  // on already loads a new one.
  window_ = nullptr;
  clearDesign();
  host_.formUnloaded(*this);
}

FormWindow::FormWindow(Form& form, Qt::WindowFlags flags) : QWidget(nullptr, flags), form_(&form) {
  setAttribute(Qt::WA_DeleteOnClose);
  setAttribute(Qt::WA_QuitOnClose);
  setObjectName(form.name());
  setFont(dialogFont());
  setWindowIcon(programIcon());
}

void FormWindow::setBackColour(ColourValue value) {
  requireValidColour(value);
  back_ = value;
  update();
}

void FormWindow::setForeColour(ColourValue value) {
  requireValidColour(value);
  fore_ = value;
  update();
}

void FormWindow::setMousePointer(int value) {
  if (value == 11) {
    setCursor(Qt::WaitCursor);
  } else if (value == 0) {
    unsetCursor();
  } else {
    throw UiError(kErrInvalidPropertyValue,
                  "Invalid mouse pointer value " + std::to_string(value) + ".");
  }
  mousePointer_ = value;
}

void FormWindow::setClientSizeTwips(int width, int height) {
  const double dpi = logicalDpiOf(this);
  setFixedSize(twipsToPixels(width, dpi), twipsToPixels(height, dpi));
}

void FormWindow::moveTwips(int left, int top) {
  const double dpi = logicalDpiOf(this);
  move(twipsToPixels(left, dpi), twipsToPixels(top, dpi));
}

void FormWindow::closeEvent(QCloseEvent* event) {
  if (Form* f = form_) {
    form_ = nullptr;
    f->closing();
  }
  event->accept();
}

void FormWindow::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::ActivationChange && isActiveWindow() && form_ != nullptr) {
    form_->host().windowActivated(*form_);
  }
}

void FormWindow::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), colourOf(back_, palette()));
}

}  // namespace quorlen
