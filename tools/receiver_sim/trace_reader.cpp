#include "tools/receiver_sim/trace_reader.h"

#include <charconv>
#include <optional>

#include "platform/hex.h"

namespace larkspan::sim {

namespace {

// The next space-separated word of `rest`, taken off it.
std::string_view Word(std::string_view& rest) {
  const size_t end = rest.find(' ');
  const std::string_view word = rest.substr(0, end);
  rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
  return word;
}

std::optional<uint64_t> Number(std::string_view text) {
  uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// Hex pairs, or "-" for none.
std::optional<std::vector<uint8_t>> Bytes(std::string_view text) {
  std::vector<uint8_t> bytes;
  if (text == "-") return bytes;
  if (text.empty() || text.size() % 2 != 0) return std::nullopt;
  for (size_t i = 0; i < text.size(); i += 2) {
    const int high = HexValue(text[i]), low = HexValue(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<uint8_t>(high * 16 + low));
  }
  return bytes;
}

bool IsCall(std::string_view word) {
  for (const char* call : {"open", "close", "state", "timeouts", "queues", "purge", "line", "drain", "modem"}) {
    if (word == call) return true;
  }
  return false;
}

}  // namespace

std::variant<std::vector<TraceStep>, std::string> ReadTrace(std::string_view text) {
  std::vector<TraceStep> steps;
  uint64_t last_us = 0;
  size_t number = 0;
  while (!text.empty()) {
    ++number;
    const size_t end = text.find('\n');
    if (end == std::string_view::npos) break;  // a line cut short by a killed writer: not played
    std::string_view rest = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (rest.empty() || rest.front() == '#') continue;
    const auto fail = [number](const std::string& why) { return "line " + std::to_string(number) + ": " + why; };
    const auto at = Number(Word(rest));
    if (!at) return fail("no time stamp in microseconds at the start");
    if (*at < last_us) return fail("the time stamp goes back");
    last_us = *at;
    const std::string_view call = Word(rest);
    if (IsCall(call)) continue;  // what the host asked of the port; the replay needs none of it
    if (call != "read" && call != "write") return fail("unknown call '" + std::string(call) + "'");
    const std::string_view outcome = Word(rest);
    std::optional<uint64_t> count;
    if (outcome == "failed") {
      if (!Number(Word(rest))) return fail("a failed call needs its error number");
      if (call == "read") continue;
    } else if (outcome != "ok") {
      return fail("'ok' or 'failed' expected after '" + std::string(call) + "'");
    } else if (call == "write" && !(count = Number(Word(rest)))) {
      return fail("a write needs the count it wrote");
    }
    const auto bytes = Bytes(Word(rest));
    if (!bytes) return fail("bytes in hexadecimal pairs (or '-') expected");
    if (!rest.empty()) return fail("unexpected text at the end");
    TraceStep step{call == "read" ? TraceStep::Kind::kReceiverSends : TraceStep::Kind::kHostWrites, *at, *bytes,
                   number};
    // A failed write reached nobody; a short one only its first bytes.
    if (step.kind == TraceStep::Kind::kHostWrites) {
      if (count && *count > step.bytes.size()) return fail("a write cannot write more than it was given");
      step.bytes.resize(count ? static_cast<size_t>(*count) : 0);
    }
    if (!step.bytes.empty()) steps.push_back(std::move(step));
  }
  return steps;
}

}  // namespace larkspan::sim
