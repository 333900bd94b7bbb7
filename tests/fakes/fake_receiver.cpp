#include "tests/fakes/fake_receiver.h"

#include <utility>

#include "receiver/command_frames.h"

namespace larkspan::testing {

FakeReceiver::FakeReceiver(FakeSerialPorts& port) {
  port.hear = [this](const std::vector<uint8_t>& bytes, uint32_t baud) { Hear(bytes, baud); };
  port.talk = [this](uint32_t baud) { return Talk(baud); };
}

void FakeReceiver::Hear(const std::vector<uint8_t>& bytes, uint32_t baud) {
  switch (mode) {
    case Mode::kNmea:
      if (baud == 4800 && Is(bytes, frames::kSwitchToBinary)) mode = Mode::kBinary;
      break;
    case Mode::kBinary:
      if (baud == 38400 && Is(bytes, frames::kFlashUpdate)) mode = Mode::kFlashUpdate;
      break;
    case Mode::kFlashUpdate:
      if (baud == 38400 && Is(bytes, frames::kLoaderSpeed)) mode = Mode::kLoader;
      break;
    case Mode::kLoader:
      if (baud != 115200) break;
      if (bytes.size() > 1 && bytes[0] == 'S' && (bytes[1] == '7' || bytes[1] == '9')) {
        mode = Mode::kNewFirmwareBinary;
        version_line = "$PSRFTXT,Version: 2.4.13.03.10-GSW2\r\n";
      } else if (bytes.size() > 6 && bytes[0] == 'S' && answered_records-- != 0) {
        answer_ += reject_records ? "SE\r\n" : "S5\r\n";
      }
      break;
    case Mode::kNewFirmwareBinary:
      if (baud == new_firmware_speed && Is(bytes, frames::kSwitchToNmea)) mode = Mode::kNmea;
      break;
  }
}

std::string FakeReceiver::Talk(uint32_t baud) {
  if (!answer_.empty()) return std::exchange(answer_, std::string());
  if (mode == Mode::kNmea && baud == 4800) return version_line;
  return {};
}

}  // namespace larkspan::testing
