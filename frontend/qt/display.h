// Whether a graphical program can show its windows: a display server to talk to, or a Qt
// platform the user named (trusted as named, offscreen among them). Read before the
// application object is made, which aborts the process when it finds no display.
#pragma once

#include <cstdlib>

namespace larkspan {

inline bool HasDisplay() {
  for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value && *value) return true;
  }
  return false;
}

}  // namespace larkspan
