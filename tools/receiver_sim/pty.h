// The simulated receiver's end of a pseudo-terminal: the master side, raw and non-blocking,
// plus a descriptor of the slave that the simulator holds for its whole life. The host (the
// updater under test) opens the slave path as its serial port. Single-threaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <sys/types.h>
#include <utility>

namespace larkspan::sim {

class Pty {
 public:
  // Creates the pair: master in raw mode at `speed`, non-blocking; slave held open. Returns
  // nothing and says why in `error` on failure.
  static std::unique_ptr<Pty> Open(int speed, std::string* error);
  ~Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  int master_fd() const { return master_; }
  const std::string& slave_path() const { return slave_path_; }

  // The speed the host last set on the slave, in baud; 0 if unknown. A pty keeps one set of
  // line settings, which tcgetattr on the master reads.
  int HostSpeed() const;

  // Reads what the host wrote. Returns the count, 0 when nothing waits, -1 on error (errno).
  ssize_t Read(std::span<uint8_t> buffer);

  // Puts bytes on the line for the host. Like a serial line with nobody listening, bytes
  // that find no room are lost: returns how many went in (the rest were dropped).
  size_t Write(std::span<const uint8_t> bytes);

  // Bytes the host has not read yet.
  size_t Unread() const;

  // A real UART driver buffers this much for a reader who does not read; beyond it the
  // receiver's output is lost.
  static constexpr size_t kHostBuffer = 4096;

 private:
  Pty(int master, int slave, std::string slave_path)
      : master_(master), slave_(slave), slave_path_(std::move(slave_path)) {}
  int master_;
  // Held so that the master never sees a hang-up (POLLHUP, EIO) while the host has the
  // slave closed, and so that the line settings persist between the host's opens. It is
  // never locked (no flock, no TIOCEXCL): the host must be able to open and lock the slave.
  int slave_;
  std::string slave_path_;
};

// speed_t constants and baud numbers; 0 / B0 where there is no match.
int BaudFromSpeed(unsigned speed);
unsigned SpeedFromBaud(int baud);

}  // namespace larkspan::sim
