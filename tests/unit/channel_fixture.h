// A fresh program state on the fake port, the test clock and the recording sink, and the ways
// the probe channel fails to open.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <ostream>
#include <string>

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

// A way the probe channel's open fails, the box it shows, and whether the port stays held
// (until the channel is closed).
struct ProbeFault {
  const char* name;
  void (*arrange)(FakeSerialPorts& port);
  const char* box;
  bool port_held;
};

inline const ProbeFault kProbeFaults[] = {
    {"CannotOpen", [](FakeSerialPorts& port) { port.open_error = EBUSY; },
     "Error: Unable to open COM1:, Error No.=16", false},
    {"SettingsRefused", [](FakeSerialPorts& port) { port.refuse_state = true; },
     "Error: Unable to configure the serial port", true},
    {"TimeoutsRefused", [](FakeSerialPorts& port) { port.refuse_timeouts = true; },
     "Error: Unable to set the time-out parameters", true},
};

// Names parameterised cases after their `name` field, and prints them by it.
template <typename Case>
std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
  return info.param.name;
}
template <typename Case>
  requires requires(const Case& c) { std::string(c.name); }
void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

}  // namespace larkspan::testing
