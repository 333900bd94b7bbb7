// The one port the updater talks to. Every open uses this literal name; the platform maps
// it to a device (see platform/port_names.h).
#pragma once

namespace larkspan {
inline constexpr char16_t kCom1[] = u"COM1:";
}  // namespace larkspan
