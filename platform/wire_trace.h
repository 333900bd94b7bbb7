// The wire trace (larkspan-cli --trace FILE): every call on the serial ports, with the bytes
// written and read, one line each with a monotonic time stamp in microseconds, in the text
// format of docs/trace-format.md. A decorator of the serial-port seam: it wraps the real
// opener and the ports it opens, and changes nothing they do. Any thread. The calls only queue
// their lines; a thread of its own writes them every 100 ms, so that a killed run keeps all
// but its last moments without a system call for every line, and a file that cannot take them
// (a FIFO whose reader stopped or left, a full disk) never holds up the port. Lines are kept
// whole: when the reader falls too far behind, further lines are dropped whole until it
// catches up.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>

#include "platform/serial_port.h"

namespace larkspan {

class WireTrace {
 public:
  // Opens `path` for writing (replacing it) and writes the format's header line; check
  // `ok()`, and `error()` for why not. `fault` is told once, from the writing thread, when the
  // file refuses a write or falls behind (a line ending in '\n').
  explicit WireTrace(const std::string& path, std::function<void(const std::string&)> fault = {});
  ~WireTrace();
  // Writes what is queued, waiting a moment for a slow reader; lines after it are not written.
  void Finish();
  WireTrace(const WireTrace&) = delete;
  WireTrace& operator=(const WireTrace&) = delete;
  bool ok() const { return fd_ >= 0; }
  const std::string& error() const { return error_; }

  // One line: the time stamp, `what`, and the bytes in hex when given ("-" for none).
  void Line(std::string_view what, std::span<const uint8_t> bytes = {}, bool with_bytes = false);
  // A read or a write that went through: "read ok <bytes>", "write ok <count> <bytes>". The
  // stream's many calls, built without a string of their own.
  void Transfer(std::string_view what, const size_t* count, std::span<const uint8_t> bytes);

 private:
  void Stamp();  // starts line_ with the time stamp; mutex held
  void End(std::span<const uint8_t> bytes);  // the bytes and the line feed, then queues it
  void Queue();  // queues line_, or drops it when the reader is too far behind; mutex held
  // Writes what is queued as far as the file takes it within `patience`; false once it failed.
  bool Flush(std::chrono::milliseconds patience);
  void Fault(const std::string& text);  // tells `fault_` once

  std::mutex mutex_;
  int fd_ = -1;
  std::string path_;
  std::string error_;
  std::function<void(const std::string&)> fault_;
  bool faulted_ = false;
  bool dropping_ = false;  // lines are dropped until the reader takes what is queued
  std::chrono::steady_clock::time_point start_;
  std::string line_;     // reused for each line
  std::string queued_;   // lines not yet handed to the file; mutex held
  std::string writing_;  // the flusher's: what it took from the queue, of which the file has
  size_t written_ = 0;   // taken this much
  std::condition_variable_any wake_;
  std::jthread flusher_;  // last: stopped and joined first
};

// Opens ports through `inner` and traces every call on them into `trace`; both outlive it.
class TracingSerialPorts final : public SerialPorts {
 public:
  TracingSerialPorts(SerialPorts& inner, WireTrace& trace) : inner_(inner), trace_(trace) {}
  std::unique_ptr<SerialPort> Open(std::u16string_view name, int& error) override;
  bool IsPseudoTerminal(std::u16string_view name) const override { return inner_.IsPseudoTerminal(name); }
  std::unique_ptr<PortHold> Hold(std::u16string_view name) override { return inner_.Hold(name); }

 private:
  SerialPorts& inner_;
  WireTrace& trace_;
};

}  // namespace larkspan
