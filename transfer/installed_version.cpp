#include "transfer/installed_version.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace larkspan {

namespace {
// The text is held in a 256-character buffer with its terminator.
constexpr size_t kMaxTextLength = 255;
}  // namespace

int WriteVersionValue(RegistryKey& key, std::u16string_view value_name, std::string_view text) {
  text = text.substr(0, std::min(text.size(), kMaxTextLength));
  // The text ends at its first NUL, as the widened C string would.
  text = text.substr(0, text.find('\0'));
  std::vector<uint8_t> data;
  for (char c : text) {
    data.push_back(static_cast<uint8_t>(c));  // UTF-16LE: the character, then its high byte 0
    data.push_back(0);
  }
  data.push_back(0);
  data.push_back(0);
  return key.SetStringValue(value_name, data) ? 1 : 0;
}

bool RecordInstalledVersion(Registry& registry) {
  auto key = registry.OpenKey(kInstalledVersionRoot, kInstalledVersionKey);
  return !key || WriteVersionValue(*key, kInstalledVersionValue, kNewVersionText) == 1;
}

}  // namespace larkspan
