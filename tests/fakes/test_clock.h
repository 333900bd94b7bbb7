// A clock that tests move: time passes only through SleepMs, Advance, or a fake port's
// time-outs and byte times. Microsecond resolution; safe to share between threads.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/clock.h"

namespace larkspan::testing {

class TestClock final : public Clock {
 public:
  // Starts at `start_seconds` (by default a whole minute plus 10 s, so that mod-60 windows
  // can be seen to wrap when a test starts near the end of a minute).
  explicit TestClock(uint64_t start_seconds = 1'800'000'010) : now_us_(start_seconds * 1'000'000) {}

  uint64_t Seconds() override { return now_us_.load() / 1'000'000; }
  void SleepMs(uint32_t ms) override { Advance(uint64_t{ms} * 1000); }

  void Advance(uint64_t us) { now_us_.fetch_add(us); }
  uint64_t NowUs() const { return now_us_.load(); }
  double NowSeconds() const { return static_cast<double>(now_us_.load()) / 1e6; }

 private:
  std::atomic<uint64_t> now_us_;
};

}  // namespace larkspan::testing
