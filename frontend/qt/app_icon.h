// The updater's icon: a receiver's antenna under a satellite. One drawing serves the windows
// (at 32 x 32 and 16 x 16) and the desktop's icon file (tools/write_icon, at 48 x 48); the
// scalable icon (packaging/larkspan.svg) is written by hand after it. GUI thread.
#pragma once

#include <QIcon>
#include <QPainter>

namespace larkspan {

// Paints the icon on a transparent square of `size` pixels at the painter's origin.
void PaintAppIcon(QPainter& p, int size);

QIcon AppIcon();

}  // namespace larkspan
