// The limits of the firmware S-record file that the updater's reader relies on, shared by the
// S-record stream and the payload checks; and the one writer of records, with which
// make-payloads writes its firmware and receiver-sim and the tests write theirs. Header-only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace larkspan {

// One record, from its mark to its line end, fills at most this many bytes...
inline constexpr size_t kRecordSpace = 300;
// ...so its count field is at most 147: 4 + (147 + 1) * 2 = 300.
inline constexpr unsigned kMaxRecordCount = (kRecordSpace - 4) / 2 - 1;

// The width of a record type's address field in bytes: 2 for types 0, 1, 5 and 9, 3 for 2, 6
// and 8, 4 for 3 and 7; 0 for 4 (reserved) and anything that is no record type.
constexpr int SRecordAddressBytes(int type) {
  switch (type) {
    case 0: case 1: case 5: case 9: return 2;
    case 2: case 6: case 8: return 3;
    case 3: case 7: return 4;
    default: return 0;
  }
}

// One S-record of type 0..9 with its CR LF, upper-case hex; the address is written with the
// type's width and the checksum computed. The caller keeps the record within the count limit
// (address bytes + data bytes + 1 <= 255).
inline std::string FormatSRecord(int type, uint32_t address, std::span<const uint8_t> data) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out{'S', static_cast<char>('0' + type)};
  unsigned sum = 0;
  const auto put = [&](uint8_t byte) {
    out += {kDigits[byte >> 4], kDigits[byte & 15]};
    sum += byte;
  };
  const int address_bytes = SRecordAddressBytes(type);
  put(static_cast<uint8_t>(static_cast<size_t>(address_bytes) + data.size() + 1));
  for (int i = address_bytes; i-- > 0;) put(static_cast<uint8_t>(address >> (8 * i)));
  for (const uint8_t byte : data) put(byte);
  put(static_cast<uint8_t>(~sum));
  return out + "\r\n";
}

}  // namespace larkspan
