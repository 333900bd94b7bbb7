// write-icon: writes the updater's icon as a PNG of SIZE x SIZE pixels (default 48), with the
// drawing the programs' windows use. The build runs it for the desktop's icon file. It paints
// into a QImage, which needs neither a display nor an application object.
#include <QImage>

#include <cstdio>
#include <cstdlib>

#include "frontend/qt/app_icon.h"

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fputs("usage: write-icon FILE.png [SIZE]\n", stderr);
    return 2;
  }
  const int size = argc == 3 ? std::atoi(argv[2]) : 48;
  if (size < 1 || size > 1024) {
    std::fprintf(stderr, "write-icon: SIZE is 1 to 1024, not %s\n", argv[2]);
    return 2;
  }
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  larkspan::PaintAppIcon(painter, size);
  painter.end();
  if (!image.save(QString::fromLocal8Bit(argv[1]), "PNG")) {
    std::fprintf(stderr, "write-icon: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
