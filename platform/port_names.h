// Maps the updater's Windows device names ("COM1:") to Linux device paths.
// A plain value: main (or a test) builds it and hands it to the port opener; any thread may
// read it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace larkspan {

struct PortNames {
  std::string com1_path;

  // The device path behind `name` ("COM1:", in any letter case, as Windows takes it), or
  // nullopt for a name we have no device for.
  std::optional<std::string> PathOf(std::u16string_view name) const;

  // com1_path from $LARKSPAN_COM1 (made absolute) when it is set and not empty, else /dev/ttyS0.
  static PortNames FromEnvironment();
};

}  // namespace larkspan
