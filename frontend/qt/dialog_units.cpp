#include "frontend/qt/dialog_units.h"

#include <QFontMetrics>
#include <QString>

namespace larkspan {

QRect DialogUnitsToPixels(const QFont& font, int left, int top, int width, int height) {
  // A horizontal unit is a quarter of the base width, a vertical unit an eighth of the base
  // height; the base width is the letters' average, rounded as the toolkit does.
  const QFontMetrics metrics(font);
  const int letters = metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  const int base_x = (letters / 26 + 1) / 2;
  const int base_y = metrics.height();
  auto x = [&](int units) { return (units * base_x + 2) / 4; };
  auto y = [&](int units) { return (units * base_y + 4) / 8; };
  return QRect(x(left), y(top), x(width), y(height));
}

}  // namespace larkspan
