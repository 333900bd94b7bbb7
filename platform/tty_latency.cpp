#include "platform/tty_latency.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <charconv>
#include <fstream>
#include <system_error>

namespace larkspan {

namespace {
constexpr int kLowestTimerMs = 1;
}  // namespace

std::optional<int> TtyDriver::SerialFlags(int fd) {
  serial_struct serial{};
  if (ioctl(fd, TIOCGSERIAL, &serial) != 0) return std::nullopt;
  return serial.flags;
}

bool TtyDriver::SetSerialFlags(int fd, int flags) {
  serial_struct serial{};
  if (ioctl(fd, TIOCGSERIAL, &serial) != 0) return false;
  serial.flags = flags;
  return ioctl(fd, TIOCSSERIAL, &serial) == 0;
}

std::optional<std::string> TtyDriver::UsbSerialDriver(const std::string& tty) {
  std::error_code error;
  const auto subsystem = std::filesystem::read_symlink(Device(tty) / "subsystem", error);
  if (error || subsystem.filename() != "usb-serial") return std::nullopt;
  const auto driver = std::filesystem::read_symlink(Device(tty) / "driver", error);
  return error ? std::string("usb-serial") : driver.filename().string();
}

std::optional<int> TtyDriver::LatencyTimerMs(const std::string& tty) {
  std::ifstream in(Device(tty) / "latency_timer");
  std::string text;
  int ms = 0;
  if (!std::getline(in, text)) return std::nullopt;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), ms);
  if (error != std::errc() || end == text.data()) return std::nullopt;
  return ms;
}

bool TtyDriver::SetLatencyTimerMs(const std::string& tty, int ms) {
  // An attribute takes its whole value in one write; it is never created.
  const int fd = ::open((Device(tty) / "latency_timer").c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) return false;
  const std::string text = std::to_string(ms) + "\n";
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  return ::close(fd) == 0 && written;
}

LowLatencyHold::LowLatencyHold(TtyDriver& driver, int fd, std::string tty)
    : driver_(driver), fd_(fd), tty_(std::move(tty)) {
  if (const auto flags = driver_.SerialFlags(fd_); flags && !(*flags & ASYNC_LOW_LATENCY) &&
                                                   driver_.SetSerialFlags(fd_, *flags | ASYNC_LOW_LATENCY)) {
    old_flags_ = flags;
  }
  const std::optional<int> timer = driver_.LatencyTimerMs(tty_);
  if (timer && *timer > kLowestTimerMs && driver_.SetLatencyTimerMs(tty_, kLowestTimerMs)) old_timer_ = timer;
  // Read back: a driver may take the write and keep its own value.
  if (const auto now = driver_.LatencyTimerMs(tty_); now && *now > kLowestTimerMs) {
    if (const auto usb = driver_.UsbSerialDriver(tty_)) slow_line_ = SlowLine{tty_, *usb, *now};
  }
}

LowLatencyHold::~LowLatencyHold() {
  // The flag first: a driver that lowers its timer with the flag may raise it again with it.
  if (old_flags_) driver_.SetSerialFlags(fd_, *old_flags_);
  if (old_timer_) driver_.SetLatencyTimerMs(tty_, *old_timer_);
}

std::string TtyKernelName(const std::string& device_path) {
  std::error_code error;
  const std::filesystem::path real = std::filesystem::canonical(device_path, error);
  return (error ? std::filesystem::path(device_path) : real).filename().string();
}

}  // namespace larkspan
