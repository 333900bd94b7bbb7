#include "tools/receiver_sim/paced_line.h"

#include <algorithm>

namespace larkspan::sim {
namespace {

constexpr int64_t kBitsPerByte = 10;
constexpr int64_t kNanosPerSecond = 1000000000;

}  // namespace

std::chrono::nanoseconds PacedLine::CarryTime(uint64_t bytes, int baud) {
  if (baud <= 0) return std::chrono::nanoseconds(0);
  const int64_t bits_ns = static_cast<int64_t>(bytes) * kBitsPerByte * kNanosPerSecond;
  return std::chrono::nanoseconds((bits_ns + baud - 1) / baud);
}

void PacedLine::Push(std::span<const uint8_t> bytes, int speed, int baud,
                     Clock::time_point now) {
  if (bytes.empty()) return;
  Chunk c;
  c.bytes.assign(bytes.begin(), bytes.end());
  c.speed = speed;
  c.baud = baud;
  c.start = std::max(free_at_, now);
  free_at_ = c.start + CarryTime(c.bytes.size(), baud);
  chunks_.push_back(std::move(c));
}

size_t PacedLine::Carried(const Chunk& c, Clock::time_point now) {
  const auto whole = CarryTime(c.bytes.size(), c.baud);
  const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(now - c.start);
  if (elapsed >= whole) return c.bytes.size();
  if (elapsed.count() <= 0) return 0;
  // elapsed < whole keeps the product far inside 64 bits.
  return static_cast<size_t>(elapsed.count() * c.baud / (kBitsPerByte * kNanosPerSecond));
}

std::vector<PacedLine::Segment> PacedLine::Take(Clock::time_point now) {
  std::vector<Segment> out;
  while (!chunks_.empty()) {
    Chunk& c = chunks_.front();
    size_t upto = Carried(c, now);
    if (release_ == Release::kWholeChunks && upto < c.bytes.size()) upto = 0;
    if (upto <= c.taken) break;
    Segment s;
    s.bytes.assign(c.bytes.begin() + static_cast<std::ptrdiff_t>(c.taken),
                   c.bytes.begin() + static_cast<std::ptrdiff_t>(upto));
    s.speed = c.speed;
    s.first = c.taken == 0;
    s.last = upto == c.bytes.size();
    s.chunk_size = c.bytes.size();
    c.taken = upto;
    out.push_back(std::move(s));
    if (upto < c.bytes.size()) break;
    chunks_.pop_front();
  }
  return out;
}

std::optional<PacedLine::Clock::time_point> PacedLine::NextDue() const {
  if (chunks_.empty()) return std::nullopt;
  const Chunk& c = chunks_.front();
  const uint64_t next = release_ == Release::kWholeChunks ? c.bytes.size() : c.taken + 1;
  return c.start + CarryTime(next, c.baud);
}

}  // namespace larkspan::sim
