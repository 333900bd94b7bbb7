// The fake port is a tool other tests lean on: check that it keeps time and exclusivity the
// way the real line does, so that window and order tests mean something.
#include <gtest/gtest.h>

#include <cerrno>

#include "tests/fakes/fake_serial_port.h"

namespace larkspan::testing {
namespace {

TEST(FakeSerialPort, IsExclusiveAndCountsHandles) {
  TestClock clock;
  FakeSerialPorts ports(clock);
  int error = 0;
  auto first = ports.Open(u"COM1:", error);
  ASSERT_TRUE(first);
  EXPECT_FALSE(ports.Open(u"COM1:", error));
  EXPECT_EQ(error, EBUSY);
  first.reset();
  EXPECT_EQ(ports.open_handles, 0);
  EXPECT_TRUE(ports.Open(u"COM1:", error));
}

TEST(FakeSerialPort, ReadsSpendTheirTimeOutOrTheBytesLineTime) {
  TestClock clock;
  FakeSerialPorts ports(clock);
  int error = 0;
  auto port = ports.Open(u"COM1:", error);
  LineSettings settings{};
  settings.baud = 4800;
  ASSERT_TRUE(port->SetState(settings));
  ASSERT_TRUE(port->SetTimeouts({0, 0, 1000, 0, 1000}));
  uint8_t buffer[4];
  size_t count = 0;

  uint64_t before = clock.NowUs();
  ASSERT_TRUE(port->Read(buffer, count));
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(clock.NowUs() - before, 1'000'000u);

  ports.talk = [](uint32_t baud) { return baud == 4800 ? std::string("abcdef") : std::string(); };
  before = clock.NowUs();
  ASSERT_TRUE(port->Read(buffer, count));
  EXPECT_EQ(count, 4u);
  EXPECT_EQ(clock.NowUs() - before, 4 * 10'000'000u / 4800);
  EXPECT_EQ(ports.Unread(), 2u);
  ASSERT_TRUE(port->Purge(purge::kRxClear));
  EXPECT_EQ(ports.Unread(), 0u);

  ASSERT_TRUE(port->SetTimeouts({kMaxTimeout, 0, 0, 10, 1000}));
  ports.talk = nullptr;
  before = clock.NowUs();
  ASSERT_TRUE(port->Read(buffer, count));
  EXPECT_EQ(clock.NowUs(), before) << "a probe read returns at once";
}

}  // namespace
}  // namespace larkspan::testing
