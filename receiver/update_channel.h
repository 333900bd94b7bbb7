// The update channel: the connection to "COM1:" through which the upgrade worker does the
// whole upload and every version read reads. It always opens at 4800 baud with DTR and RTS
// low and no flow control; speed changes rewrite only the speed of its kept settings.
// Owned by the program state; used by the dialog thread and the worker, never at once.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "platform/serial_port.h"
#include "platform/user_sink.h"

namespace larkspan {

class UpdateChannel {
 public:
  // Every read waits at most one second; writes end at the latest one second after they began.
  static constexpr CommTimeouts kTimeouts{0, 0, 1000, 0, 1000};
  static constexpr uint32_t kOpenBaud = 4800;
  static constexpr uint32_t kFlagsLow15 = 0x0001;  // binary mode only; DTR and RTS disabled
  static constexpr uint32_t kQueueSize = 4096;

  UpdateChannel(SerialPorts& ports, UserSink& sink) : ports_(ports), sink_(sink) {}

  // Opens "COM1:" at 4800 baud. A handle still open is dropped first without the closing
  // steps. Failures are shown; callers find out later through failing reads and writes.
  void Open();
  // Lowers DTR, then RTS, discards both buffers and closes. Does nothing when not open.
  void Close();
  // Stores the speed in the kept settings and applies the whole record again.
  bool ChangeSpeed(uint32_t baud);
  // One write of exactly these bytes; a failed call shows "writefile fail!".
  void Send(std::span<const uint8_t> bytes);
  // The raw operations; false when the call fails or the channel is not open.
  bool Read(std::span<uint8_t> buffer, size_t& count_read);
  bool Write(std::span<const uint8_t> bytes, size_t& count_written);
  // Waits for the bytes written to leave the host, within the last write's time-out;
  // `left_behind` gets what was still queued then.
  bool Drain(size_t& left_behind);

  bool IsOpen() const { return port_ != nullptr; }
  const LineSettings& settings() const { return settings_; }

 private:
  SerialPorts& ports_;
  UserSink& sink_;
  std::unique_ptr<SerialPort> port_;
  LineSettings settings_{};  // lives for the whole program; never read back from the port
};

// Lowers DTR then RTS, discards both buffers and closes: the closing steps both channels share.
void CloseWithLinesDown(std::unique_ptr<SerialPort>& port);

}  // namespace larkspan
