// A receiver scripted on the fake port that follows a whole upgrade: NMEA at 4800, SiRF
// binary at 38400 after the switch-to-binary sentence, flash-update mode, the loader at
// 115200 answering each record, then the new firmware in SiRF binary at a chosen speed until
// the switch-to-NMEA frame brings it back to NMEA with the new version. A test may start it
// in any mode.
#pragma once

#include <string>

#include "tests/fakes/fake_serial_port.h"

namespace larkspan::testing {

class FakeReceiver {
 public:
  enum class Mode { kNmea, kBinary, kFlashUpdate, kLoader, kNewFirmwareBinary };

  // Plays the receiver on `port` from now on.
  explicit FakeReceiver(FakeSerialPorts& port);

  Mode mode = Mode::kNmea;
  uint32_t new_firmware_speed = 115200;
  bool reject_records = false;  // the loader answers "SE" to every record
  int answered_records = -1;    // >= 0: the loader falls silent after answering this many
  std::string version_line = "$PSRFTXT,Version: 2.3.2.03.07-GSW2\r\n";  // said in NMEA at 4800

 private:
  void Hear(const std::vector<uint8_t>& bytes, uint32_t baud);
  std::string Talk(uint32_t baud);

  std::string answer_;
};

}  // namespace larkspan::testing
