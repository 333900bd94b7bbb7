// larkspan-cli as a whole process, in real time: against a port another process holds, and
// on broken payload files.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>

#include "tests/e2e/process.h"

namespace larkspan::e2e {
namespace {

// Each command's first open fails with its box, once: no second attempt, no byte sent.
TEST(CliAgainstReceiver, APortHeldByAnotherProcessIsReportedOnce) {
  SimProcess sim({});
  const int holder = open(sim.device().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  for (const auto& [command, out, err] :
       {std::tuple{"version", "", "Message: COM1 can't be opened.\n"},
        {"repair", "Checking the receiver at 38400 and 57600 baud...\nCheck&Repair fail.\n",
         "Error: Unable to open COM1:, Error No.=11\n"}}) {
    const RunResult run = e2e::Run({LARKSPAN_CLI, "--port", sim.device(), command}, 120);
    EXPECT_EQ(run.exit_status, 1) << command;
    EXPECT_EQ(run.out, out);
    EXPECT_EQ(run.err, err);
  }
  close(holder);
  EXPECT_EQ(sim.Log().find("rx-"), std::string::npos) << sim.Log();
}

// What each check finds is pinned where the checks are tested; here, the process: `check`
// names the file and its line and exits 1, `upgrade` refuses before it reads the port.
TEST(BadPayloads, CheckNamesTheFaultAndUpgradeRefusesItWithoutTouchingTheReceiver) {
  const std::string header = "S00600004844521B\r\n", data = "S3150000000000112233445566778899AABBCCDDEEFFF2\r\n";
  for (const std::string& content : {std::string(), header + data + data + "S70500000000FA\r\n"}) {
    const TempDir root;
    std::filesystem::copy(std::filesystem::path(PAYLOAD_DIR) / "dlgsp2.bin", root.path());
    const std::string firmware = root.path() / "Orvel_GPS_Firmware_R10.s";
    std::ofstream(firmware, std::ios::binary) << content;
    const RunResult check = e2e::Run({LARKSPAN_CLI, "check", firmware}, 30);
    EXPECT_EQ(check.exit_status, 1);
    EXPECT_EQ(check.out, firmware + ": firmware S-record file: error: " +
                             (content.empty() ? "line 1: file is empty\n"
                                              : "line 3: data at 00000000 is written by this record and by line 2; "
                                                "no byte may be written twice\n"));
    const RunResult upgrade =
        e2e::Run({LARKSPAN_CLI, "--port", "/nonexistent/receiver", "--root", root.path(), "upgrade"}, 30);
    EXPECT_EQ(upgrade.exit_status, 1);
    EXPECT_EQ(upgrade.out, "");
    EXPECT_TRUE(upgrade.err.ends_with("larkspan-cli: refusing to upgrade with these payload files "
                                      "(--no-check skips this check)\n")) << upgrade.err;
  }
}

}  // namespace
}  // namespace larkspan::e2e
