// A fresh program state on the fake port, the test clock and the recording sink.
#pragma once

#include <gtest/gtest.h>

#include "receiver/program_state.h"
#include "tests/fakes/fake_serial_port.h"
#include "tests/fakes/memory_registry.h"
#include "tests/fakes/recording_sink.h"
#include "tests/fakes/test_clock.h"

namespace larkspan::testing {

class ChannelTest : public ::testing::Test {
 protected:
  TestClock clock;
  FakeSerialPorts port{clock};
  RecordingSink sink;
  MemoryRegistry registry;
  ProgramState state{port, clock, sink, registry};

  using Lines = std::vector<std::string>;
};

}  // namespace larkspan::testing
