#include "tools/receiver_sim/line_model.h"

namespace larkspan::sim {

std::vector<uint8_t> LineModel::Transmit(std::span<const uint8_t> bytes, int host_speed,
                                         int sim_speed) {
  std::vector<uint8_t> out(bytes.begin(), bytes.end());
  if (!Agree(host_speed, sim_speed)) {
    for (uint8_t& b : out) b = NextGarbage();
  }
  return out;
}

uint8_t LineModel::NextGarbage() {
  state_ ^= state_ << 13;
  state_ ^= state_ >> 17;
  state_ ^= state_ << 5;
  return static_cast<uint8_t>(0x80 | (state_ & 0x7F));
}

}  // namespace larkspan::sim
