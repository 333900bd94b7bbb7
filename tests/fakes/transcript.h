// One ordered record of a scenario on the fakes: every call on the serial port (with the bytes
// written and read and the host's speed), every box, status and progress operation, each
// stamped with the test clock. Runs of the same call (one-byte writes, one-byte reads) fold
// into one line so that a reviewer can read a whole upgrade. Thread-safe.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "tests/fakes/test_clock.h"

namespace larkspan::testing {

class Transcript {
 public:
  explicit Transcript(const TestClock& clock) : clock_(clock), start_us_(clock.NowUs()) {}

  // Adds a line `what`; `bytes`, when given, are shown escaped after it. Consecutive lines
  // with the same `what` and `bytes` fold into one with a count.
  void Add(std::string what, std::string_view bytes = {}, bool has_bytes = false);
  std::string Text() const;

  // Bytes as a reader sees them: printable ASCII as it is, everything else as \xNN.
  static std::string Escaped(std::string_view bytes);

 private:
  struct Line {
    uint64_t at_us;
    std::string what;
    std::string bytes;
    bool has_bytes;
    size_t count;
  };
  const TestClock& clock_;
  uint64_t start_us_;
  mutable std::mutex mutex_;
  std::vector<Line> lines_;
};

}  // namespace larkspan::testing
