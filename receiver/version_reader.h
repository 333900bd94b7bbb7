// Reads the receiver's firmware version from its NMEA output on the update channel at 4800
// baud: the version reader (12-second window; 1, 0 or -1), the version check (10-second
// window; 1 or 0) and the start-up version read built on the reader. Runs on the dialog
// thread or the worker, whichever holds the channels.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "platform/text.h"
#include "receiver/program_state.h"

namespace larkspan {

inline constexpr uint32_t kReaderWindowSeconds = 12;
inline constexpr uint32_t kCheckWindowSeconds = 10;

// The version reader's line test and stored text. `line` holds the bytes from index 0 up to,
// not including, the line feed. An M line ("$M...") gives the whole line after the "$",
// carriage return kept. A V line ("V" at index 9) gives the text between the first ":" after
// index 9 and the first "-" after that ":"; with no "-" the text runs to the end of the line
// (a carriage return just before the line feed dropped); with no ":" the line is not accepted.
std::optional<WideText> VersionReaderText(std::span<const uint8_t> line);
// The version check's: the same two forms, each giving the whole line after the "$".
std::optional<WideText> VersionCheckText(std::span<const uint8_t> line);

// A line of at most 300 bytes as the readers collect it. Past 300 bytes the index wraps to 0,
// so an overlong line loses its first 300 bytes and the rest is handled as a new line.
class LineBuffer {
 public:
  static constexpr size_t kSize = 300;
  // Adds one byte. Returns the finished line (without its line feed) when the byte was a
  // line feed; the buffer then starts a new line.
  std::optional<std::span<const uint8_t>> Add(uint8_t byte);

 private:
  std::array<uint8_t, kSize> bytes_{};
  size_t index_ = 0;
};

// What a version read came to; the values are the handheld's 1, 0 and -1.
enum class VersionRead : int {
  kWindowEnded = -1,  // the window ended without an accepted line
  kFailed = 0,        // the channel reported an error (the check: no line accepted)
  kSeen = 1,          // a line was accepted and the current-version text set
};

// The version reader: kSeen, kFailed or kWindowEnded.
VersionRead ReadVersion(ProgramState& state);
// The version check: kSeen, or kFailed for anything else.
VersionRead CheckVersion(ProgramState& state);
// Reopens the update channel at 4800 and runs the version reader, twice if the first window
// ends without a version; after two such windows shows "Read Failed!". The channel stays
// open. Returns the last reader result, for callers that report it.
VersionRead ReadStartupVersion(ProgramState& state);

}  // namespace larkspan
