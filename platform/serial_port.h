// The serial-port seam: one open port handle and the opener that maps a port name to it.
// Shaped after the Win32 comm calls the updater was written against (line-settings record,
// five time-outs, queue sizes, purge, DTR/RTS escapes), so the receiver link keeps its exact
// steps. Real back-end: termios_serial_port.h; fake: tests/fakes/fake_serial_port.h.
// A handle is used by one thread at a time; the opener may be shared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

namespace larkspan {

// A DCB-like line-settings record. The flag word keeps the Win32 bit layout so that the
// values the receiver link writes (0x0001, 0x1017, 0x0093 in the low 15 bits) can be read
// back bit for bit.
struct LineSettings {
  uint32_t length = 0;  // record length field (28 for a Win32 DCB)
  uint32_t baud = 0;
  uint32_t flags = 0;
  uint16_t reserved = 0;
  uint16_t xon_limit = 0;
  uint16_t xoff_limit = 0;
  uint8_t byte_size = 0;  // data bits
  uint8_t parity = 0;     // 0 none, 1 odd, 2 even, 3 mark, 4 space
  uint8_t stop_bits = 0;  // 0 one, 1 one and a half, 2 two
  char xon_char = 0;
  char xoff_char = 0;
  char error_char = 0;
  char eof_char = 0;
  char event_char = 0;

  bool operator==(const LineSettings&) const = default;
};

// Bits of LineSettings::flags.
namespace line_flag {
inline constexpr uint32_t kBinary = 0x0001;
inline constexpr uint32_t kParity = 0x0002;  // parity checking
inline constexpr uint32_t kOutxCtsFlow = 0x0004;
inline constexpr uint32_t kOutxDsrFlow = 0x0008;
inline constexpr uint32_t kDtrControlMask = 0x0030;  // 0 disable, 0x10 enable, 0x20 handshake
inline constexpr uint32_t kDtrControlEnable = 0x0010;
inline constexpr uint32_t kDsrSensitivity = 0x0040;
inline constexpr uint32_t kTxContinueOnXoff = 0x0080;
inline constexpr uint32_t kOutX = 0x0100;
inline constexpr uint32_t kInX = 0x0200;
inline constexpr uint32_t kErrorChar = 0x0400;
inline constexpr uint32_t kNull = 0x0800;
inline constexpr uint32_t kRtsControlMask = 0x3000;  // 0 disable, 0x1000 enable, 0x2000 handshake, 0x3000 toggle
inline constexpr uint32_t kRtsControlEnable = 0x1000;
inline constexpr uint32_t kAbortOnError = 0x4000;
inline constexpr uint32_t kLow15Bits = 0x7FFF;

// Replaces the low 15 bits of `flags` with `low`, keeping the high 17 bits.
constexpr uint32_t WithLow15(uint32_t flags, uint32_t low) {
  return (flags & ~kLow15Bits) | (low & kLow15Bits);
}
}  // namespace line_flag

// The five Win32 COMMTIMEOUTS fields, in milliseconds.
struct CommTimeouts {
  uint32_t read_interval = 0;  // 0xFFFFFFFF with both read totals 0: a read returns at once
  uint32_t read_total_multiplier = 0;
  uint32_t read_total_constant = 0;
  uint32_t write_total_multiplier = 0;
  uint32_t write_total_constant = 0;

  bool operator==(const CommTimeouts&) const = default;
};

inline constexpr uint32_t kMaxTimeout = 0xFFFFFFFF;

// Purge flags, as PurgeComm takes them.
namespace purge {
inline constexpr uint32_t kTxClear = 0x0004;
inline constexpr uint32_t kRxClear = 0x0008;
}  // namespace purge

// Control-line escapes, numbered as EscapeCommFunction takes them.
enum class Escape : uint32_t { kSetRts = 3, kClrRts = 4, kSetDtr = 5, kClrDtr = 6 };

// Input lines, as GetCommModemStatus reports them.
namespace modem_line {
inline constexpr uint32_t kCts = 0x0010;
inline constexpr uint32_t kDsr = 0x0020;
inline constexpr uint32_t kRing = 0x0040;
inline constexpr uint32_t kRlsd = 0x0080;  // carrier detect
}  // namespace modem_line

// One open serial port. Destroying it closes the port (a plain close: no line changes,
// no purge beyond what the platform does itself).
class SerialPort {
 public:
  virtual ~SerialPort() = default;

  virtual bool GetState(LineSettings& settings) = 0;
  virtual bool SetState(const LineSettings& settings) = 0;
  virtual bool GetTimeouts(CommTimeouts& timeouts) = 0;
  virtual bool SetTimeouts(const CommTimeouts& timeouts) = 0;
  virtual bool SetupQueues(uint32_t in_size, uint32_t out_size) = 0;
  virtual bool Purge(uint32_t flags) = 0;
  virtual bool EscapeFunction(Escape function) = 0;
  // Reads up to buffer.size() bytes, within the time-outs last set. False on a failed call.
  virtual bool Read(std::span<uint8_t> buffer, size_t& count_read) = 0;
  // Hands the bytes to the port and returns once they are queued for the line, or the write
  // time-out ran out (then with a short count). False on a failed call.
  virtual bool Write(std::span<const uint8_t> bytes, size_t& count_written) = 0;
  // Waits until the bytes written so far have left the host, at the latest until the last
  // write's time-out (FlushFileBuffers on a comm port). `left_behind` gets the bytes still
  // queued then. False on a failed call.
  virtual bool Drain(size_t& left_behind) = 0;
  // The input lines (modem_line bits), or nullopt for a port that has none (a pseudo-terminal).
  // False on a failed call.
  virtual bool GetModemStatus(std::optional<uint32_t>& lines) = 0;
  // The system's error number of the last failed call.
  virtual int LastError() const = 0;
};

// Keeps a port from every other opener while it lives; its opener's own opens of the port
// still succeed. Destroyed on the thread that last opened the port.
class PortHold {
 public:
  virtual ~PortHold() = default;
};

// Opens ports by their device name ("COM1:").
class SerialPorts {
 public:
  virtual ~SerialPorts() = default;
  // Holds the named port for this opener, between its channels too, until the hold is
  // destroyed. Null where there is nothing to hold or it cannot be held (the next open then
  // fails and says why).
  virtual std::unique_ptr<PortHold> Hold(std::u16string_view) { return nullptr; }
  // Opens the port for exclusive use. On failure returns null and sets `error` to the
  // system's error number.
  virtual std::unique_ptr<SerialPort> Open(std::u16string_view name, int& error) = 0;
  // Whether the named port is a pseudo-terminal (a simulated receiver), not a device with a
  // real receiver behind it. False when that cannot be told.
  virtual bool IsPseudoTerminal(std::u16string_view name) const = 0;
};

}  // namespace larkspan
