#include "receiver/version_reader.h"

#include <algorithm>
#include <string_view>

namespace larkspan {

namespace {

constexpr size_t kVersionMarkIndex = 9;

bool IsMLine(std::span<const uint8_t> line) {
  return std::string_view(reinterpret_cast<const char*>(line.data()), line.size()).starts_with("$M");
}

// Tested after the M test: a line that is not an M line, with "V" at index 9 (so its line
// feed stands at index 10 or later).
bool IsVLine(std::span<const uint8_t> line) {
  return line.size() > kVersionMarkIndex && line[0] == '$' && line[1] != 'M' &&
         line[kVersionMarkIndex] == 'V';
}

using LineTest = std::optional<WideText> (*)(std::span<const uint8_t>);

// Reads one byte at a time so that the window is tested after every byte and after every
// empty one-second read.
VersionRead ReadLines(ProgramState& state, uint32_t window, LineTest test) {
  const uint64_t start = state.clock.Seconds();
  LineBuffer buffer;
  do {
    uint8_t byte = 0;
    size_t count = 0;
    if (!state.update_channel.Read({&byte, 1}, count) || count > 1) return VersionRead::kFailed;
    if (count == 1) {
      if (auto line = buffer.Add(byte)) {
        if (auto text = test(*line)) {
          state.current_version = std::move(*text);
          return VersionRead::kSeen;
        }
      }
    }
  } while (ElapsedMod60(start, state.clock.Seconds()) <= window && !state.Stopping());
  return VersionRead::kWindowEnded;
}

}  // namespace

std::optional<WideText> VersionReaderText(std::span<const uint8_t> line) {
  if (IsMLine(line)) return Widen(line.subspan(1));
  if (!IsVLine(line)) return std::nullopt;
  const auto after_mark = line.subspan(kVersionMarkIndex + 1);
  const auto colon = std::find(after_mark.begin(), after_mark.end(), uint8_t{':'});
  if (colon == after_mark.end()) return std::nullopt;
  const auto dash = std::find(colon + 1, after_mark.end(), uint8_t{'-'});
  auto end = dash;
  if (dash == after_mark.end() && end != colon + 1 && *(end - 1) == '\r') --end;
  return WideText(colon + 1, end);
}

std::optional<WideText> VersionCheckText(std::span<const uint8_t> line) {
  if (IsMLine(line) || IsVLine(line)) return Widen(line.subspan(1));
  return std::nullopt;
}

std::optional<std::span<const uint8_t>> LineBuffer::Add(uint8_t byte) {
  bytes_[index_] = byte;
  if (byte == '\n') {
    const size_t length = index_;
    index_ = 0;
    return std::span<const uint8_t>(bytes_.data(), length);
  }
  if (++index_ == kSize) index_ = 0;
  return std::nullopt;
}

VersionRead ReadVersion(ProgramState& state) {
  return ReadLines(state, kReaderWindowSeconds, &VersionReaderText);
}

VersionRead CheckVersion(ProgramState& state) {
  return ReadLines(state, kCheckWindowSeconds, &VersionCheckText) == VersionRead::kSeen ? VersionRead::kSeen
                                                                                        : VersionRead::kFailed;
}

VersionRead ReadStartupVersion(ProgramState& state) {
  state.update_channel.Close();
  state.update_channel.Open();
  VersionRead result = ReadVersion(state);
  if (result == VersionRead::kWindowEnded && !state.Stopping()) {
    result = ReadVersion(state);
    if (result == VersionRead::kWindowEnded && !state.Stopping()) state.sink.ShowMessage({u"Read Failed!", kAppName});
  }
  return result;
}

}  // namespace larkspan
