// Dialog units to pixels, as a dialog toolkit lays out a template: from the average width of
// the Latin letters and the height of the dialog's font. GUI thread.
#pragma once

#include <QFont>
#include <QRect>

namespace larkspan {
QRect DialogUnitsToPixels(const QFont& font, int left, int top, int width, int height);
}  // namespace larkspan
