#include "program.h"

#include <QApplication>
#include <QMetaObject>
#include <QToolTip>

#include "app/error.h"
#include "app/fonts.h"
#include "app/pictures.h"
#include "app/version.h"
#include "app/window_services.h"
#include "help_window/help_frm1.h"
#include "main_window/compact1.h"

namespace quorlen {

void applyProgramIdentity() {
  QApplication::setApplicationName(QString::fromUtf8(kProductName));
  QApplication::setApplicationVersion(QString::fromUtf8(kVersionText));
  QApplication::setDesktopFileName(QStringLiteral("org.quorlen.Quorlen"));
  QApplication::setWindowIcon(programIcon());
  QToolTip::setFont(dialogFont());
}

Program::Program(WindowServices& services) : services_(services) {
  exit_ = [](int status) {
    // Queued, so it also ends a program whose event loop has not started
    // yet, and it leaves every nested loop (a dialog's) as well.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [status] { QCoreApplication::exit(status); },
        Qt::QueuedConnection);
  };
}

Program::~Program() {
  // Windows go first, while the instances they call back into still exist.
  lastActive_ = nullptr;
  helpFrm1_.reset();
  compact1_.reset();
}

void Program::start() {
  compact1().show();
}

Compact1& Program::compact1() {
  if (!compact1_) compact1_ = std::make_unique<Compact1>(*this, [this] { helpFrm1().show(); });
  return *compact1_;
}

HelpFrm1& Program::helpFrm1() {
  if (!helpFrm1_) helpFrm1_ = std::make_unique<HelpFrm1>(*this);
  return *helpFrm1_;
}

void Program::runHandler(const std::function<void()>& handler) {
  if (ending_) return;
  try {
    handler();
  } catch (const std::exception& e) {
    reportEscapedError(&e);
  } catch (...) {
    reportEscapedError(nullptr);
  }
}

void Program::reportEscapedError(const std::exception* error) {
  if (ending_) return;
  ending_ = true;
  const ErrorReport report =
      error != nullptr ? describeException(*error) : ErrorReport{kErrInternal, "Unknown error."};
  const QString prompt = QStringLiteral("Error %1\n\n%2\n\nThe program will now end.")
                             .arg(report.number)
                             .arg(QString::fromStdString(report.description));
  try {
    services_.messageBox(prompt, QString::fromUtf8(kProductName));
  } catch (...) {
    // Nothing more can be shown; the program ends all the same.
  }
  exit_(1);
}

void Program::windowActivated(Form& form) {
  if (lastActive_ == &form) return;
  lastActive_ = &form;
  activate(form);
}

void Program::formUnloaded(Form& form) {
  if (lastActive_ == &form) lastActive_ = nullptr;
}

}  // namespace quorlen
