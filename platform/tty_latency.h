// How soon the bytes a receiver sends reach the updater. A PC's UART hands them over at once;
// a USB-serial adapter holds them until its latency timer runs out (16 ms by default on FTDI
// adapters), and the loader's four-byte answer to each of the firmware's records would wait
// that long every time. On every open the termios back-end asks the driver for low latency
// and sets such a timer to 1 ms, and puts both back as they were when the handle closes.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace larkspan {

// The driver calls behind it: the serial driver's flags (TIOCGSERIAL/TIOCSSERIAL) and, in
// sysfs, a USB-serial device's driver and latency timer. A seam: a pseudo-terminal has none
// of them, so tests play the drivers that do. The default is the machine's own.
class TtyDriver {
 public:
  explicit TtyDriver(std::filesystem::path sysfs = "/sys") : sysfs_(std::move(sysfs)) {}
  virtual ~TtyDriver() = default;

  // The serial driver's flags, or nothing where the driver keeps none (a pty, cdc_acm).
  virtual std::optional<int> SerialFlags(int fd);
  virtual bool SetSerialFlags(int fd, int flags);
  // For the tty named `tty` by the kernel (ttyUSB0): its USB-serial driver's name, or nothing
  // when it is not a USB-serial device; its latency timer in ms, or nothing where it has none.
  virtual std::optional<std::string> UsbSerialDriver(const std::string& tty);
  virtual std::optional<int> LatencyTimerMs(const std::string& tty);
  virtual bool SetLatencyTimerMs(const std::string& tty, int ms);

 private:
  std::filesystem::path Device(const std::string& tty) const { return sysfs_ / "class/tty" / tty / "device"; }
  std::filesystem::path sysfs_;
};

// A USB-serial adapter whose latency timer stayed above 1 ms: what a user is told, once.
struct SlowLine {
  std::string tty;     // the kernel's name: ttyUSB0
  std::string driver;  // ftdi_sio
  int latency_ms = 0;
};

// Low latency held on one open tty, put back when it goes. Every call may fail quietly: a
// driver that refuses leaves the line as it was, never a failed open.
class LowLatencyHold {
 public:
  // `tty` is the kernel's name of the device that `fd` is open on.
  LowLatencyHold(TtyDriver& driver, int fd, std::string tty);
  ~LowLatencyHold();
  LowLatencyHold(const LowLatencyHold&) = delete;
  LowLatencyHold& operator=(const LowLatencyHold&) = delete;

  // Set when the device is a USB-serial adapter whose latency timer stays above 1 ms.
  std::optional<SlowLine> slow_line() const { return slow_line_; }

 private:
  TtyDriver& driver_;
  int fd_;
  std::string tty_;
  std::optional<int> old_flags_;  // set where the low-latency flag was raised
  std::optional<int> old_timer_;  // set where the latency timer was lowered
  std::optional<SlowLine> slow_line_;
};

// The kernel's name of the tty at `device_path` (symbolic links resolved): ttyUSB0.
std::string TtyKernelName(const std::string& device_path);

}  // namespace larkspan
