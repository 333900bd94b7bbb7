// The real port opens exclusively. A fake that let a second handle open would let a channel
// opened while the other is still open pass every test here and fail on a receiver.
#include <gtest/gtest.h>

#include <cerrno>

#include "tests/fakes/fake_serial_port.h"

namespace larkspan::testing {
namespace {

TEST(FakeSerialPort, RefusesASecondHandleUntilTheFirstIsClosed) {
  TestClock clock;
  FakeSerialPorts ports(clock);
  int error = 0;
  auto first = ports.Open(u"COM1:", error);
  ASSERT_TRUE(first);
  EXPECT_FALSE(ports.Open(u"COM1:", error));
  EXPECT_EQ(error, EBUSY);
  first.reset();
  EXPECT_TRUE(ports.Open(u"COM1:", error));
}

}  // namespace
}  // namespace larkspan::testing
