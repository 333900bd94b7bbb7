#include "platform/clock.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <thread>

namespace larkspan {

namespace {
// Short enough that a wait ends within a few milliseconds of its second turning over, long
// enough that polling through that second costs no measurable CPU.
constexpr uint32_t kPollMs = 5;
// How soon a wait notices a stop; a whole number of polls, so that waits end where they would.
constexpr uint64_t kStopLookMs = 250;
}  // namespace

uint64_t SystemClock::Seconds() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  // Local time: UTC seconds shifted by the zone's offset.
  return static_cast<uint64_t>(now + local.tm_gmtoff);
}

void SystemClock::SleepMs(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void wait_seconds(Clock& clock, uint32_t n, const std::atomic<int>* stop) {
  const uint64_t start = clock.Seconds();
  for (uint64_t elapsed; (elapsed = ElapsedMod60(start, clock.Seconds())) <= n;) {
    if (stop && stop->load() != 0) return;
    // n - elapsed more whole seconds cannot pass sooner than that many seconds: sleep them in
    // one go, and poll only through the last second, to end close to its turn.
    const uint64_t whole_ms = std::min<uint64_t>(n - elapsed, 60) * 1000;
    clock.SleepMs(static_cast<uint32_t>(whole_ms == 0 ? kPollMs : stop ? std::min(whole_ms, kStopLookMs) : whole_ms));
  }
}

}  // namespace larkspan
