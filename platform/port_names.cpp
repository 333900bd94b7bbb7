#include "platform/port_names.h"

#include <algorithm>
#include <cstdlib>

#include "platform/device_root.h"

namespace larkspan {

namespace {
constexpr std::u16string_view kCom1Name = u"COM1:";
constexpr const char* kCom1Default = "/dev/ttyS0";

char16_t AsciiUpper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c; }
}  // namespace

std::optional<std::string> PortNames::PathOf(std::u16string_view name) const {
  const bool is_com1 = std::ranges::equal(name, kCom1Name, {}, AsciiUpper);
  if (!is_com1) return std::nullopt;
  return com1_path;
}

PortNames PortNames::FromEnvironment() {
  const char* from_env = std::getenv("LARKSPAN_COM1");
  return PortNames{from_env != nullptr && *from_env != '\0' ? AbsolutePath(from_env).string() : kCom1Default};
}

}  // namespace larkspan
