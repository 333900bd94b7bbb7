// The wire trace reader of receiver-sim --replay on arbitrary text: a trace comes from another
// machine. Checked: it never crashes; a refusal names a line that exists; what it accepts is
// in order (time stamps never go back, line numbers rise), every step carries bytes, and each
// step's bytes are those its line shows (a write's first `count` bytes).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "fuzz/fuzz_support.h"
#include "platform/hex.h"
#include "tools/receiver_sim/trace_reader.h"

using larkspan::sim::ReadTrace;
using larkspan::sim::TraceStep;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = larkspan::fuzz::AsText(data, size);
  const auto result = ReadTrace(text);
  const size_t lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
  if (const auto* error = std::get_if<std::string>(&result)) {
    FUZZ_CHECK(error->starts_with("line "));
    FUZZ_CHECK(std::stoul(error->substr(5)) <= lines);
    return 0;
  }
  const auto& steps = std::get<std::vector<TraceStep>>(result);
  for (size_t i = 0; i < steps.size(); ++i) {
    const TraceStep& step = steps[i];
    FUZZ_CHECK(!step.bytes.empty() && step.line >= 1 && step.line <= lines);
    if (i > 0) FUZZ_CHECK(steps[i - 1].at_us <= step.at_us && steps[i - 1].line < step.line);
    // The line's last word holds the bytes in hex, at least as many as the step took.
    size_t start = 0;
    for (size_t n = 1; n < step.line; ++n) start = text.find('\n', start) + 1;
    std::string_view line = text.substr(start, text.find('\n', start) - start);
    while (line.ends_with(' ')) line.remove_suffix(1);
    const std::string_view hex = line.substr(line.rfind(' ') + 1);
    FUZZ_CHECK(hex.size() >= 2 * step.bytes.size());
    for (size_t b = 0; b < step.bytes.size(); ++b) {
      FUZZ_CHECK(larkspan::HexValue(static_cast<unsigned char>(hex[2 * b])) * 16 +
                     larkspan::HexValue(static_cast<unsigned char>(hex[2 * b + 1])) == step.bytes[b]);
    }
  }
  return 0;
}
