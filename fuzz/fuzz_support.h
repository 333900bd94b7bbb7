// Shared pieces of the libFuzzer targets: a checked-invariant macro that aborts (so libFuzzer
// records the input as a crash), a program state on the test fakes, and a deterministic
// splitter that cuts an input into pieces of sizes derived from the input itself.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "receiver/program_state.h"
#include "tests/fakes/fake_serial_port.h"
#include "tests/fakes/memory_registry.h"
#include "tests/fakes/recording_sink.h"
#include "tests/fakes/test_clock.h"

#define FUZZ_CHECK(condition)                                                                \
  do {                                                                                       \
    if (!(condition)) {                                                                      \
      std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                          \
    }                                                                                        \
  } while (false)

namespace larkspan::fuzz {

inline std::string_view AsText(const uint8_t* data, size_t size) {
  return size == 0 ? std::string_view()
                   : std::string_view(reinterpret_cast<const char*>(data), size);
}

inline std::span<const uint8_t> AsBytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// A fresh program state on the fake port, the test clock, the recording sink and an empty
// registry, as the unit tests build it. The port handle must be closed again before the
// fake goes: the destructor checks that, itself, rather than through the test framework.
class World {
 public:
  World() { state.emplace(port, clock, sink, registry); }
  ~World() {
    state.reset();
    FUZZ_CHECK(port.open_handles == 0);
  }
  World(const World&) = delete;
  World& operator=(const World&) = delete;

  ProgramState& program() { return *state; }

  // The boxes the sink showed, as "caption: text", in order.
  std::vector<std::string> Boxes() const {
    std::vector<std::string> boxes;
    for (const std::string& line : sink.Lines()) {
      if (line.starts_with("box ")) boxes.push_back(line.substr(4));
    }
    return boxes;
  }

  // The receiver says `bytes` once, at the first read that finds nothing waiting; after that
  // the line stays idle.
  void TalkOnce(std::string bytes) {
    port.talk = [said = false, bytes = std::move(bytes)](uint32_t) mutable {
      if (said) return std::string();
      said = true;
      return bytes;
    };
  }

  testing::TestClock clock;
  testing::FakeSerialPorts port{clock};
  testing::RecordingSink sink;
  testing::MemoryRegistry registry;
  std::optional<ProgramState> state;
};

// Piece sizes for feeding an input in parts: a small xorshift generator seeded from the
// input's bytes, so the same input is always cut the same way, and different inputs are cut
// differently. Sizes run from 1 to `max_piece`.
class Splitter {
 public:
  Splitter(std::string_view input, size_t max_piece) : max_piece_(max_piece == 0 ? 1 : max_piece) {
    uint64_t seed = 0x9E3779B97F4A7C15ull ^ input.size();
    for (unsigned char c : input) seed = (seed ^ c) * 0x100000001B3ull;
    state_ = seed == 0 ? 1 : seed;
  }
  size_t Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    // Mostly small pieces, now and then a large one.
    const size_t limit = (state_ & 0x30) == 0 ? max_piece_ : (max_piece_ < 8 ? max_piece_ : 8);
    return 1 + static_cast<size_t>((state_ >> 8) % limit);
  }
  // The input cut into consecutive pieces.
  std::vector<std::string_view> Cut(std::string_view input) {
    std::vector<std::string_view> pieces;
    while (!input.empty()) {
      const size_t n = std::min(Next(), input.size());
      pieces.push_back(input.substr(0, n));
      input.remove_prefix(n);
    }
    return pieces;
  }

 private:
  size_t max_piece_;
  uint64_t state_ = 1;
};

}  // namespace larkspan::fuzz
