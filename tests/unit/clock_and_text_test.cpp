#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/text.h"
#include "tests/fakes/test_clock.h"

namespace larkspan {
namespace {

TEST(WaitSeconds, LastsBetweenNAndNPlusOneSecondsWhereverTheSecondStands) {
  for (uint32_t n : {1u, 2u, 4u, 5u, 8u}) {
    for (uint64_t offset_us : {0ull, 1ull, 500'000ull, 999'999ull}) {
      testing::TestClock clock;
      clock.Advance(offset_us);
      const uint64_t start = clock.NowUs();
      wait_seconds(clock, n);
      const uint64_t waited = clock.NowUs() - start;
      EXPECT_GE(waited, uint64_t{n} * 1'000'000) << n << " " << offset_us;
      EXPECT_LE(waited, uint64_t{n + 1} * 1'000'000 + 10'000) << n << " " << offset_us;
    }
  }
}

TEST(WaitSeconds, MeasuresModSixtyAcrossTheMinute) {
  testing::TestClock clock(1'800'000'058);  // two seconds before a minute turns
  const uint64_t start = clock.NowUs();
  wait_seconds(clock, 4);
  EXPECT_NEAR(static_cast<double>(clock.NowUs() - start) / 1e6, 5.0, 0.01);
  EXPECT_EQ(ElapsedMod60(58, 62), 4u);
  EXPECT_EQ(ElapsedMod60(10, 70), 0u);
}

TEST(Text, WidensBytesAsLatin1AndPrintsUtf8) {
  const uint8_t bytes[] = {'V', 0xE9, '\r'};
  const WideText wide = Widen(std::span<const uint8_t>(bytes));
  EXPECT_EQ(wide, (WideText{u'V', u'\u00e9', u'\r'}));
  EXPECT_EQ(ToUtf8(wide), "V\xC3\xA9\r");
  EXPECT_EQ(ToUtf8(u"\U0001F600"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(ToUtf8(WideText(1, char16_t{0xD800})), "\xEF\xBF\xBD");
}

}  // namespace
}  // namespace larkspan
