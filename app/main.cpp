// Starting the program means opening the main window; the program ends when
// its last window has closed.
#include <QApplication>

#include "program.h"
#include "window_services.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  quorlen::applyProgramIdentity();
  quorlen::QtWindowServices services;
  quorlen::Program program(services);
  program.start();
  return QApplication::exec();
}
