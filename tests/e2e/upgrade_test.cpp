// Whole upgrades: larkspan-cli upgrade against receiver-sim with the generated payloads, in
// real time (about a minute each), run side by side by CTest. They check what only the real
// pty and processes show: the speed at which the receiver heard each command (its log), the
// boxes on standard error, the exit status and the installed-version record file.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>

#include "tests/e2e/mock_logind.h"
#include "tests/e2e/process.h"

namespace larkspan::e2e {
namespace {

namespace fs = std::filesystem;

const fs::path kPayloads = PAYLOAD_DIR;

struct Outcome {
  RunResult run;
  std::string log;                    // receiver-sim's
  std::optional<std::string> record;  // the installed-version value, when one was written
  std::string trace;                  // the wire trace larkspan-cli recorded
};

// One upgrade against a receiver-sim started with `options`, in a device root of its own (the
// updater holds its payload files for exclusive use), with the installed-version key and a
// logind that grants its sleep lock; `json`: its events on standard output.
Outcome Upgrade(const std::vector<std::string>& options, bool json = false) {
  const TempDir dir;
  const fs::path key = dir.path() / "registry/HKEY_LOCAL_MACHINE/SOFTWARE/Apps/Tessan SW";
  fs::create_directories(key);
  fs::copy(kPayloads, dir.path() / "root");
  SimProcess sim(options);
  const MockLogind logind;
  std::vector<std::string> argv{LARKSPAN_CLI, "--port", sim.device(), "--root", dir.path() / "root", "upgrade",
                                "--trace", dir.path() / "trace"};
  if (json) argv.push_back("--json");
  const RunResult run = Run(argv, 400,
                            {"LARKSPAN_REGISTRY=" + (dir.path() / "registry").string(),
                             "XDG_STATE_HOME=" + dir.path().string(), "DBUS_SYSTEM_BUS_ADDRESS=" + logind.address()});
  return {run, sim.Log(), fs::exists(key / "FW") ? std::optional(ReadFile(key / "FW")) : std::nullopt,
          ReadFile(dir.path() / "trace")};
}

// The new firmware starts at 38400, so the revert's tries at 115200 and 57600 reach it as
// garbage and the third is understood. The events are valid JSON lines, the result last.
TEST(Upgrade, AWholeUpgradeFlashesTheFirmwareRevertsAt38400AndRecordsTheNewVersion) {
  const Outcome o =
      Upgrade({"--firmware", kPayloads / "Orvel_GPS_Firmware_R10.s", "--after-flash-speed", "38400"}, true);
  EXPECT_EQ(o.run.exit_status, 0) << o.run.out << o.run.err;
  EXPECT_EQ(SchemaErrors(o.run.out), "");
  EXPECT_EQ(Count(o.run.out, R"({"event":"result","ok":true,"result":"ok","exit_status":0,"failed_stage":null,)"
                             R"("old_version":"2.3.2.03.07","new_version":"2.4.13.03.10","seconds":)"), 1u)
      << o.run.out;
  // The second switch sentence, sent at 4800 to a receiver already at 38400, is garbage.
  for (const char* event :
       {"rx-sentence speed=4800 checksum=ok text=$PSRF100,0,38400,8,1,0*3C", "rx-garbled host=4800 sim=38400 bytes=27",
        "rx-frame speed=38400 len=9 mid=0x94 checksum=ok", "rx-frame speed=38400 len=10 mid=0x53 checksum=ok",
        "loader-header speed=115200 hex=5300000037ec", "flash-end records=19141 data-bytes=306220 match=yes",
        "rx-garbled host=115200 sim=38400 bytes=32", "rx-garbled host=57600 sim=38400 bytes=32",
        "rx-frame speed=38400 len=32 mid=0x81 checksum=ok", "rx-sentence speed=4800 checksum=ok text=$PSRF103,4,0,1,1*21",
        "rx-sentence speed=4800 checksum=ok text=$PSRF101,-2686700,-4304200,3851624,75000,497260,921,12,8*29"}) {
    EXPECT_EQ(Count(o.log, event), 1u) << event << "\n" << o.log;
  }
  EXPECT_EQ(o.record, std::string(" \0" "2\0.\0" "4\0.\0" "1\0" "3\0.\0" "0\0" "3\0.\0" "1\0" "0\0\0\0", 28));
}

// The wire trace of the failed run, cut in its last line as a killed writer leaves it, its
// receiver side played back by receiver-sim to a fresh larkspan-cli: the same status lines,
// boxes and exit status.
TEST(Upgrade, ALoaderThatFallsSilentEndsTheUpdaterWithAFailure) {
  const Outcome o = Upgrade({"--silent-after-record", "100"});
  EXPECT_EQ(o.run.exit_status, 1) << o.run.err;
  EXPECT_EQ(o.record, std::nullopt);
  const TempDir dir;
  std::ofstream(dir.path() / "trace", std::ios::binary) << o.trace.substr(0, o.trace.size() - 3);
  const Outcome replayed = Upgrade({"--replay", dir.path() / "trace"});
  EXPECT_EQ(replayed.run.exit_status, o.run.exit_status);
  EXPECT_EQ(replayed.run.out, o.run.out);
  const auto boxes = [](const std::string& err) { return err.substr(0, err.rfind("larkspan-cli: ")); };  // not the hint
  EXPECT_EQ(boxes(replayed.run.err), boxes(o.run.err));
  EXPECT_EQ(Count(replayed.log, "replay-departs"), 0u) << replayed.log;
}

// An upgrade whose history goes into `state` and which gets `signals`, 300 ms apart, once the
// S-record stream has begun. Its exit status and standard error.
RunResult UpgradeSignalled(const fs::path& state, const std::vector<int>& signals) {
  const TempDir dir;
  fs::copy(kPayloads, dir.path() / "root");
  const SimProcess sim({});
  const pid_t cli = Spawn({LARKSPAN_CLI, "--port", sim.device(), "--root", dir.path() / "root", "--json", "upgrade"},
                          dir.path() / "out", dir.path() / "err",
                          {"XDG_STATE_HOME=" + state.string(), "LARKSPAN_REGISTRY=" + (dir.path() / "none").string()});
  for (int i = 0; i < 2000 && ReadFile(dir.path() / "out").find("\"stage\":\"firmware\"") == std::string::npos; ++i) {
    usleep(100'000);
  }
  for (const int signal : signals) {
    kill(cli, signal);
    usleep(300'000);
  }
  const int status = WaitFor(cli, 400);
  return {status, ReadFile(dir.path() / "out"), ReadFile(dir.path() / "err")};
}

std::vector<nlohmann::ordered_json> History(const fs::path& state) {
  const RunResult run = Run({LARKSPAN_CLI, "history", "--json"}, 30, {"XDG_STATE_HOME=" + state.string()});
  std::vector<nlohmann::ordered_json> lines;
  std::istringstream in(run.out);
  for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::ordered_json::parse(line, nullptr, false));
  return lines;
}

// A closed terminal (SIGHUP) in the middle of the stream changes nothing, and one SIGINT is
// answered with what stopping would do: the receiver is flashed whole. A run killed outright
// (SIGKILL) writes nothing, and two runs that fail before the receiver is touched follow (the
// generated files refused for a device that is no pty, no payload files); the history holds
// the three others in order, and prints them as a table.
TEST(Upgrade, SighupAndOneSigintInTheStreamChangeNothingAndTheHistoryKeepsEveryRun) {
  const TempDir state;
  const RunResult signalled = UpgradeSignalled(state.path(), {SIGHUP, SIGINT});
  EXPECT_EQ(signalled.exit_status, 0) << signalled.err;
  EXPECT_EQ(Count(signalled.err, "interrupt again within 5 seconds to stop it all the same"), 1u) << signalled.err;
  EXPECT_EQ(UpgradeSignalled(state.path(), {SIGKILL}).exit_status, -1);
  const TempDir root;
  fs::copy(kPayloads, root.path());
  const std::vector<std::string> env{"XDG_STATE_HOME=" + state.path().string()};
  const RunResult refused = e2e::Run({LARKSPAN_CLI, "--port", "/dev/null", "--root", root.path(), "upgrade"}, 60, env);
  EXPECT_EQ(refused.exit_status, 4) << "payloads refused";
  EXPECT_NE(refused.err.find("\nUpdate: These files are test data made by make-payloads, not firmware for a "
                             "real receiver.\n"), std::string::npos) << refused.err;
  EXPECT_EQ(e2e::Run({LARKSPAN_CLI, "--port", "/nonexistent/port", "--root", root.path() / "none", "upgrade"}, 60, env)
                .exit_status, 4);
  const auto h = History(state.path());
  ASSERT_EQ(h.size(), 3u);
  const auto size = [](const auto& value) { return std::to_string(value.size()); };
  EXPECT_EQ(h[0].value("result", "") + " " + h[0].value("version_after", "") + " " + size(h[0]["stage_seconds"]) + " " +
                size(h[0].value("firmware_sha256", "")) + ", " + h[1].value("port", "") + ", " + h[2].value("failed_stage", ""),
            "ok 2.4.13.03.10 5 64, /dev/null, payloads") << h[0].dump();
  const RunResult table = e2e::Run({LARKSPAN_CLI, "history"}, 30, env);
  EXPECT_EQ(Count(table.out, "\n"), 4u) << table.out;
  EXPECT_NE(table.out.find("/nonexistent/port"), std::string::npos) << table.out;
  // A history that cannot be written is said, and changes nothing else.
  const RunResult unrecorded = e2e::Run({LARKSPAN_CLI, "--port", "/dev/null", "--root", root.path(), "upgrade"}, 60,
                                        {"XDG_STATE_HOME=/dev/null"});
  EXPECT_EQ(unrecorded.exit_status, 4);
  EXPECT_NE(unrecorded.err.find("larkspan-cli: the upgrade history cannot be written: /dev/null/larkspan/history.jsonl"),
            std::string::npos) << unrecorded.err;
}

// A terminal whose output is stopped from the start (as Ctrl-S or a frozen SSH session stops
// it) holds nothing up. In the stream a SIGINT pair still stops the run at its next record; it
// ends once the output flows with 130, the stage, the hint and a history line
// saying where (scripts/vm-test sees the port put back through real drivers). A
// SIGINT that comes once the receiver is flashed and its history line written leaves status 0,
// while the output is still stopped; that line names a port path that is not UTF-8.
TEST(Upgrade, AStoppedTerminalHoldsNothingUpAndSignalsAreStillAnswered) {
  for (const bool flashed : {false, true}) {
    const TempDir dir;
    fs::copy(kPayloads, dir.path() / "root");
    const SimProcess sim(flashed ? std::vector<std::string>{} : std::vector<std::string>{"--pace", "--log-records"});
    const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(terminal >= 0 && grantpt(terminal) == 0 && unlockpt(terminal) == 0);
    const std::string slave = ptsname(terminal);
    const int output = open(slave.c_str(), O_RDWR | O_NOCTTY);
    tcflow(output, TCOOFF);
    const fs::path odd_port = dir.path() / "gps\xFF";
    fs::create_symlink(sim.device(), odd_port);
    const pid_t cli = Spawn({LARKSPAN_CLI, "--port", odd_port, "--root", dir.path() / "root", "upgrade"}, slave, slave,
                            {"XDG_STATE_HOME=" + dir.path().string(), "LARKSPAN_REGISTRY=/nonexistent"});
    if (flashed) {
      for (int i = 0; i < 1200 && !ReadFile(dir.path() / "larkspan/history.jsonl").ends_with('\n'); ++i) usleep(100'000);
      kill(cli, SIGINT);
      EXPECT_EQ(WaitFor(cli, 30), 0);
    } else {
      for (int i = 0; i < 1200 && Count(sim.Log(), "record n=") < 20; ++i) usleep(100'000);
      kill(cli, SIGINT);
      usleep(300'000);
      kill(cli, SIGINT);
      sleep(2);
      const size_t records = Count(sim.Log(), "record n=");
      sleep(2);
      EXPECT_EQ(Count(sim.Log(), "record n="), records) << "no record after the stop";
      tcflow(output, TCOON);
      EXPECT_EQ(WaitFor(cli, 30), 130);
      char shown[4096] = {};  // what waited for the terminal, a few lines
      EXPECT_TRUE(read(terminal, shown, sizeof shown - 1) > 0 && std::strstr(shown, "larkspan-cli: stopped by SIGINT "
                  "during the firmware stage\r\nlarkspan-cli: the receiver has no working firmware (record ") &&
                  std::strstr(shown, ("was the next to go when it was stopped), and its flash loader no longer answers "
                  "this tool. Switch the receiver off and on, then run: larkspan-cli --port '" + odd_port.string()).c_str()))
          << shown;
    }
    close(output);
    close(terminal);
    const auto h = History(dir.path());
    ASSERT_EQ(h.size(), 1u);
    EXPECT_EQ(h[0].value("result", "") + " " + h[0]["exit_status"].dump() + " " + h[0].value("port", "").substr(
                  dir.path().string().size()), flashed ? "ok 0 /gps\uFFFD" : "stopped 130 /gps\uFFFD");
  }
}

}  // namespace
}  // namespace larkspan::e2e
