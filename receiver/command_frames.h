// Every fixed byte sequence the updater sends to the receiver outside the two uploads:
// three SiRF NMEA input sentences and three SiRF binary frames. They are constants; the
// helpers below state the framing rules so that tests (and the simulated receiver) can
// check and parse them. Header-only, no state; any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace larkspan::frames {

// ---- NMEA sentences: "$" body "*" two upper-case hex digits of the XOR of the body, CR LF.

// SiRF NMEA message 100 (set serial port): SiRF binary, 38400 baud, 8 data bits, 1 stop
// bit, no parity. Sent twice at 4800 to start an upgrade.
inline constexpr std::string_view kSwitchToBinary = "$PSRF100,0,38400,8,1,0*3C\r\n";

// SiRF NMEA message 103 (query/rate control): RMC, set rate, once a second, checksums on.
// Sent after the receiver is back in NMEA.
inline constexpr std::string_view kRmcRate = "$PSRF103,4,0,1,1*21\r\n";

// SiRF NMEA message 101 (navigation initialisation): ECEF position -2686700, -4304200,
// 3851624 m, clock drift 75000 Hz, time of week 497260 s, week 921, 12 channels, reset
// configuration 8 (clear memory). The receiver reset's only sentence.
inline constexpr std::string_view kReset =
    "$PSRF101,-2686700,-4304200,3851624,75000,497260,921,12,8*29\r\n";

// ---- SiRF binary frames: A0 A2, payload length (big-endian), payload, 15-bit sum of the
// payload (big-endian), B0 B3.

inline constexpr uint8_t kStart1 = 0xA0, kStart2 = 0xA2, kEnd1 = 0xB0, kEnd2 = 0xB3;
inline constexpr size_t kFrameOverhead = 8;

// Message 148 (0x94), flash update: the receiver leaves navigation for flash-update mode.
inline constexpr std::array<uint8_t, 9> kFlashUpdate = {0xA0, 0xA2, 0x00, 0x01, 0x94,
                                                         0x00, 0x94, 0xB0, 0xB3};

// Message 0x53 with argument 2: the loader speed, sent at 38400 in flash-update mode before
// the host moves to 115200.
inline constexpr std::array<uint8_t, 10> kLoaderSpeed = {0xA0, 0xA2, 0x00, 0x02, 0x53,
                                                          0x02, 0x00, 0x55, 0xB0, 0xB3};

// Message 129 (0x81), switch to NMEA: keep the debug setting; GGA every 1 s, GLL off, GSA and
// GSV every 5 s, RMC, VTG, MSS and the three spare slots off, all with checksums; NMEA at
// 4800 baud (0x12C0). Sent on the probe channel at the speed being tried.
inline constexpr std::array<uint8_t, 32> kSwitchToNmea = {
    0xA0, 0xA2, 0x00, 0x18,                                      // start, length 24
    0x81, 0x02,                                                  // message id, mode
    0x01, 0x01, 0x00, 0x01, 0x05, 0x01, 0x05, 0x01,              // GGA, GLL, GSA, GSV
    0x00, 0x01, 0x00, 0x01, 0x00, 0x01,                          // RMC, VTG, MSS
    0x00, 0x01, 0x00, 0x01, 0x00, 0x01,                          // spare slots
    0x12, 0xC0,                                                  // 4800 baud
    0x01, 0x6A, 0xB0, 0xB3};                                     // checksum, end

inline std::span<const uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// XOR of the characters of an NMEA sentence body (between "$" and "*").
constexpr uint8_t NmeaChecksum(std::string_view body) {
  uint8_t sum = 0;
  for (char c : body) sum ^= static_cast<uint8_t>(c);
  return sum;
}

// The 15-bit checksum of a SiRF binary payload.
constexpr uint16_t SirfChecksum(std::span<const uint8_t> payload) {
  uint32_t sum = 0;
  for (uint8_t b : payload) sum += b;
  return static_cast<uint16_t>(sum & 0x7FFF);
}

// The payload of a well-formed SiRF binary frame (start, length, checksum and end all
// right), or nothing.
inline std::optional<std::span<const uint8_t>> SirfPayload(std::span<const uint8_t> frame) {
  if (frame.size() < kFrameOverhead || frame[0] != kStart1 || frame[1] != kStart2) return {};
  const size_t n = (size_t{frame[2]} << 8) | frame[3];
  if (frame.size() != n + kFrameOverhead) return {};
  const auto payload = frame.subspan(4, n);
  const uint16_t sum = static_cast<uint16_t>((frame[4 + n] << 8) | frame[5 + n]);
  if (sum != SirfChecksum(payload) || frame[6 + n] != kEnd1 || frame[7 + n] != kEnd2) return {};
  return payload;
}

}  // namespace larkspan::frames
