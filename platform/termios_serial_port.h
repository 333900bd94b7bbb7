// The serial-port seam on a Linux tty (termios, poll): what the updater and the end-to-end
// tests talk to the receiver through. TermiosSerialPorts is built once by main (or a test) and
// may be shared; each TermiosSerialPort it opens is used by one thread at a time.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "platform/port_names.h"
#include "platform/serial_devices.h"
#include "platform/serial_port.h"
#include "platform/tty_latency.h"

namespace larkspan {

// One open tty. The descriptor is non-blocking; reads and writes wait with poll() on a
// monotonic deadline built from the time-outs, the way a Windows comm port counts them.
// Received bytes go through a buffer: one read() takes whatever is waiting, and the one-byte
// reads of the answer and version readers are served from it. A write ends once its bytes
// are queued; Drain() waits until they have left, and so does the next purge, settings
// change, line change or close, each within the last write's time-out.
class TermiosSerialPort final : public SerialPort {
 public:
  // Takes over `fd`: an open, locked tty in raw mode (see TermiosSerialPorts::Open).
  explicit TermiosSerialPort(int fd) : fd_(fd) {}
  // Lets queued bytes leave, puts the latency back, clears the tty's exclusive flag and closes
  // the descriptor, which drops the lock. A plain close: the modem lines stay as they are.
  ~TermiosSerialPort() override;
  TermiosSerialPort(const TermiosSerialPort&) = delete;
  TermiosSerialPort& operator=(const TermiosSerialPort&) = delete;

  bool GetState(LineSettings& settings) override;
  bool SetState(const LineSettings& settings) override;
  bool GetTimeouts(CommTimeouts& timeouts) override;
  bool SetTimeouts(const CommTimeouts& timeouts) override;
  bool SetupQueues(uint32_t in_size, uint32_t out_size) override;
  bool Purge(uint32_t flags) override;
  bool EscapeFunction(Escape function) override;
  bool Read(std::span<uint8_t> buffer, size_t& count_read) override;
  bool Write(std::span<const uint8_t> bytes, size_t& count_written) override;
  bool Drain(size_t& left_behind) override;
  bool GetModemStatus(std::optional<uint32_t>& lines) override;
  int LastError() const override { return last_error_; }

  // Queue sizes last requested. A tty's queues have fixed sizes, so these are only kept.
  uint32_t in_queue_size() const { return in_queue_size_; }
  uint32_t out_queue_size() const { return out_queue_size_; }
  int fd() const { return fd_; }
  // Keeps `latency` held until this handle closes.
  void HoldLowLatency(std::unique_ptr<LowLatencyHold> latency) { latency_ = std::move(latency); }
  // The descriptor shares a port hold's open file: its close leaves TIOCEXCL to the hold.
  void ShareHold() { shares_hold_ = true; }
  const LowLatencyHold* latency() const { return latency_.get(); }

 private:
  using Deadline = std::optional<std::chrono::steady_clock::time_point>;  // nullopt: no limit
  bool Fail(int error);
  bool DriveLine(int line, bool raise);
  // Waits, until the last write's deadline, for the bytes it queued to leave the host;
  // `left_behind` gets the number still queued then.
  bool LetQueuedBytesLeave(int* left_behind = nullptr);
  // Bytes from the receive buffer into `out`, as many as fit.
  size_t TakeBuffered(std::span<uint8_t> out);
  // One read() of whatever waits into the empty buffer; `got` 0 when nothing did.
  bool Fill(size_t& got);

  int fd_;
  std::unique_ptr<LowLatencyHold> latency_;
  bool shares_hold_ = false;
  uint32_t line_controls_ = 0;  // DTR- and RTS-control fields of the last applied settings
  bool bytes_queued_ = false;      // a write left bytes that may not have left the host yet
  Deadline queued_deadline_;       // that write's deadline
  CommTimeouts timeouts_{};
  uint32_t in_queue_size_ = 0;
  uint32_t out_queue_size_ = 0;
  int last_error_ = 0;
  std::array<uint8_t, 4096> received_{};
  size_t received_at_ = 0, received_end_ = 0;  // the bytes not yet handed out
};

// Opens ports by device name through PortNames, exclusively: TIOCEXCL keeps out other
// openers (but not root), and an flock() keeps out every careful program, root or not. Each
// open then asks the driver for low latency (see tty_latency.h). The kernel's console and a
// serial port without a UART are never opened, whatever name reaches them.
class TermiosSerialPorts final : public SerialPorts {
 public:
  // `driver` outlives this object; nullptr: the machine's own drivers.
  explicit TermiosSerialPorts(PortNames names, TtyDriver* driver = nullptr, SystemFiles files = {});
  // Fails with ENOENT for an unknown name, ENOTTY for a path that is not a tty, EBUSY for the
  // console or a port without a UART (before any open), EWOULDBLOCK when another handle holds
  // the port, or whatever open() or the tty refused with.
  std::unique_ptr<SerialPort> Open(std::u16string_view name, int& error) override;
  bool IsPseudoTerminal(std::u16string_view name) const override;
  // A descriptor of the port's own, locked (flock) and exclusive (TIOCEXCL), kept open while
  // the hold lives. Opens of that device through this object duplicate it instead of opening
  // the device anew: a flock belongs to one open file description, and TIOCEXCL would refuse
  // a new open to any user but root. Nothing else can open the port meanwhile, root only
  // past TIOCEXCL and never past the flock of a careful program.
  std::unique_ptr<PortHold> Hold(std::u16string_view name) override;

  // Set before the first open. Told once of a USB-serial adapter whose latency timer stays
  // above 1 ms, and once of the first open that failed (the device path and the error).
  std::function<void(const SlowLine&)> on_slow_line;
  std::function<void(const std::string& path, int error)> on_open_failure;

 private:
  std::unique_ptr<SerialPort> OpenTty(const std::string& path, int& error);

  class TtyHold;
  PortNames names_;
  SystemFiles files_;
  std::atomic<int> held_fd_{-1};       // the hold's descriptor, or -1
  std::atomic<dev_t> held_device_{0};  // and the device it holds
  TtyDriver own_driver_;
  TtyDriver& driver_;
  std::atomic<bool> slow_line_told_{false};
  std::atomic<bool> open_failure_told_{false};
};

}  // namespace larkspan
