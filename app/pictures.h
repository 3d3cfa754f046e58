// The program's pictures, drawn here: the three 16 x 16 button pictures with
// a transparent background and the 32 x 32 program icon. They use colours of
// the standard 16-colour set only.
#pragma once

#include <QIcon>
#include <QImage>

namespace quorlen {

QImage tickPicture();       // red tick, for OK
QImage crossPicture();      // black cross, for Cancel
QImage questionPicture();   // blue-green question mark, for Help
QImage programIconImage();  // 32 x 32
QIcon programIcon();

}  // namespace quorlen
