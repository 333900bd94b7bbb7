#include "platform/power_status.h"

#include <fstream>
#include <string>
#include <system_error>

namespace larkspan {

namespace {
constexpr uint8_t kOffline = 0, kOnline = 1, kUnknown = 255;

std::string FirstLine(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}
}  // namespace

std::optional<uint8_t> SysfsPowerStatus::AcLineStatus() {
  std::error_code error;
  if (!std::filesystem::exists(supplies_, error)) return kUnknown;
  std::filesystem::directory_iterator supplies(supplies_, error);
  if (error) return std::nullopt;
  bool offline = false;  // a supply that says so, or a battery the device runs on
  for (const auto& supply : supplies) {
    const std::string type = FirstLine(supply.path() / "type");
    // A USB charger (USB-C, USB PD) is external power as much as a mains adapter is.
    if (type == "Mains" || type == "USB") {
      const std::string online = FirstLine(supply.path() / "online");
      if (online == "1") return kOnline;
      if (online == "0") offline = true;
    } else if (type == "Battery") {
      offline = true;
    }
  }
  return offline ? kOffline : kUnknown;
}

}  // namespace larkspan
