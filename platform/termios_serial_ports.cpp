// Opening a tty for the receiver link: exclusively, raw, with HUPCL off and low latency held.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "platform/termios_serial_port.h"
#include "platform/text.h"

namespace larkspan {

namespace {

// Raw line with non-blocking read semantics; speed and character format stay as they are.
// HUPCL off, so that no close of ours drops DTR and RTS behind the receiver link's back.
bool MakeRaw(int fd) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return false;
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cflag &= ~HUPCL;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  return tcsetattr(fd, TCSANOW, &tio) == 0;
}

}  // namespace

TermiosSerialPorts::TermiosSerialPorts(PortNames names, TtyDriver* driver, SystemFiles files)
    : names_(std::move(names)), files_(std::move(files)), driver_(driver ? *driver : own_driver_) {}

std::unique_ptr<SerialPort> TermiosSerialPorts::Open(std::u16string_view name, int& error) {
  const std::optional<std::string> path = names_.PathOf(name);
  auto port = path ? OpenTty(*path, error) : nullptr;
  if (!path) error = ENOENT;
  if (!port && on_open_failure && !open_failure_told_.exchange(true)) {
    on_open_failure(path.value_or(ToUtf8(name)), error);
  }
  return port;
}

// Keeps the held descriptor open; its end lets other openers in again.
class TermiosSerialPorts::TtyHold final : public PortHold {
 public:
  TtyHold(TermiosSerialPorts& ports, int fd) : ports_(ports), fd_(fd) {}
  ~TtyHold() override {
    ports_.held_fd_.store(-1);
    ioctl(fd_, TIOCNXCL);
    close(fd_);  // and with it the flock
  }
  TtyHold(const TtyHold&) = delete;
  TtyHold& operator=(const TtyHold&) = delete;

 private:
  TermiosSerialPorts& ports_;
  int fd_;
};

std::unique_ptr<PortHold> TermiosSerialPorts::Hold(std::u16string_view name) {
  const std::optional<std::string> path = names_.PathOf(name);
  const std::optional<dev_t> device = path ? CharDevice(*path) : std::nullopt;
  if (!device || WhyBarred(*device, files_) != BarredPort::kNone || held_fd_.load() >= 0) return nullptr;
  const int fd = open(path->c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  if (!isatty(fd) || flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
    close(fd);
    return nullptr;
  }
  held_device_.store(*device);
  held_fd_.store(fd);
  return std::make_unique<TtyHold>(*this, fd);
}

std::unique_ptr<SerialPort> TermiosSerialPorts::OpenTty(const std::string& path, int& error) {
  // Not even opened: an open of the console or of a port without a UART can already disturb
  // what is there (a getty, the kernel's messages), and no receiver answers on it.
  const std::optional<dev_t> device = CharDevice(path);
  if (device && WhyBarred(*device, files_) != BarredPort::kNone) {
    error = EBUSY;
    return nullptr;
  }
  // Non-blocking, so that neither the open nor any later read waits on the carrier line. The
  // kernel raises DTR and RTS as the first open of a tty passes; nothing here can act sooner.
  // A port this object holds is reached through a duplicate of the hold's descriptor.
  const int held = held_fd_.load();
  const bool shared = held >= 0 && device && *device == held_device_.load();
  const int fd = shared ? fcntl(held, F_DUPFD_CLOEXEC, 0) : open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error = errno;
    return nullptr;
  }
  if (!isatty(fd)) {
    close(fd);
    error = ENOTTY;
    return nullptr;
  }
  // The lock first: when another handle holds the port we leave its tty alone.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    error = errno;
    close(fd);
    return nullptr;
  }
  // From here on the port object owns the descriptor, and its destructor undoes TIOCEXCL.
  auto port = std::make_unique<TermiosSerialPort>(fd);
  if (shared) port->ShareHold();
  if (ioctl(fd, TIOCEXCL) != 0 || !MakeRaw(fd)) {
    error = errno;
    return nullptr;
  }
  port->HoldLowLatency(std::make_unique<LowLatencyHold>(driver_, fd, TtyKernelName(path)));
  if (const auto slow = port->latency()->slow_line(); slow && on_slow_line && !slow_line_told_.exchange(true)) {
    on_slow_line(*slow);
  }
  error = 0;
  return port;
}

bool TermiosSerialPorts::IsPseudoTerminal(std::u16string_view name) const {
  const std::optional<std::string> path = names_.PathOf(name);
  struct stat info {};
  if (!path || stat(path->c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) return false;
  // The pty slaves' major numbers: 136 to 143 for /dev/pts, 3 for the old BSD ones.
  const unsigned int kind = major(info.st_rdev);
  return (kind >= 136 && kind <= 143) || kind == 3;
}

}  // namespace larkspan
