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
  bool any_mains = false;
  for (const auto& supply : supplies) {
    if (FirstLine(supply.path() / "type") != "Mains") continue;
    const std::string online = FirstLine(supply.path() / "online");
    if (online == "1") return kOnline;
    if (online == "0") any_mains = true;
  }
  return any_mains ? kOffline : kUnknown;
}

}  // namespace larkspan
