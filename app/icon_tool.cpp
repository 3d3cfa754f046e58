// Writes the program icon as a PNG file, for the desktop entry. Used by the
// build; not installed.
#include <QGuiApplication>
#include <cstdio>

#include "pictures.h"

int main(int argc, char* argv[]) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: quorlen-icon OUTPUT.png\n");
    return 2;
  }
  if (!quorlen::programIconImage().save(QString::fromLocal8Bit(argv[1]), "PNG")) {
    std::fprintf(stderr, "cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
