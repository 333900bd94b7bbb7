// One direction of the serial line carried at its real rate (receiver-sim --pace). Bytes are
// handed over at some time and come out no earlier than a UART at the line's speed could
// have carried them: 10 bits a byte (start, 8 data, stop), one byte after the other, the
// line busy until the last bit of the previous byte has gone. Single-threaded.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

namespace larkspan::sim {

class PacedLine {
 public:
  using Clock = std::chrono::steady_clock;

  enum class Release {
    kWholeChunks,  // a chunk comes out whole once its last byte has been carried
    kBytes,        // each byte comes out once it has been carried
  };

  // Bytes that are due, all from one chunk.
  struct Segment {
    std::vector<uint8_t> bytes;
    int speed = 0;       // as handed over with the chunk
    bool first = false;  // the chunk's first byte is among them
    bool last = false;   // its last byte is among them
    size_t chunk_size = 0;
  };

  explicit PacedLine(Release release) : release_(release) {}

  // Time to carry `bytes` at `baud`, rounded up to the nanosecond; 0 for a baud of 0.
  static std::chrono::nanoseconds CarryTime(uint64_t bytes, int baud);

  // Hands over `bytes` at `now`, to be carried at `baud`; `speed` travels with them.
  void Push(std::span<const uint8_t> bytes, int speed, int baud, Clock::time_point now);
  // What has become due by `now`, oldest first.
  std::vector<Segment> Take(Clock::time_point now);
  // When the next Take will have something; nothing when all went out.
  std::optional<Clock::time_point> NextDue() const;
  bool empty() const { return chunks_.empty(); }

 private:
  struct Chunk {
    std::vector<uint8_t> bytes;
    int speed = 0;
    int baud = 0;
    Clock::time_point start;  // its first bit goes on the line
    size_t taken = 0;
  };
  // Bytes of `c` carried by `now`.
  static size_t Carried(const Chunk& c, Clock::time_point now);

  const Release release_;
  std::deque<Chunk> chunks_;
  Clock::time_point free_at_{};  // when the line has carried everything handed over
};

}  // namespace larkspan::sim
