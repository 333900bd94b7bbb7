#include "platform/device_root.h"

#include <cstdlib>
#include <string>

namespace larkspan {

namespace {
// $name when set and not empty.
const char* Env(const char* name) {
  const char* value = std::getenv(name);
  return value && *value ? value : nullptr;
}

// ${xdg_variable:-$HOME/fallback}
std::filesystem::path XdgFolder(const char* xdg_variable, const char* fallback) {
  if (const char* xdg = Env(xdg_variable)) return xdg;
  const char* home = Env("HOME");
  return std::filesystem::path(home ? home : ".") / fallback;
}
}  // namespace

std::filesystem::path DeviceRoot() {
  if (const char* root = Env("LARKSPAN_ROOT")) return root;
  return XdgFolder("XDG_DATA_HOME", ".local/share") / "larkspan";
}

std::filesystem::path RegistryRoot() {
  if (const char* root = Env("LARKSPAN_REGISTRY")) return root;
  return XdgFolder("XDG_CONFIG_HOME", ".config") / "larkspan" / "registry";
}

}  // namespace larkspan
