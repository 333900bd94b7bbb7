#include "frontend/qt/app_icon.h"

#include <QPainterPath>
#include <QPixmap>

namespace larkspan {

void PaintAppIcon(QPainter& p, int size) {
  p.save();
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(size / 32.0, size / 32.0);
  // A dark blue tile.
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x1F, 0x3A, 0x68));
  p.drawRoundedRect(QRectF(1, 1, 30, 30), 5, 5);
  // The satellite: a body with two panels, up right.
  p.setBrush(QColor(0xF2, 0xC1, 0x2E));
  p.drawRect(QRectF(20, 5, 5, 5));
  p.setBrush(QColor(0x8E, 0xC5, 0xFF));
  p.drawRect(QRectF(14, 6, 5, 3));
  p.drawRect(QRectF(26, 6, 4, 3));
  // Its signal, arcs towards the antenna.
  QPen wave(QColor(0xFF, 0xFF, 0xFF), 1.6);
  wave.setCapStyle(Qt::RoundCap);
  p.setPen(wave);
  p.setBrush(Qt::NoBrush);
  for (int r = 6; r <= 14; r += 4) p.drawArc(QRectF(8 - r, 24 - r, 2 * r, 2 * r), 20 * 16, 50 * 16);
  // The receiver's antenna: a dish on a mast.
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x5C, 0xD6, 0x7A));
  QPainterPath dish;
  dish.moveTo(3, 21);
  dish.quadTo(8, 31, 15, 24);
  dish.closeSubpath();
  p.drawPath(dish);
  p.drawRect(QRectF(7, 25, 2, 5));
  p.restore();
}

namespace {
QPixmap Draw(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  PaintAppIcon(p, size);
  return pixmap;
}
}  // namespace

QIcon AppIcon() {
  QIcon icon;
  icon.addPixmap(Draw(32));
  icon.addPixmap(Draw(16));
  return icon;
}

}  // namespace larkspan
