// The simulated receiver's event log: one line per event, appended to a file and flushed at
// once so that a test can read it while the simulator runs; or kept in memory for unit tests.
// Owned by the simulator's single thread.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace larkspan::sim {

class SimLog {
 public:
  SimLog() = default;
  ~SimLog();
  SimLog(const SimLog&) = delete;
  SimLog& operator=(const SimLog&) = delete;

  // Appends to `path` from now on. On failure returns false and says why in `error`.
  bool OpenFile(const std::string& path, std::string* error);
  // Keeps every line in memory as well (see lines()).
  void KeepInMemory() { keep_ = true; }

  // Writes one line; `line` carries no line feed of its own.
  void Write(std::string_view line);

  const std::vector<std::string>& lines() const { return lines_; }

 private:
  int fd_ = -1;
  bool keep_ = false;
  std::vector<std::string> lines_;
};

// printf-style formatting, for log lines and the receiver's sentences.
[[gnu::format(printf, 1, 2)]] std::string Format(const char* format, ...);

// Log-safe text of received bytes: printable ASCII as is, everything else (and the
// backslash) as \xHH, so one received sentence always stays on one log line.
std::string Printable(std::string_view bytes);
// Lower-case hex digits of `bytes`, no separators.
std::string Hex(std::span<const uint8_t> bytes);

}  // namespace larkspan::sim
