// Reads a wire trace (docs/trace-format.md), as larkspan-cli --trace writes it, into what the
// replay needs: the bytes the host wrote and the bytes it read, in order, with their time
// stamps. A trace comes from another machine: every line is checked, and a malformed one is
// reported with its number. Pure functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace larkspan::sim {

struct TraceStep {
  enum class Kind : uint8_t { kHostWrites, kReceiverSends };
  Kind kind = Kind::kHostWrites;
  uint64_t at_us = 0;          // the host's time stamp: when its write or read returned
  std::vector<uint8_t> bytes;  // what reached the receiver, or what the host read; never empty
  size_t line = 0;             // in the trace file, 1-based
};

// The steps of a whole trace, or "line N: what is wrong".
std::variant<std::vector<TraceStep>, std::string> ReadTrace(std::string_view text);

}  // namespace larkspan::sim
