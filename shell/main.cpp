// Starting the program means opening the main window; the program ends when
// its last window has closed.
#include <QApplication>

#include "app/window_services.h"
#include "shell/program.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  quorlen::applyProgramIdentity();
  quorlen::QtWindowServices services;
  quorlen::Program program(services);
  program.start();
  return QApplication::exec();
}
