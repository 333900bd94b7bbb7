// larkspan-cli against receiver-sim on a pseudo-terminal, through the real termios back-end
// and in real time. Few and in parallel: each repair attempt takes about 20 seconds.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/e2e/process.h"

namespace larkspan::e2e {
namespace {

RunResult Cli(const SimProcess& sim, const std::string& command, int timeout_s = 120) {
  return Run({LARKSPAN_CLI, "--port", sim.device(), command}, timeout_s);
}

TEST(CliAgainstReceiver, RepairBringsBack38400InOneAttemptAndVersionThenReadsIt) {
  SimProcess sim({"--binary", "38400"});
  const RunResult repair = Cli(sim, "repair");
  EXPECT_EQ(repair.exit_status, 0) << repair.out << repair.err;
  EXPECT_NE(repair.out.find("Check successfully."), std::string::npos) << repair.out;
  EXPECT_EQ(repair.err, "");
  const std::string log = sim.Log();
  EXPECT_EQ(Count(log, "rx-frame speed=38400 len=32 mid=0x81 checksum=ok"), 1u) << log;
  EXPECT_EQ(Count(log, "len=32 mid=0x81"), 1u) << "one attempt only\n" << log;
  EXPECT_NE(log.find("mode nmea speed=4800"), std::string::npos) << log;

  const RunResult version = Cli(sim, "version");
  EXPECT_EQ(version.exit_status, 0) << version.err;
  EXPECT_EQ(version.out, "Current Firmware version: 2.3.2.03.07\n");
}

TEST(CliAgainstReceiver, RepairReachesAReceiverAt57600OnTheThirdAttempt) {
  SimProcess sim({"--binary", "57600"});
  const RunResult repair = Cli(sim, "repair");
  EXPECT_EQ(repair.exit_status, 0) << repair.out << repair.err;
  EXPECT_NE(repair.out.find("Check successfully."), std::string::npos) << repair.out;
  const std::string log = sim.Log();
  // The two tries at 38400 reach the receiver as garbage; the third is understood.
  EXPECT_EQ(Count(log, "rx-garbled host=38400 sim=57600 bytes=32"), 2u) << log;
  EXPECT_EQ(Count(log, "rx-frame speed=57600 len=32 mid=0x81 checksum=ok"), 1u) << log;
}

TEST(CliAgainstReceiver, APortHeldByAnotherProcessIsReportedOnce) {
  SimProcess sim({});
  const int holder = open(sim.device().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);

  const RunResult version = Cli(sim, "version");
  EXPECT_EQ(version.exit_status, 1);
  EXPECT_EQ(version.err, "Message: COM1 can't be opened.\n");
  EXPECT_EQ(version.out, "");

  const RunResult repair = Cli(sim, "repair");
  EXPECT_EQ(repair.exit_status, 1);
  EXPECT_EQ(repair.err, "Error: Unable to open COM1:, Error No.=11\n");
  EXPECT_NE(repair.out.find("Check&Repair fail."), std::string::npos) << repair.out;
  EXPECT_LT(repair.seconds, 10.0) << "one attempt, ended at the failed open";
  close(holder);
}

}  // namespace
}  // namespace larkspan::e2e
