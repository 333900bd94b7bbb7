// The input is what the receiver says on the update channel at 4800 baud. It goes through the
// version reader, the version check and the start-up version read on the fake port, and the
// two line tests and the line buffer also take it directly. Each result is compared with a
// plain model of the rules written here from the readers' documented behaviour:
//   - a line is what came since the previous line feed, of which a line over 300 bytes keeps
//     only its last (length mod 300) bytes;
//   - an M line ("$M...") gives everything after the "$"; a V line ("$", not "M" at index 1,
//     "V" at index 9) gives the text from the first ":" after index 9 to the next "-" (or the
//     line end, less a final carriage return) to the reader, and everything after the "$" to
//     the check.
// The simulated receiver's version lines, built around the input's first line, must read back
// as the text they carry.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/text.h"
#include "receiver/version_reader.h"
#include "tools/receiver_sim/receiver_model.h"

namespace larkspan::fuzz {
namespace {

std::optional<std::string> ModelReaderText(std::string_view line) {
  if (line.size() > 1 && line[0] == '$' && line[1] == 'M') return std::string(line.substr(1));
  if (line.size() <= 9 || line[0] != '$' || line[1] == 'M' || line[9] != 'V') return std::nullopt;
  const size_t colon = line.find(':', 10);
  if (colon == std::string_view::npos) return std::nullopt;
  const size_t dash = line.find('-', colon + 1);
  std::string text(line.substr(
      colon + 1, dash == std::string_view::npos ? std::string_view::npos : dash - colon - 1));
  if (dash == std::string_view::npos && !text.empty() && text.back() == '\r') text.pop_back();
  return text;
}

std::optional<std::string> ModelCheckText(std::string_view line) {
  const bool m = line.size() > 1 && line[0] == '$' && line[1] == 'M';
  const bool v = line.size() > 9 && line[0] == '$' && line[1] != 'M' && line[9] == 'V';
  if (m || v) return std::string(line.substr(1));
  return std::nullopt;
}

// The lines the readers see, in order, as the model cuts them.
std::vector<std::string_view> ModelLines(std::string_view input) {
  std::vector<std::string_view> lines;
  size_t begin = 0;
  for (size_t lf = input.find('\n'); lf != std::string_view::npos; lf = input.find('\n', begin)) {
    const size_t n = lf - begin;
    const size_t kept = n % LineBuffer::kSize;
    lines.push_back(input.substr(lf - kept, kept));
    begin = lf + 1;
  }
  return lines;
}

bool SameText(const std::optional<WideText>& got, const std::optional<std::string>& want) {
  if (got.has_value() != want.has_value()) return false;
  return !got || *got == Widen(*want);
}

void CheckLineTests(std::string_view line) {
  const auto bytes = AsBytes(line);
  const std::optional<WideText> reader = VersionReaderText(bytes);
  const std::optional<WideText> check = VersionCheckText(bytes);
  FUZZ_CHECK(SameText(reader, ModelReaderText(line)));
  FUZZ_CHECK(SameText(check, ModelCheckText(line)));
  if (reader) {
    FUZZ_CHECK(reader->size() < line.size());  // never longer than the line, "$" excluded
    FUZZ_CHECK(check.has_value());             // whatever the reader takes, the check takes
    FUZZ_CHECK(check->find(*reader) != WideText::npos);
  }
  if (check) FUZZ_CHECK(check->size() + 1 == line.size());
  for (char16_t c : reader.value_or(WideText())) FUZZ_CHECK(c < 0x100);
}

// Bytes at 4800 baud take 2.08 ms each on the fake line: an input of at most this many bytes
// is read whole well inside the shorter (10-second) window, so the model's verdict is exact.
constexpr size_t kWholeInsideWindow = 4096;

struct Expected {
  int reader = -1;  // ReadVersion: 1 or -1 (reads never fail here)
  std::string reader_text;
  int check = 0;  // CheckVersion: 1 or 0
  std::string check_text;
};

Expected Model(std::string_view input) {
  Expected e;
  for (std::string_view line : ModelLines(input)) {
    if (e.reader != 1) {
      if (auto text = ModelReaderText(line)) {
        e.reader = 1;
        e.reader_text = *text;
      }
    }
    if (e.check != 1) {
      if (auto text = ModelCheckText(line)) {
        e.check = 1;
        e.check_text = *text;
      }
    }
  }
  return e;
}

void RunReaders(std::string_view input) {
  const Expected expected = Model(input);
  const bool exact = input.size() <= kWholeInsideWindow;

  {
    World world;
    world.TalkOnce(std::string(input));
    world.program().update_channel.Open();
    const int result = static_cast<int>(ReadVersion(world.program()));
    FUZZ_CHECK(result == 1 || result == -1);
    if (exact) {
      FUZZ_CHECK(result == expected.reader);
      if (result == 1) FUZZ_CHECK(world.program().current_version == Widen(expected.reader_text));
    }
    if (result != 1) FUZZ_CHECK(world.program().current_version.empty());
    FUZZ_CHECK(world.sink.Lines().empty());
    world.program().update_channel.Close();
  }
  {
    World world;
    world.TalkOnce(std::string(input));
    world.program().update_channel.Open();
    const int result = static_cast<int>(CheckVersion(world.program()));
    FUZZ_CHECK(result == 0 || result == 1);
    if (exact) {
      FUZZ_CHECK(result == expected.check);
      if (result == 1) FUZZ_CHECK(world.program().current_version == Widen(expected.check_text));
    }
    FUZZ_CHECK(world.sink.Lines().empty());
    world.program().update_channel.Close();
  }
  {
    // The start-up read opens the channel itself; the second window hears nothing.
    World world;
    world.TalkOnce(std::string(input));
    const int result = static_cast<int>(ReadStartupVersion(world.program()));
    FUZZ_CHECK(result == 1 || result == -1);
    if (exact) FUZZ_CHECK(result == expected.reader);
    const auto boxes = world.Boxes();
    if (result == 1) {
      FUZZ_CHECK(boxes.empty());
    } else {
      FUZZ_CHECK(boxes.size() == 1 && boxes[0] == "Larkspan: Read Failed!");
    }
    FUZZ_CHECK(world.program().update_channel.IsOpen());
    world.program().update_channel.Close();
  }
}

void RunLineBuffer(std::string_view input) {
  const std::vector<std::string_view> want = ModelLines(input);
  LineBuffer buffer;
  size_t next = 0;
  for (char c : input) {
    const auto line = buffer.Add(static_cast<uint8_t>(c));
    FUZZ_CHECK(line.has_value() == (c == '\n'));
    if (!line) continue;
    FUZZ_CHECK(next < want.size());
    FUZZ_CHECK(line->size() < LineBuffer::kSize);
    FUZZ_CHECK(std::string_view(reinterpret_cast<const char*>(line->data()), line->size()) ==
               want[next]);
    CheckLineTests(want[next]);
    ++next;
  }
  FUZZ_CHECK(next == want.size());
}

// The simulated receiver's two version lines around the input's first line as the version
// text: the reader takes back the text up to its first "-" (V line, whose own suffix starts
// with "-") or the whole line after the "$" (M line).
void CheckSimulatorLines(std::string_view input) {
  const std::string_view text = input.substr(0, input.find('\n'));
  const auto line_of = [](const std::string& with_lf) {
    FUZZ_CHECK(!with_lf.empty() && with_lf.back() == '\n');
    return with_lf.substr(0, with_lf.size() - 1);
  };
  const std::string v = line_of(sim::ReceiverModel::VersionLine(sim::VersionForm::kV, text));
  const auto v_text = VersionReaderText(AsBytes(v));
  FUZZ_CHECK(v_text.has_value() && *v_text == Widen(text.substr(0, text.find('-'))));
  const std::string m = line_of(sim::ReceiverModel::VersionLine(sim::VersionForm::kM, text));
  const auto m_text = VersionReaderText(AsBytes(m));
  FUZZ_CHECK(m_text.has_value() && *m_text == Widen(std::string_view(m).substr(1)));
  FUZZ_CHECK(VersionCheckText(AsBytes(v)).has_value() && VersionCheckText(AsBytes(m)).has_value());
}

}  // namespace
}  // namespace larkspan::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace larkspan::fuzz;
  const std::string_view input = AsText(data, size);
  CheckLineTests(input);  // the whole input as one line
  RunLineBuffer(input);
  CheckSimulatorLines(input);
  RunReaders(input);
  return 0;
}
