// The seconds clock's waits on the test clock, the text helpers and the progress line's words.
#include <gtest/gtest.h>

#include "frontend/cli/progress_meter.h"
#include "platform/clock.h"
#include "platform/text.h"
#include "tests/fakes/test_clock.h"

namespace larkspan {
namespace {

TEST(WaitSeconds, LastsBetweenNAndNPlusOneSecondsAsTheSecondsClockCounts) {
  // It ends once the whole seconds elapsed exceed n: from the start of a second that takes
  // n + 1 seconds, from its very end n.
  const struct { uint64_t into_us; uint32_t n; double seconds; } cases[] = {
      {0, 1, 2}, {999'999, 1, 1}, {500'000, 8, 8.5}};
  for (const auto& c : cases) {
    testing::TestClock clock;
    clock.Advance(c.into_us);
    const double start = clock.NowSeconds();
    wait_seconds(clock, c.n);
    EXPECT_NEAR(clock.NowSeconds() - start, c.seconds, 0.01) << c.n << " from " << c.into_us;
  }
  EXPECT_EQ(ElapsedMod60(10, 70), 0u) << "a bound of 60 or more is never passed";
}

TEST(Text, WidensBytesAsLatin1AndWritesUtf8) {
  const uint8_t bytes[] = {'V', 0xE9, 0xFF};
  EXPECT_EQ(Widen(std::span<const uint8_t>(bytes)), u"V\u00e9\u00ff");
  EXPECT_EQ(Widen(std::string_view("V\xE9\xFF")), u"V\u00e9\u00ff");
  // Each width at its edges; an unpaired surrogate becomes U+FFFD.
  const std::pair<std::u16string, std::string> cases[] = {
      {u"\x7F\x80\u07FF\u0800", "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80"},
      {u"\uD7FF\uE000\U00010000\U0010FFFF", "\xED\x9F\xBF\xEE\x80\x80\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"},
      {{0xDC00, 'A', 0xDFFF, 0xD800, 'B', 0xDBFF}, "\xEF\xBF\xBD" "A\xEF\xBF\xBD\xEF\xBF\xBD" "B\xEF\xBF\xBD"}};
  for (const auto& [utf16, utf8] : cases) EXPECT_EQ(ToUtf8(utf16), utf8);
}

// The stage and percent always, then the rate and the time left once they are known (the bar
// lines without them are in larkspan-cli's reviewed files).
TEST(ProgressReading, ShowsTheRateAndTheTimeLeftInMinutesAndSeconds) {
  const ProgressReading reading{WorkerStage::kFirmware, 45, 9000, std::nullopt, 212.4, 83.0};
  EXPECT_EQ(reading.Text(), "firmware 45% 212 records/s 1:23 left");
}

}  // namespace
}  // namespace larkspan
