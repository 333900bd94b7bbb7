#include "platform/device_root.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace larkspan {

namespace {
// $name when set and not empty.
const char* Env(const char* name) {
  const char* value = std::getenv(name);
  return value && *value ? value : nullptr;
}

// $HOME when it is an absolute path, else the user's home from the password database.
std::filesystem::path Home() {
  if (const char* home = Env("HOME"); home && *home == '/') return home;
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir &&
      *found->pw_dir == '/') {
    return found->pw_dir;
  }
  return "/";
}

// ${xdg_variable:-$HOME/fallback}; a relative value is ignored, as the XDG rules say.
std::filesystem::path XdgFolder(const char* xdg_variable, const char* fallback) {
  if (const char* xdg = Env(xdg_variable); xdg && *xdg == '/') return xdg;
  return Home() / fallback;
}
}  // namespace

std::filesystem::path AbsolutePath(const std::filesystem::path& path) {
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(path, error);
  return error ? path : absolute.lexically_normal();
}

std::filesystem::path DeviceRoot() {
  if (const char* root = Env("LARKSPAN_ROOT")) return AbsolutePath(root);
  return XdgFolder("XDG_DATA_HOME", ".local/share") / "larkspan";
}

std::filesystem::path HistoryFile() {
  return XdgFolder("XDG_STATE_HOME", ".local/state") / "larkspan" / "history.jsonl";
}

std::filesystem::path RegistryRoot() {
  if (const char* root = Env("LARKSPAN_REGISTRY")) return AbsolutePath(root);
  return XdgFolder("XDG_CONFIG_HOME", ".config") / "larkspan" / "registry";
}

}  // namespace larkspan
