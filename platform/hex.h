// The value of one hexadecimal digit, either case. Header-only; any thread.
#pragma once

namespace larkspan {

// 0 to 15, or -1 when the byte is not a hexadecimal digit.
constexpr int HexValue(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace larkspan
