// A receiver scripted on the fake port that follows a whole upgrade: NMEA at 4800, SiRF
// binary at 38400 after the switch-to-binary sentence, flash-update mode, the loader at
// 115200 answering each record, then the new firmware in SiRF binary at a chosen speed until
// the switch-to-NMEA frame brings it back to NMEA with the new version.
#pragma once

#include <string>

#include "tests/fakes/fake_serial_port.h"

namespace larkspan::testing {

class FakeReceiver {
 public:
  enum class Mode { kNmea, kBinary, kFlashUpdate, kLoader, kNewFirmwareBinary };

  // Plays the receiver on `port` from now on.
  explicit FakeReceiver(FakeSerialPorts& port);

  uint32_t new_firmware_speed = 115200;
  bool reject_records = false;  // the loader answers "SE" to every record
  std::string version_line = "$PSRFTXT,Version: 2.3.2.03.07-GSW2\r\n";

  Mode mode() const { return mode_; }
  size_t loader_bytes() const { return loader_bytes_; }  // bytes the loader took at 115200

 private:
  void Hear(const std::vector<uint8_t>& bytes, uint32_t baud);
  std::string Talk(uint32_t baud);

  Mode mode_ = Mode::kNmea;
  size_t loader_bytes_ = 0;
  std::string answer_;
};

}  // namespace larkspan::testing
