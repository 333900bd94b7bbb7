// The seconds clock and millisecond sleep that every wait of the updater is measured on.
// Real back-end: SystemClock (local wall clock); tests use TestClock (tests/fakes), which
// only moves when a sleep or a fake port's time-out moves it. Any thread may call it.
#pragma once

#include <atomic>
#include <cstdint>

namespace larkspan {

class Clock {
 public:
  virtual ~Clock() = default;
  // Local wall-clock time in whole seconds since the epoch.
  virtual uint64_t Seconds() = 0;
  virtual void SleepMs(uint32_t ms) = 0;
};

class SystemClock final : public Clock {
 public:
  uint64_t Seconds() override;
  void SleepMs(uint32_t ms) override;
};

// Elapsed seconds as every updater window measures them: (now - start) mod 60, unsigned.
// No window can therefore last past 59 seconds.
constexpr uint64_t ElapsedMod60(uint64_t start, uint64_t now) { return (now - start) % 60; }

// Waits until ElapsedMod60 exceeds n: between n and n + 1 seconds, as the seconds clock
// counts whole seconds. Sleeps through the seconds that must pass, then polls with short sleeps
// through the last one, instead of spinning. With `stop`, sleeps at most a quarter of a
// second at a time and ends early once *stop is not 0.
void wait_seconds(Clock& clock, uint32_t n, const std::atomic<int>* stop = nullptr);

}  // namespace larkspan
