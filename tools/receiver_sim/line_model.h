// The serial line between the host and the simulated receiver. A pty carries bytes
// faithfully whatever speeds the two ends set, so this model supplies what a real UART does
// when the two speeds differ: every byte arrives as garbage. Not thread-safe.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace larkspan::sim {

class LineModel {
 public:
  static constexpr uint32_t kDefaultSeed = 0x5EED1234;

  explicit LineModel(uint32_t seed = kDefaultSeed) : state_(seed != 0 ? seed : kDefaultSeed) {}

  // Both ends must run at the same speed for a byte to arrive as sent. A host speed of 0
  // (unknown, or B0 "hang up") never agrees.
  static bool Agree(int host_speed, int sim_speed) {
    return host_speed > 0 && host_speed == sim_speed;
  }

  // The bytes the host receives when the receiver sends `bytes` at `sim_speed` while the
  // host listens at `host_speed`: unchanged when the speeds agree, else as many bytes of
  // garbage. Garbage bytes always have the high bit set, so they never form a "$" or a line
  // feed, and so never make a sentence (or end a line) by accident.
  std::vector<uint8_t> Transmit(std::span<const uint8_t> bytes, int host_speed, int sim_speed);

 private:
  uint8_t NextGarbage();
  uint32_t state_;  // xorshift32: the same seed gives the same garbage in every run
};

}  // namespace larkspan::sim
