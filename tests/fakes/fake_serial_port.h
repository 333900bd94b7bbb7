// A scripted stand-in for the serial port: it records every call the receiver link makes (into
// a transcript, with the test clock's time, and each write as a typed record), plays a receiver
// whose talk and hearing the test scripts, and moves the test clock as a real line would:
// by the read time-out when nothing arrives and by ten bit times a byte moved.
// Single-threaded, like the channels it stands under.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/serial_port.h"
#include "tests/fakes/test_clock.h"
#include "tests/fakes/transcript.h"

namespace larkspan::testing {

// Bytes on the line as text, and whether they are exactly those of a sentence or a binary frame.
inline std::string Text(std::span<const uint8_t> bytes) { return {bytes.begin(), bytes.end()}; }
inline bool Is(std::span<const uint8_t> bytes, std::string_view sentence) { return Text(bytes) == sentence; }
inline bool Is(std::span<const uint8_t> bytes, std::span<const uint8_t> frame) {
  return std::ranges::equal(bytes, frame);
}

class FakeSerialPorts final : public SerialPorts {
 public:
  explicit FakeSerialPorts(TestClock& clock) : clock_(clock) {}
  ~FakeSerialPorts() override;

  std::unique_ptr<SerialPort> Open(std::u16string_view name, int& error) override;
  bool IsPseudoTerminal(std::u16string_view) const override { return pseudo_terminal; }

  // ---- Script.
  bool pseudo_terminal = true;  // false: a device with a real receiver behind it
  int open_error = 0;  // non-zero: opens fail with this error number
  int fail_open_number = 0;  // non-zero: the n-th open (1-based) fails with EBUSY
  bool refuse_state = false;
  bool refuse_timeouts = false;
  bool refuse_queues = false;
  bool fail_writes = false;                // the write call fails, moving nothing
  std::optional<size_t> write_limit;      // writes move at most this many bytes
  bool fail_reads = false;
  bool over_report_reads = false;          // reads report one byte more than they moved
  size_t drain_leaves = 0;                 // bytes a drain finds still queued when its time runs out
  std::optional<uint32_t> modem_lines;     // the input lines; nullopt: none, as on a pty
  LineSettings port_state{};               // what GetState finds on the port
  // The receiver's next output at the host's current speed, asked for when the host reads and
  // nothing is waiting; empty means the line stays idle until the read's time-out.
  std::function<std::string(uint32_t baud)> talk;
  // Told of every write with the bytes moved and the host's speed.
  std::function<void(const std::vector<uint8_t>& bytes, uint32_t baud)> hear;

  // ---- Record.
  Transcript* transcript = nullptr;  // when set, every call also goes there, with its bytes
  struct Write {
    std::vector<uint8_t> bytes;
    uint32_t baud;
  };
  std::vector<Write> writes;
  int open_handles = 0;
  std::atomic<int> opens{0};  // open calls so far; tests watch it from the GUI thread
  int max_open_handles = 0;
  uint32_t baud = 0;  // the speed last applied

 private:
  class Port;
  void Log(std::string what, std::optional<std::string> bytes = {});  // a call, and the bytes it moved
  // Ten bit times a byte: start bit, eight data bits, stop bit.
  uint64_t LineTimeUs(size_t bytes) const { return baud ? bytes * 10'000'000 / baud : 0; }

  TestClock& clock_;
  std::deque<uint8_t> incoming_;
  Port* live_ = nullptr;  // the port is exclusive: at most one handle at a time
};

}  // namespace larkspan::testing
