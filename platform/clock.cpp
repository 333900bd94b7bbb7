#include "platform/clock.h"

#include <chrono>
#include <ctime>
#include <thread>

namespace larkspan {

namespace {
// Short enough that a wait ends within a few milliseconds of its second turning over, long
// enough that waiting costs no measurable CPU.
constexpr uint32_t kPollMs = 5;
}  // namespace

uint64_t SystemClock::Seconds() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  // Local time: UTC seconds shifted by the zone's offset.
  return static_cast<uint64_t>(now + local.tm_gmtoff);
}

void SystemClock::SleepMs(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void wait_seconds(Clock& clock, uint32_t n) {
  const uint64_t start = clock.Seconds();
  while (ElapsedMod60(start, clock.Seconds()) <= n) clock.SleepMs(kPollMs);
}

}  // namespace larkspan
