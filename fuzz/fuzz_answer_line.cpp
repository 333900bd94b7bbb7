// The input is the flash loader's answer bytes, said once on the update channel at 115200
// baud while the S-record stream waits for its verdict. The wait's result must be 0 to 3;
// with the stream's own time limit (60 s, far more than an answer said once and 17 empty
// reads take) it must agree with a plain model of the answer rule:
//   - an answer line is what came since the previous line feed; a line over 300 bytes keeps
//     only its last (length mod 300) bytes;
//   - with at least three bytes kept and "S" two bytes before the line's last byte, the
//     byte after the "S" decides: "5" or "A" accepts (1), "E" rejects (0, with a box);
//   - when no line decides, the 17th empty read is the loader falling silent (3, both
//     channels closed, a box, for the session to end the updater).
// A second wait with a short time limit taken from the input must end the same way whenever
// it ends before its limit.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "transfer/srecord_stream.h"

namespace larkspan::fuzz {
namespace {

constexpr size_t kAnswerSpace = 300;
constexpr char kRejectedBox[] = "Response: Bad S-record transfer.Try Upload again.";
constexpr char kTimeOutBox[] =
    "Time Out: Cannot receive data from GPS module. Please restart application again!";

enum class Verdict { kAccepted, kRejected, kSilent };

Verdict Model(std::string_view input) {
  size_t begin = 0;
  for (size_t lf = input.find('\n'); lf != std::string_view::npos; lf = input.find('\n', begin)) {
    const size_t kept = (lf - begin) % kAnswerSpace;
    if (kept >= 3 && input[lf - 3] == 'S') {
      if (input[lf - 2] == '5' || input[lf - 2] == 'A') return Verdict::kAccepted;
      if (input[lf - 2] == 'E') return Verdict::kRejected;
    }
    begin = lf + 1;
  }
  return Verdict::kSilent;
}

struct Outcome {
  int result = -1;
  std::vector<std::string> lines;
  bool update_open = false;
  bool probe_open = false;
};

Outcome Wait(std::string_view input, uint32_t seconds) {
  World world;
  world.TalkOnce(std::string(input));
  ProgramState& state = world.program();
  state.update_channel.Open();
  FUZZ_CHECK(state.update_channel.ChangeSpeed(115200));
  Outcome out;
  out.result = static_cast<int>(ReceiveTargetResponse(state, seconds));
  out.lines = world.sink.Lines();
  out.update_open = state.update_channel.IsOpen();
  out.probe_open = state.probe_channel.IsOpen();
  FUZZ_CHECK(world.port.writes.empty());  // an answer wait never writes
  state.update_channel.Close();
  return out;
}

}  // namespace
}  // namespace larkspan::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace larkspan::fuzz;
  using Lines = std::vector<std::string>;
  const std::string_view input = AsText(data, size);

  const Outcome full = Wait(input, larkspan::kAnswerSeconds);
  FUZZ_CHECK(full.result >= 0 && full.result <= 3);
  FUZZ_CHECK(full.result != 2);  // an answer said once never keeps the wait going for 60 s
  switch (Model(input)) {
    case Verdict::kAccepted:
      FUZZ_CHECK(full.result == 1);
      FUZZ_CHECK(full.lines.empty());
      FUZZ_CHECK(full.update_open);
      break;
    case Verdict::kRejected:
      FUZZ_CHECK(full.result == 0);
      FUZZ_CHECK(full.lines == Lines{std::string("box ") + kRejectedBox});
      FUZZ_CHECK(full.update_open);
      break;
    case Verdict::kSilent:
      FUZZ_CHECK(full.result == 3);
      FUZZ_CHECK(full.lines == Lines{std::string("box ") + kTimeOutBox});
      FUZZ_CHECK(!full.update_open && !full.probe_open);
      break;
  }

  // A short limit, 0 to 20 seconds, taken from the input's last byte.
  const uint32_t seconds = size == 0 ? 0 : data[size - 1] % 21;
  const Outcome limited = Wait(input, seconds);
  FUZZ_CHECK(limited.result >= 0 && limited.result <= 3);
  if (limited.result == 2) {
    FUZZ_CHECK(limited.lines.empty());
  } else {
    FUZZ_CHECK(limited.result == full.result);
    FUZZ_CHECK(limited.lines == full.lines);
  }
  return 0;
}
