// Every control of a dialog in the order the dialog made them, one a line: its id ("-" for
// none), kind, text (a combo box's current one; whether a progress bar shows one), its place in
// dialog units, and "hidden", "disabled", "default", "auto-default" where so. The place is read
// back through the mapping from dialog units to pixels ("?" where no whole units give the
// pixels), so the list is the template's whatever the font.
#pragma once

#include <QtWidgets>

#include <string>

#include "frontend/dialog_units.h"

namespace larkspan::testing {

inline std::string Controls(const QWidget& dialog) {
  const auto units = [&](int pixels, bool across) {
    for (int u = 0; u < 1000; ++u) {
      const QRect r = DialogUnitsToPixels(dialog.font(), u, u, 0, 0);
      if ((across ? r.x() : r.y()) == pixels) return QString::number(u);
    }
    return QStringLiteral("?");
  };
  QString out;
  for (const QWidget* w : dialog.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
    const QString kind = w->metaObject()->className();
    const char* text = kind == "QComboBox" ? "currentText" : kind == "QProgressBar" ? "textVisible" : "text";
    const QRect place = w->geometry();
    out += QStringLiteral("%1 %2 '%3' at %4,%5 size %6x%7")
               .arg(w->objectName().isEmpty() ? "-" : w->objectName(), kind, w->property(text).toString(),
                    units(place.x(), true), units(place.y(), false), units(place.width(), true),
                    units(place.height(), false));
    out += QString(w->isVisibleTo(&dialog) ? "" : " hidden") + (w->isEnabled() ? "" : " disabled") +
           (w->property("default").toBool() ? " default" : "") +
           (w->property("autoDefault").toBool() ? " auto-default" : "") + '\n';
  }
  return out.toStdString();
}

}  // namespace larkspan::testing
