// Incremental reader of SiRF binary frames (A0 A2, 2-byte big-endian payload length,
// payload, 15-bit checksum, B0 B3) as the simulated receiver hears them: bytes go in one at
// a time; whole frames come out with their checksum verdict, and bytes that form no frame
// are reported as junk. Not thread-safe; one instance per byte stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace larkspan::sim {

struct FrameEvent {
  enum class Kind { kFrame, kJunk };
  Kind kind = Kind::kJunk;
  std::vector<uint8_t> frame;  // kFrame: the whole frame, start to end sequence
  bool checksum_ok = false;    // kFrame: the checksum field equals the payload's 15-bit sum
  size_t junk = 0;             // kJunk: how many bytes formed nothing

  // kFrame: the payload and its first byte, the message identifier (-1 when empty).
  std::span<const uint8_t> payload() const;
  int mid() const;
};

class SirfFrameParser {
 public:
  // Longest payload the receiver accepts; a longer length field means the A0 A2 was not a
  // frame start.
  static constexpr size_t kMaxPayload = 1023;

  // Takes one byte and appends what it completed to `out`, in stream order.
  //   - Bytes before an A0 A2 are junk.
  //   - A candidate whose length exceeds kMaxPayload, or whose end sequence is not B0 B3,
  //     was a false start: its A0 becomes junk and the search resumes at the next byte, so a
  //     real frame hidden in the candidate's bytes is still found.
  //   - A candidate with the right framing but a wrong checksum comes out as a frame with
  //     checksum_ok false: it is taken to be a damaged frame, and the search resumes after it.
  void Push(uint8_t byte, std::vector<FrameEvent>& out);
  void Push(std::span<const uint8_t> bytes, std::vector<FrameEvent>& out) {
    for (uint8_t b : bytes) Push(b, out);
  }

  // Forgets an unfinished frame (after garbled input or a protocol change). The forgotten
  // bytes are not reported.
  void Reset() { pending_.clear(); }

 private:
  void Scan(std::vector<FrameEvent>& out);
  void DropFront(size_t n, std::vector<FrameEvent>& out);

  std::vector<uint8_t> pending_;  // bytes of the current candidate, from its A0 on
};

}  // namespace larkspan::sim
