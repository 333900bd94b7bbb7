#include "platform/termios_serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <optional>
#include <thread>
#include <utility>

namespace larkspan {

namespace {

using SteadyClock = std::chrono::steady_clock;
using Deadline = std::optional<SteadyClock::time_point>;  // nullopt: no limit

// The standard rates a tty takes, by their value in baud.
constexpr std::pair<uint32_t, speed_t> kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

std::optional<speed_t> SpeedOf(uint32_t baud) {
  for (const auto& [value, speed] : kSpeeds) {
    if (value == baud) return speed;
  }
  return std::nullopt;
}

uint32_t BaudOf(speed_t speed) {
  for (const auto& [value, known] : kSpeeds) {
    if (known == speed) return value;
  }
  return 0;
}

// How often a write checks whether its bytes have left the host. termios has no way to wait
// for that with a deadline (tcdrain waits without one), so we look at the queue.
constexpr auto kDrainPoll = std::chrono::milliseconds(1);

// multiplier * n + constant, in milliseconds; 0 means no limit. Capped (at about 35 years) so
// that a deadline built from it cannot overflow the clock.
uint64_t TotalMs(uint32_t multiplier, size_t n, uint32_t constant) {
  constexpr uint64_t kCap = uint64_t{1} << 40;
  const uint64_t per_byte =
      multiplier == 0 ? 0 : (n >= kCap / multiplier ? kCap : uint64_t{multiplier} * n);
  return std::min(per_byte + constant, kCap);
}

Deadline After(SteadyClock::time_point start, uint64_t ms) {
  if (ms == 0) return std::nullopt;
  return start + std::chrono::milliseconds(ms);
}

Deadline Earliest(Deadline a, Deadline b) {
  if (!a) return b;
  if (!b) return a;
  return std::min(*a, *b);
}

// Milliseconds left until `deadline`, rounded up so that poll() never wakes before it (and
// the caller never spins on zero time-outs); 0 once it has passed.
int MsUntil(SteadyClock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now());
  return static_cast<int>(std::clamp<int64_t>(left.count(), 0, INT_MAX));
}

bool Passed(const Deadline& deadline) { return deadline && SteadyClock::now() >= *deadline; }

// Waits until `fd` is ready for `events` or the deadline passes, retrying on signals.
// Returns the ready events, 0 when the deadline passed first, -1 on error (errno set).
int PollUntil(int fd, short events, const Deadline& deadline) {
  for (;;) {
    if (Passed(deadline)) return 0;
    pollfd watched{fd, events, 0};
    const int ready = poll(&watched, 1, deadline ? MsUntil(*deadline) : -1);
    if (ready > 0) return watched.revents;
    if (ready < 0 && errno != EINTR) return -1;
  }
}

// Bytes written to the tty that have not yet left the host.
bool PendingOutput(int fd, int& pending) { return ioctl(fd, TIOCOUTQ, &pending) == 0; }

}  // namespace

TermiosSerialPort::~TermiosSerialPort() {
  LetQueuedBytesLeave();
  latency_.reset();
  // The exclusive flag belongs to the tty, not to our descriptor: left set, it would outlive
  // this handle and refuse our own next open while another process (receiver-sim) keeps the
  // tty open. Closing the descriptor also releases the flock.
  if (!shares_hold_) ioctl(fd_, TIOCNXCL);
  close(fd_);
}

bool TermiosSerialPort::Fail(int error) {
  last_error_ = error;
  return false;
}

bool TermiosSerialPort::GetState(LineSettings& settings) {
  termios tio{};
  if (tcgetattr(fd_, &tio) != 0) return Fail(errno);

  // The caller fills in the length field before asking; it is theirs to keep.
  const uint32_t length = settings.length;
  settings = LineSettings{};
  settings.length = length;
  settings.baud = BaudOf(cfgetospeed(&tio));

  switch (tio.c_cflag & CSIZE) {
    case CS5: settings.byte_size = 5; break;
    case CS6: settings.byte_size = 6; break;
    case CS7: settings.byte_size = 7; break;
    default: settings.byte_size = 8; break;
  }
  if (tio.c_cflag & PARENB) {
    const bool odd = (tio.c_cflag & PARODD) != 0;
    if (tio.c_cflag & CMSPAR) {
      settings.parity = odd ? 3 : 4;  // mark, space
    } else {
      settings.parity = odd ? 1 : 2;
    }
  }
  settings.stop_bits = (tio.c_cflag & CSTOPB) ? 2 : 0;

  uint32_t flags = line_flag::kBinary | line_controls_;
  if (tio.c_cflag & CRTSCTS) flags |= line_flag::kOutxCtsFlow;
  if (tio.c_iflag & INPCK) flags |= line_flag::kParity;
  if (tio.c_iflag & IXON) flags |= line_flag::kOutX;
  if (tio.c_iflag & IXOFF) flags |= line_flag::kInX;
  settings.flags = flags;

  settings.xon_char = static_cast<char>(tio.c_cc[VSTART]);
  settings.xoff_char = static_cast<char>(tio.c_cc[VSTOP]);
  return true;
}

bool TermiosSerialPort::SetState(const LineSettings& settings) {
  using namespace line_flag;

  // Check the whole record before touching the line, so that a refusal applies nothing.
  const std::optional<speed_t> speed = SpeedOf(settings.baud);
  if (!speed) return Fail(EINVAL);
  tcflag_t size = 0;
  switch (settings.byte_size) {
    case 5: size = CS5; break;
    case 6: size = CS6; break;
    case 7: size = CS7; break;
    case 8: size = CS8; break;
    default: return Fail(EINVAL);
  }
  // termios has no mark or space parity without CMSPAR games, and no one-and-a-half stop bits.
  if (settings.parity > 2) return Fail(EINVAL);
  if (settings.stop_bits != 0 && settings.stop_bits != 2) return Fail(EINVAL);
  // DTR and RTS are either held low or held high; handshake and toggle modes have no tty
  // equivalent.
  const uint32_t dtr_control = settings.flags & kDtrControlMask;
  const uint32_t rts_control = settings.flags & kRtsControlMask;
  if (dtr_control != 0 && dtr_control != kDtrControlEnable) return Fail(EINVAL);
  if (rts_control != 0 && rts_control != kRtsControlEnable) return Fail(EINVAL);
  const bool software_flow = (settings.flags & (kOutX | kInX)) != 0;
  if (software_flow && settings.xon_char == settings.xoff_char && settings.xon_char != 0) {
    return Fail(EINVAL);
  }

  if (!LetQueuedBytesLeave()) return false;  // a new speed would garble them
  termios tio{};
  if (tcgetattr(fd_, &tio) != 0) return Fail(errno);
  // Always raw, so that binary frames pass unchanged; reads never block in the driver. HUPCL
  // off: a close leaves DTR and RTS as the link set them.
  cfmakeraw(&tio);
  tio.c_cflag &= ~HUPCL;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;

  tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  tio.c_cflag |= size | CLOCAL | CREAD;
  if (settings.parity == 1) tio.c_cflag |= PARENB | PARODD;
  if (settings.parity == 2) tio.c_cflag |= PARENB;
  if (settings.stop_bits == 2) tio.c_cflag |= CSTOPB;
  if (settings.flags & kOutxCtsFlow) {
    // termios has one flag for RTS and CTS flow together, where the record asks only for CTS
    // output flow. RTS still stays high: the RTS-control setting below holds it there. A pty
    // accepts the flag and ignores it.
    tio.c_cflag |= CRTSCTS;
  }
  // DSR flow and sensitivity, continue-on-XOFF, error-character replacement, NUL stripping
  // and abort-on-error have no tty equivalent; no one here asks for them.

  tio.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
  if (settings.flags & kOutX) tio.c_iflag |= IXON;
  if (settings.flags & kInX) tio.c_iflag |= IXOFF;
  if ((settings.flags & kParity) && settings.parity != 0) tio.c_iflag |= INPCK;
  // The XON/XOFF characters matter only with software flow control; a record without it
  // (usually all zero there) leaves the tty's own characters in place.
  if (software_flow && settings.xon_char != settings.xoff_char) {
    tio.c_cc[VSTART] = static_cast<cc_t>(settings.xon_char);
    tio.c_cc[VSTOP] = static_cast<cc_t>(settings.xoff_char);
  }

  cfsetispeed(&tio, *speed);
  cfsetospeed(&tio, *speed);
  if (tcsetattr(fd_, TCSANOW, &tio) != 0) return Fail(errno);

  // tcsetattr succeeds when any part of the change took, so check that the speed did.
  termios applied{};
  if (tcgetattr(fd_, &applied) != 0) return Fail(errno);
  if (cfgetospeed(&applied) != *speed || cfgetispeed(&applied) != *speed) return Fail(EINVAL);

  line_controls_ = dtr_control | rts_control;
  return DriveLine(TIOCM_DTR, dtr_control == kDtrControlEnable) &&
         DriveLine(TIOCM_RTS, rts_control == kRtsControlEnable);
}

bool TermiosSerialPort::GetTimeouts(CommTimeouts& timeouts) {
  timeouts = timeouts_;
  return true;
}

bool TermiosSerialPort::SetTimeouts(const CommTimeouts& timeouts) {
  timeouts_ = timeouts;
  return true;
}

bool TermiosSerialPort::SetupQueues(uint32_t in_size, uint32_t out_size) {
  in_queue_size_ = in_size;
  out_queue_size_ = out_size;
  return true;
}

bool TermiosSerialPort::Purge(uint32_t flags) {
  if (!LetQueuedBytesLeave()) return false;
  if (flags & purge::kTxClear) {
    // Flush the output queue only when bytes still wait in it (a write that ran out of time).
    // On a pty an output flush right after a completed write still cancels bytes on their
    // way to the other side, even after tcdrain; an input flush never does.
    int pending = 0;
    if (!PendingOutput(fd_, pending)) return Fail(errno);
    if (pending > 0 && tcflush(fd_, TCOFLUSH) != 0) return Fail(errno);
  }
  if (flags & purge::kRxClear) {
    received_at_ = received_end_ = 0;
    if (tcflush(fd_, TCIFLUSH) != 0) return Fail(errno);
  }
  return true;
}

bool TermiosSerialPort::EscapeFunction(Escape function) {
  if (!LetQueuedBytesLeave()) return false;  // a line dropped under them could cut them off
  switch (function) {
    case Escape::kSetDtr: return DriveLine(TIOCM_DTR, true);
    case Escape::kClrDtr: return DriveLine(TIOCM_DTR, false);
    case Escape::kSetRts: return DriveLine(TIOCM_RTS, true);
    case Escape::kClrRts: return DriveLine(TIOCM_RTS, false);
  }
  return Fail(EINVAL);
}

bool TermiosSerialPort::DriveLine(int line, bool raise) {
  if (ioctl(fd_, raise ? TIOCMBIS : TIOCMBIC, &line) == 0) return true;
  // A pty has no modem lines: there is simply nothing to drive.
  if (errno == ENOTTY || errno == EINVAL) return true;
  return Fail(errno);
}

size_t TermiosSerialPort::TakeBuffered(std::span<uint8_t> out) {
  const size_t n = std::min(out.size(), received_end_ - received_at_);
  std::copy_n(received_.begin() + static_cast<ptrdiff_t>(received_at_), n, out.begin());
  received_at_ += n;
  if (received_at_ == received_end_) received_at_ = received_end_ = 0;
  return n;
}

bool TermiosSerialPort::Fill(size_t& got) {
  got = 0;
  for (;;) {
    const ssize_t n = read(fd_, received_.data(), received_.size());
    if (n >= 0) {
      got = static_cast<size_t>(n);
      received_at_ = 0;
      received_end_ = got;
      return true;
    }
    if (errno == EAGAIN) return true;
    if (errno != EINTR) return Fail(errno);
  }
}

bool TermiosSerialPort::Read(std::span<uint8_t> buffer, size_t& count_read) {
  count_read = TakeBuffered(buffer);
  const size_t n = buffer.size();
  if (count_read == n) return true;
  const CommTimeouts& t = timeouts_;
  size_t got = 0;
  if (t.read_interval == kMaxTimeout && t.read_total_multiplier == 0 && t.read_total_constant == 0) {
    // Returns at once, with what is already there.
    while (count_read < n) {
      if (!Fill(got)) return false;
      if (got == 0) break;
      count_read += TakeBuffered(buffer.subspan(count_read));
    }
    return true;
  }

  const auto start = SteadyClock::now();
  const Deadline total_deadline = After(start, TotalMs(t.read_total_multiplier, n, t.read_total_constant));
  // The interval limit runs between bytes, so only from the first byte on.
  const bool interval_limited = t.read_interval != 0 && t.read_interval != kMaxTimeout;
  Deadline interval_deadline;
  if (interval_limited && count_read > 0) interval_deadline = After(start, t.read_interval);

  // Wait first, then read: the buffer is empty, and what is awaited has mostly not come yet.
  while (count_read < n) {
    const int ready = PollUntil(fd_, POLLIN, Earliest(total_deadline, interval_deadline));
    if (ready < 0) return Fail(errno);
    if (ready == 0) break;  // a limit ran out: return with what arrived
    if (!Fill(got)) return false;
    // A hung-up tty reads as empty yet polls as ready; give up instead of spinning on it.
    if (got == 0 && (ready & (POLLHUP | POLLERR | POLLNVAL))) return Fail(EIO);
    count_read += TakeBuffered(buffer.subspan(count_read));
    if (interval_limited && got > 0) interval_deadline = After(SteadyClock::now(), t.read_interval);
  }
  return true;
}

bool TermiosSerialPort::Write(std::span<const uint8_t> bytes, size_t& count_written) {
  count_written = 0;
  const size_t n = bytes.size();
  const CommTimeouts& t = timeouts_;
  const Deadline deadline =
      After(SteadyClock::now(), TotalMs(t.write_total_multiplier, n, t.write_total_constant));

  // Hand the bytes to the tty, waiting for room while it is full.
  size_t queued = 0;
  while (queued < n) {
    const ssize_t put = write(fd_, bytes.data() + queued, n - queued);
    if (put > 0) {
      queued += static_cast<size_t>(put);
      continue;
    }
    if (put < 0 && errno == EINTR) continue;
    if (put < 0 && errno != EAGAIN) {
      count_written = queued;
      return Fail(errno);
    }
    const int ready = PollUntil(fd_, POLLOUT, deadline);
    if (ready < 0) {
      count_written = queued;
      return Fail(errno);
    }
    if (ready == 0) break;  // out of time
    if (!(ready & POLLOUT)) {
      count_written = queued;
      return Fail(EIO);
    }
  }
  count_written = queued;
  // write() only queues the bytes; they leave the host later. Whoever needs them gone asks
  // Drain(); a purge, settings change, line change or close waits for them first, so that
  // none of those recalls or garbles bytes still on their way.
  if (queued > 0) {
    bytes_queued_ = true;
    queued_deadline_ = deadline;
  }
  return true;
}

bool TermiosSerialPort::Drain(size_t& left_behind) {
  int pending = 0;
  left_behind = 0;
  if (!LetQueuedBytesLeave(&pending)) return false;
  left_behind = static_cast<size_t>(pending);
  return true;
}

bool TermiosSerialPort::GetModemStatus(std::optional<uint32_t>& lines) {
  lines.reset();
  int bits = 0;
  if (ioctl(fd_, TIOCMGET, &bits) != 0) {
    // A pty has no modem lines: nothing to report, and nothing failed.
    if (errno == ENOTTY || errno == EINVAL) return true;
    return Fail(errno);
  }
  uint32_t status = 0;
  if (bits & TIOCM_CTS) status |= modem_line::kCts;
  if (bits & TIOCM_DSR) status |= modem_line::kDsr;
  if (bits & TIOCM_RNG) status |= modem_line::kRing;
  if (bits & TIOCM_CAR) status |= modem_line::kRlsd;
  lines = status;
  return true;
}

bool TermiosSerialPort::LetQueuedBytesLeave(int* left_behind) {
  int pending = 0;
  while (bytes_queued_) {
    if (!PendingOutput(fd_, pending)) return Fail(errno);
    // Out of time, the rest counts as a write that ran out of time: a purge may drop it.
    if (pending <= 0 || Passed(queued_deadline_)) bytes_queued_ = false;
    if (bytes_queued_) std::this_thread::sleep_for(kDrainPoll);
  }
  if (left_behind) *left_behind = std::max(pending, 0);
  return true;
}

}  // namespace larkspan
