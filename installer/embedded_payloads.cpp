#include "installer/embedded_payloads.h"

#include <algorithm>

namespace larkspan {

namespace {
char16_t Upper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c; }

bool SameIgnoringCase(std::u16string_view a, std::u16string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char16_t x, char16_t y) { return Upper(x) == Upper(y); });
}
}  // namespace

std::optional<std::span<const uint8_t>> EmbeddedPayloads::Find(std::u16string_view type, uint16_t id) const {
  for (const EmbeddedPayload& payload : table_) {
    if (payload.id == id && SameIgnoringCase(payload.type, type)) return payload.bytes;
  }
  return std::nullopt;
}

}  // namespace larkspan
