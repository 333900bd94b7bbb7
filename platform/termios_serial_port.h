// The serial-port seam on a Linux tty (termios, poll): what the updater and the end-to-end
// tests talk to the receiver through. TermiosSerialPorts is built once by main (or a test) and
// may be shared; each TermiosSerialPort it opens is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "platform/port_names.h"
#include "platform/serial_port.h"

namespace larkspan {

// One open tty. The descriptor is non-blocking; reads and writes wait with poll() on a
// monotonic deadline built from the time-outs, the way a Windows comm port counts them.
class TermiosSerialPort final : public SerialPort {
 public:
  // Takes over `fd`: an open, locked tty in raw mode (see TermiosSerialPorts::Open).
  explicit TermiosSerialPort(int fd);
  // Clears the tty's exclusive flag and closes the descriptor, which drops the lock.
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
  int LastError() const override { return last_error_; }

  // Queue sizes last requested. A tty's queues have fixed sizes, so these are only kept.
  uint32_t in_queue_size() const { return in_queue_size_; }
  uint32_t out_queue_size() const { return out_queue_size_; }
  int fd() const { return fd_; }

 private:
  bool Fail(int error);
  bool DriveLine(int line, bool raise);
  bool ReadAvailable(std::span<uint8_t> buffer, size_t& count_read);

  int fd_;
  uint32_t line_controls_ = 0;  // DTR- and RTS-control fields of the last applied settings
  CommTimeouts timeouts_{};
  uint32_t in_queue_size_ = 0;
  uint32_t out_queue_size_ = 0;
  int last_error_ = 0;
};

// Opens ports by device name through PortNames, exclusively: TIOCEXCL keeps out other
// openers (but not root), and an flock() keeps out every careful program, root or not.
class TermiosSerialPorts final : public SerialPorts {
 public:
  explicit TermiosSerialPorts(PortNames names);
  // Fails with ENOENT for an unknown name, ENOTTY for a path that is not a tty, EWOULDBLOCK
  // when another handle holds the port, or whatever open() or the tty refused with.
  std::unique_ptr<SerialPort> Open(std::u16string_view name, int& error) override;

 private:
  PortNames names_;
};

}  // namespace larkspan
