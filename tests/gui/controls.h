// A dialog's caption, font size, icon sizes and size in dialog units; then every control in the
// order the dialog made them, one a line: its id ("-" for none), kind, text (a combo box's
// current one; whether a progress bar shows one), its place in dialog units, and "hidden",
// "disabled", "default", "auto-default", "plain" (a label's text shown as it is, markup and all),
// a combo box's items and "editable" where so. The place is read
// back through the mapping from dialog units to pixels ("?" where no whole units give the
// pixels), so the list is the template's whatever the font.
#pragma once

#include <QtWidgets>

#include <string>

#include "frontend/qt/dialog_units.h"

inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace larkspan::testing {

inline std::string Controls(const QWidget& dialog) {
  const auto units = [&](int pixels, bool across) {
    for (int u = 0; u < 1000; ++u) {
      const QRect r = DialogUnitsToPixels(dialog.font(), u, u, 0, 0);
      if ((across ? r.x() : r.y()) == pixels) return QString::number(u);
    }
    return QStringLiteral("?");
  };
  QString out = QStringLiteral("'%1' font %2 icons %3 size %4x%5\n")
                    .arg(dialog.windowTitle()).arg(dialog.font().pointSize())
                    .arg(dialog.windowIcon().availableSizes().size())
                    .arg(units(dialog.width(), true), units(dialog.height(), false));
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
           (w->property("autoDefault").toBool() ? " auto-default" : "");
    const auto* label = qobject_cast<const QLabel*>(w);
    out += label && label->textFormat() == Qt::PlainText ? " plain" : "";
    if (const auto* box = qobject_cast<const QComboBox*>(w)) {
      for (int i = 0; i < box->count(); ++i) out += (i ? "," : " items ") + box->itemText(i);
      out += box->isEditable() ? " editable" : "";
    }
    out += '\n';
  }
  return out.toStdString();
}

}  // namespace larkspan::testing
