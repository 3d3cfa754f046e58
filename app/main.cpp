// Starting the program means opening the main window; the program ends when
// its last window has closed.
#include <QApplication>

#include "pictures.h"
#include "program.h"
#include "version.h"
#include "window_services.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QString::fromUtf8(quorlen::kProductName));
  QApplication::setApplicationVersion(QString::fromUtf8(quorlen::kVersionText));
  QApplication::setDesktopFileName(QStringLiteral("quorlen"));
  QApplication::setWindowIcon(quorlen::programIcon());

  quorlen::QtWindowServices services;
  quorlen::Program program(services);
  program.start();
  return QApplication::exec();
}
