// The updater's icon, drawn at 32 x 32 and 16 x 16: a receiver's antenna under a satellite.
// GUI thread.
#pragma once

#include <QIcon>

namespace larkspan {
QIcon AppIcon();
}  // namespace larkspan
