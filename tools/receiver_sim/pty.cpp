#include "tools/receiver_sim/pty.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace larkspan::sim {
namespace {

struct SpeedPair {
  speed_t speed;
  int baud;
};
constexpr SpeedPair kSpeeds[] = {
    {B50, 50},         {B75, 75},         {B110, 110},       {B134, 134},
    {B150, 150},       {B200, 200},       {B300, 300},       {B600, 600},
    {B1200, 1200},     {B1800, 1800},     {B2400, 2400},     {B4800, 4800},
    {B9600, 9600},     {B19200, 19200},   {B38400, 38400},   {B57600, 57600},
    {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B921600, 921600},
};

std::string Errno(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

int BaudFromSpeed(unsigned speed) {
  for (const SpeedPair& p : kSpeeds) {
    if (p.speed == speed) return p.baud;
  }
  return 0;
}

unsigned SpeedFromBaud(int baud) {
  for (const SpeedPair& p : kSpeeds) {
    if (p.baud == baud) return p.speed;
  }
  return B0;
}

std::unique_ptr<Pty> Pty::Open(int speed, std::string* error) {
  const auto fail = [error](std::string why, int fd1, int fd2) {
    if (error) *error = std::move(why);
    if (fd1 >= 0) ::close(fd1);
    if (fd2 >= 0) ::close(fd2);
    return std::unique_ptr<Pty>();
  };
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) return fail(Errno("posix_openpt"), -1, -1);
  if (::grantpt(master) != 0) return fail(Errno("grantpt"), master, -1);
  if (::unlockpt(master) != 0) return fail(Errno("unlockpt"), master, -1);
  char name[128];
  if (::ptsname_r(master, name, sizeof name) != 0) return fail(Errno("ptsname"), master, -1);

  // Raw mode: no echo (the host's bytes must not come back to it), no line editing, no
  // XON/XOFF, no CR/LF translation, 8 bits; binary frames pass unchanged. Set on the master,
  // it is the slave's setting, and stays until the host changes it.
  termios tio{};
  if (::tcgetattr(master, &tio) != 0) return fail(Errno("tcgetattr"), master, -1);
  ::cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  const speed_t s = SpeedFromBaud(speed);
  if (s == B0) return fail("unsupported speed " + std::to_string(speed), master, -1);
  ::cfsetispeed(&tio, s);
  ::cfsetospeed(&tio, s);
  if (::tcsetattr(master, TCSANOW, &tio) != 0) return fail(Errno("tcsetattr"), master, -1);

  const int flags = ::fcntl(master, F_GETFL);
  if (flags < 0 || ::fcntl(master, F_SETFL, flags | O_NONBLOCK) != 0) {
    return fail(Errno("fcntl"), master, -1);
  }
  const int slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (slave < 0) return fail(Errno(name), master, -1);
  return std::unique_ptr<Pty>(new Pty(master, slave, name));
}

Pty::~Pty() {
  ::close(slave_);
  ::close(master_);
}

int Pty::HostSpeed() const {
  termios tio{};
  if (::tcgetattr(master_, &tio) != 0) return 0;
  return BaudFromSpeed(::cfgetospeed(&tio));
}

ssize_t Pty::Read(std::span<uint8_t> buffer) {
  for (;;) {
    const ssize_t n = ::read(master_, buffer.data(), buffer.size());
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    return -1;
  }
}

size_t Pty::Unread() const {
  int n = 0;
  if (::ioctl(slave_, FIONREAD, &n) != 0 || n < 0) return 0;
  return static_cast<size_t>(n);
}

size_t Pty::Write(std::span<const uint8_t> bytes) {
  const size_t unread = Unread();
  const size_t room = unread < kHostBuffer ? kHostBuffer - unread : 0;
  bytes = bytes.first(std::min(bytes.size(), room));
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;  // EAGAIN: the pty is full; the rest is lost
    }
  }
  return done;
}

}  // namespace larkspan::sim
