// The probe channel: a second connection to "COM1:", opened at the caller's speed with DTR
// and RTS raised and CTS output flow control (dropped where the port shows CTS low), whose
// reads never wait. It sends the
// switch-to-NMEA frame to a receiver left in SiRF binary mode, and the receiver reset keeps
// its own handle of the port here. One instance, owned by the program state.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "platform/clock.h"
#include "platform/serial_port.h"
#include "platform/user_sink.h"

namespace larkspan {

class ProbeChannel {
 public:
  // Reads return at once; a write of n bytes ends at the latest 10 * n + 1000 ms after it began.
  static constexpr CommTimeouts kTimeouts{kMaxTimeout, 0, 0, 10, 1000};
  // Binary, parity checking, CTS output flow, DTR enabled, RTS enabled.
  static constexpr uint32_t kFlagsLow15 = 0x1017;
  static constexpr uint32_t kQueueSize = 512;
  // The reset's own line settings: 4800 baud; binary, parity checking, DTR enabled,
  // continue after XOFF, RTS disabled.
  static constexpr uint32_t kResetBaud = 4800;
  static constexpr uint32_t kResetFlagsLow15 = 0x0093;
  // The reset never reads; its writes have no time limit.
  static constexpr CommTimeouts kResetTimeouts{250, 100, 10, 0, 0};

  ProbeChannel(SerialPorts& ports, UserSink& sink, Clock& clock)
      : ports_(ports), sink_(sink), clock_(clock) {}
  ProbeChannel(const ProbeChannel&) = delete;
  ProbeChannel& operator=(const ProbeChannel&) = delete;
  ~ProbeChannel() { Close(); }

  // Opens and configures the port. After a refusal of its settings or time-outs the port
  // stays open under this channel; callers close the channel when an open fails. Where the
  // port reports its modem lines and CTS is low, CTS flow control is dropped again.
  bool Open(std::u16string_view port, uint32_t speed);
  // Lowers DTR, then RTS, discards both buffers and closes. Does nothing when not open.
  void Close();
  // Writes the characters of the text in one write; a failed write is ignored.
  void SendText(std::string_view text);
  // Writes the 32-byte switch-to-NMEA frame and waits for it to leave the host, reporting a
  // closed channel or a failed or short write. Nothing is read back.
  void SendSwitchToNmeaFrame();
  // Opens "COM1:" at 4800 with its own settings, sends the reset sentence, holds the port
  // five seconds and closes it plainly. True once it reached the sending step.
  bool ResetReceiver();

  bool IsOpen() const { return port_ != nullptr; }

  // Told the first time an open finds CTS low and goes on without CTS flow control; set by
  // the front-end before the first open, called on the thread that opens.
  std::function<void()> on_cts_low;
  const LineSettings& reset_settings() const { return reset_settings_; }

 private:
  SerialPorts& ports_;
  UserSink& sink_;
  Clock& clock_;
  std::unique_ptr<SerialPort> port_;
  LineSettings reset_settings_{};  // all zero until the first reset fills it
  bool cts_low_told_ = false;
};

// The box text for a port that could not be opened, with the system's error number.
WideText UnableToOpenText(std::u16string_view port, int error);

}  // namespace larkspan
