// The wire trace (larkspan-cli --trace FILE): every call on the serial ports, with the bytes
// written and read, one line each with a monotonic time stamp in microseconds, in the text
// format of docs/trace-format.md. A decorator of the serial-port seam: it wraps the real
// opener and the ports it opens, and changes nothing they do. Any thread; lines are written
// whole, and a thread of its own flushes them every 100 ms, so that a killed run keeps all
// but its last moments without a system call for every line.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
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
  // `ok()`, and `error()` for why not.
  explicit WireTrace(const std::string& path);
  ~WireTrace();
  WireTrace(const WireTrace&) = delete;
  WireTrace& operator=(const WireTrace&) = delete;
  bool ok() const { return file_ != nullptr; }
  const std::string& error() const { return error_; }

  // One line: the time stamp, `what`, and the bytes in hex when given ("-" for none).
  void Line(std::string_view what, std::span<const uint8_t> bytes = {}, bool with_bytes = false);
  // A read or a write that went through: "read ok <bytes>", "write ok <count> <bytes>". The
  // stream's many calls, built without a string of their own.
  void Transfer(std::string_view what, const size_t* count, std::span<const uint8_t> bytes);

 private:
  std::mutex mutex_;
  std::FILE* file_ = nullptr;
  std::string error_;
  std::chrono::steady_clock::time_point start_;
  void Stamp();  // starts line_ with the time stamp; mutex held
  void End(std::span<const uint8_t> bytes);  // the bytes and the line feed, then writes it
  std::string line_;  // reused for each line
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
