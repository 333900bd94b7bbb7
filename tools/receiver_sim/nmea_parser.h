// Incremental reader of NMEA sentences as the simulated receiver hears them: bytes go in one
// at a time, complete sentences come out with their checksum verdict, and bytes that belong
// to no sentence are reported as junk. Not thread-safe; one instance per byte stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace larkspan::sim {

struct NmeaEvent {
  enum class Kind { kSentence, kJunk };
  Kind kind = Kind::kJunk;
  std::string text;          // kSentence: from "$" up to the line end, CR and LF removed
  bool checksum_ok = false;  // kSentence: "*hh" present and equal to the XOR of the body
  size_t junk = 0;           // kJunk: how many bytes formed nothing
};

class NmeaParser {
 public:
  // Longest line kept, counted from "$" through the line feed. NMEA allows 82 characters;
  // the margin covers the long proprietary input sentences (the reset sentence is 61).
  static constexpr size_t kMaxLine = 256;

  // Takes one byte and appends what it completed (nothing, junk, a sentence) to `out`.
  //   - A sentence starts at "$" and ends at a line feed; a carriage return just before the
  //     line feed is dropped, so CR LF and a bare LF both end a line.
  //   - A "$" inside a line starts a new sentence; the unfinished one becomes junk.
  //   - A line longer than kMaxLine is dropped whole as junk, up to its line feed or the
  //     next "$".
  void Push(uint8_t byte, std::vector<NmeaEvent>& out);
  void Push(std::string_view bytes, std::vector<NmeaEvent>& out) {
    for (char c : bytes) Push(static_cast<uint8_t>(c), out);
  }

  // Forgets an unfinished line (after garbled input or a protocol change). The forgotten
  // bytes are not reported.
  void Reset();

  // True when `text` ("$" body "*" hh, no line end) carries a checksum equal to the XOR of
  // its body. Hex digits of either case are accepted.
  static bool ChecksumOk(std::string_view text);

 private:
  enum class State { kIdle, kInLine, kOverlong };
  State state_ = State::kIdle;
  std::string line_;
  size_t overlong_ = 0;  // bytes of the dropped line not yet reported
};

// The body of a sentence (between "$" and "*", or to the end without "*"), split at commas.
std::vector<std::string_view> NmeaFields(std::string_view text);

}  // namespace larkspan::sim
