// A window class with one program-wide instance (Form) and the top-level
// widget that exists while it is loaded (FormWindow).
//
//   show()    loads the window when it is not loaded (creates the widget,
//             applies the design data, runs Form_Load), shows it and makes
//             it the active window; on a loaded window it only activates it.
//   unload()  closes the window as its close command does: Form_Unload runs,
//             then the widget and its controls are destroyed. The instance
//             stays, and the next show() loads it afresh.
// When the last window of the program is closed, the program ends (Qt's
// quit-on-last-window-closed); nothing calls an explicit exit.
#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>
#include <functional>

#include "colours.h"

namespace quorlen {

class Form;
class FormWindow;
class WindowServices;

// What a window needs of the program that holds it: the window services,
// the running of its event handlers (an error that escapes one ends the
// program) and the bookkeeping of which window is active. The program shell
// (shell/program.h) is one; the windows know only this.
class FormHost {
 public:
  virtual ~FormHost() = default;
  virtual WindowServices& services() = 0;
  // Runs an event handler of a window.
  virtual void runHandler(const std::function<void()>& handler) = 0;
  // The window became the program's active window / was unloaded.
  virtual void windowActivated(Form& form) = 0;
  virtual void formUnloaded(Form& form) = 0;

 protected:
  // Runs the activation handler of FORM.
  static void activate(Form& form);
};

class Form {
 public:
  Form(FormHost& host, QString name);
  virtual ~Form();
  Form(const Form&) = delete;
  Form& operator=(const Form&) = delete;

  const QString& name() const { return name_; }
  void show();
  void unload();
  bool isLoaded() const { return !window_.isNull(); }
  // The loaded window, or nullptr.
  FormWindow* window() const { return window_.data(); }
  // The loaded window; throws UiError 91 when the window is not loaded.
  FormWindow& loadedWindow() const;

 protected:
  // Creates the window's widget with its flags, size and title.
  virtual FormWindow* createWindow() = 0;
  // Creates the controls from the design data. Runs before Form_Load.
  virtual void applyDesign(FormWindow& window) = 0;
  // Forgets the controls of an unloaded window.
  virtual void clearDesign() = 0;

  virtual void Form_Load() {}
  virtual void Form_Activate() {}
  virtual void Form_Unload() {}

  FormHost& host() { return host_; }

 private:
  friend class FormWindow;
  friend class FormHost;
  void load();
  void activate();
  void closing();

  FormHost& host_;
  QString name_;
  QPointer<FormWindow> window_;
};

class FormWindow : public QWidget {
  Q_OBJECT

 public:
  FormWindow(Form& form, Qt::WindowFlags flags);

  // The window's own colours; refused values throw UiError 380.
  ColourValue backColour() const { return back_; }
  ColourValue foreColour() const { return fore_; }
  void setBackColour(ColourValue value);
  void setForeColour(ColourValue value);

  // 11: hourglass, 0: default. Any other value throws UiError 380.
  int mousePointer() const { return mousePointer_; }
  void setMousePointer(int value);

  // Size of the client area and position of the window's top-left corner
  // (its frame's, where it has one), both in twips.
  void setClientSizeTwips(int width, int height);
  void moveTwips(int left, int top);

  Form* form() const { return form_; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  Form* form_;
  ColourValue back_ = sys::kButtonFace;
  ColourValue fore_ = sys::kButtonText;
  int mousePointer_ = 0;
};

}  // namespace quorlen
