// larkspan-cli as a whole process, in real time: against a port another process holds, and
// on broken payload files.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <tuple>

#include "frontend/cli/ports_command.h"
#include "tests/e2e/mock_logind.h"
#include "tests/e2e/process.h"

namespace larkspan::e2e {
namespace {

// Each command's first open fails, once: no byte is sent, and standard error names the real
// processes that hold the port (the simulator keeps its own side's slave open as well). An
// upgrade that ends there at its start guard still held off sleep through logind while its
// worker ran; with no system bus it says so once and goes on.
TEST(CliAgainstReceiver, AHeldPortNamesItsHoldersAndAnUpgradeHoldsOffSleepOrSaysOnceThatItCannot) {
  const SimProcess sim({});
  const int holder = open(sim.device().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  const std::string comm = ReadFile("/proc/self/comm");  // this program's name and a line feed
  const std::string holders = " is held by " + comm.substr(0, comm.size() - 1) + " (pid " + std::to_string(getpid()) +
                              "), receiver-sim (pid " + std::to_string(sim.pid()) + "): ";
  for (const auto& [command, box] : {std::pair{"version", "\nMessage: COM1 can't be opened.\n"},
                                     {"repair", "\nError: Unable to open COM1:, Error No.=11\n"}}) {
    const RunResult run = e2e::Run({LARKSPAN_CLI, "--port", sim.device(), command}, 120);
    EXPECT_EQ(run.exit_status, 3) << command << ": the port cannot be opened";
    EXPECT_TRUE(Count(run.err, holders) == 1 && Count(run.err, box) == 1) << run.err;
  }
  const TempDir root;
  std::filesystem::copy(PAYLOAD_DIR, root.path());
  const std::vector<std::string> upgrade{LARKSPAN_CLI, "--port", sim.device(), "--root", root.path(), "upgrade"};
  {
    const MockLogind logind;
    const RunResult run = e2e::Run(upgrade, 120, {"DBUS_SYSTEM_BUS_ADDRESS=" + logind.address()});
    EXPECT_EQ(run.exit_status, 3);
    EXPECT_EQ(Count(logind.Calls(), "Inhibit \"sleep:idle\" \"Larkspan\" \"Updating the GPS receiver's firmware\" "
                                    "\"block\""), 1u) << logind.Calls();
    EXPECT_EQ(logind.Inhibitors().find("Larkspan"), std::string::npos);
    EXPECT_EQ(run.err.find("sleep could not be held off"), std::string::npos) << run.err;
  }
  const RunResult run = e2e::Run(upgrade, 120, {"DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/bus"});
  EXPECT_EQ(run.exit_status, 3);
  EXPECT_EQ(Count(run.err, "larkspan-cli: sleep could not be held off during the upgrade ("), 1u) << run.err;
  close(holder);
  EXPECT_EQ(sim.Log().find("rx-"), std::string::npos) << sim.Log();
}

// The statuses the other runs do not reach: a usage error (2) and a receiver that sends no
// version (5). (6 is After/Guidance.TheHintedCommandBringsTheReceiverBack/AFailedRevert.)
TEST(CliAgainstReceiver, TheExitStatusSaysWhatFailedFirst) {
  EXPECT_EQ(e2e::Run({LARKSPAN_CLI, "upgrade", "--no-such-option"}, 30).exit_status, 2);
  EXPECT_EQ(e2e::Run({RECEIVER_SIM, "--replay", "/tmp"}, 30).err, "receiver-sim: --replay /tmp: not a regular file\n");
  for (const char* program : {LARKSPAN_CLI, RECEIVER_SIM, MAKE_PAYLOADS}) {
    const std::string name = std::filesystem::path(program).filename();
    EXPECT_EQ(e2e::Run({program, "--version"}, 30).out, name + " " LARKSPAN_VERSION "\n");
  }
  const SimProcess mute({"--no-version"});
  const RunResult version = e2e::Run({LARKSPAN_CLI, "version", "--json", "--port", mute.device()}, 60);
  EXPECT_EQ(version.exit_status, 5);
  EXPECT_EQ(SchemaErrors(version.out), "");
  EXPECT_NE(version.out.find("\"failed_stage\":\"version\""), std::string::npos) << version.out;
}

// On this machine: exits 0, lists no pseudo-terminal and opens no device (strace watches).
TEST(CliAgainstReceiver, PortsListsNoPtyAndOpensNothing) {
  SimProcess sim({});
  const TempDir dir;
  for (const char* form : {"--probe", "--json"}) {
    const std::string trace = dir.path() / "trace";
    std::vector<std::string> argv{"/usr/bin/strace", "-f", "-qq", "-e", "trace=open,openat", "-o", trace,
                                  LARKSPAN_CLI, "ports", form};
    if (std::string(form) == "--probe") argv.push_back("--json");
    // LeakSanitizer, in the sanitizer build, cannot run under strace.
    const RunResult run = e2e::Run(argv, 60, {"ASAN_OPTIONS=detect_leaks=0"});
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(run.out.find("/dev/pts"), std::string::npos) << run.out;
    EXPECT_EQ(SchemaErrors(run.out), "");
    const std::string opened = ReadFile(trace);
    // --probe opens only free ports that are not the kernel's console: none here.
    for (const char* device : {"\"/dev/tty", "\"/dev/pts", "\"/dev/serial/by-id/", "\"/dev/console"}) {
      EXPECT_EQ(opened.find(device), std::string::npos) << device << " in\n" << opened;
    }
  }
}

// A machine whose kernel console is the simulator's pty (its /proc/consoles bound over the real
// one in a mount namespace of the run's own), then one whose sysfs shows no UART behind it:
// `version` on the pty, or on a link to it, exits 3 with the open-failure box and the reason,
// and never opens it (strace).
TEST(CliAgainstReceiver, TheConsoleAndAPortWithoutAUartAreNeverOpened) {
  const SimProcess sim({});
  const TempDir dir;
  struct stat info {};
  ASSERT_EQ(stat(sim.device().c_str(), &info), 0);
  const std::string number = std::to_string(major(info.st_rdev)) + ":" + std::to_string(minor(info.st_rdev));
  std::ofstream(dir.path() / "consoles") << sim.device().substr(5) << "  -W- (EC p  )    " << number << "\n";
  std::filesystem::create_directories(dir.path() / "char" / number);
  std::ofstream(dir.path() / "char" / number / "type") << "0\n";
  std::filesystem::create_symlink(sim.device(), dir.path() / "gps");
  for (const auto& [ours, mount, port, reason] : {std::tuple<std::string, std::string, std::string, std::string>{
           dir.path() / "consoles", "/proc/consoles", sim.device(), "the kernel's console"}, {dir.path() / "consoles",
           "/proc/consoles", dir.path() / "gps", "the kernel's console"}, {dir.path() / "char", "/sys/dev/char",
           sim.device(), "a serial port with no UART behind it"}}) {
    // LeakSanitizer, in the sanitizer build, cannot run under strace.
    const RunResult run = e2e::Run({"/usr/bin/unshare", "-m", "/bin/sh", "-c", "mount --bind \"$0\" \"$1\" && "
                                    "export ASAN_OPTIONS=detect_leaks=0 && exec /usr/bin/strace -f -qq -e trace=open,openat "
                                    "-o \"$2\" \"$3\" --port \"$4\" version", ours, mount, dir.path() / "trace",
                                    LARKSPAN_CLI, port}, 60);
    EXPECT_EQ(run.exit_status, 3) << run.err;
    EXPECT_EQ(run.err, "larkspan-cli: " + port + " is " + reason + ", never the receiver, and is not opened. Find the "
                       "receiver's port with 'larkspan-cli ports', then name it with --port PATH or LARKSPAN_COM1=PATH.\n"
                       "Message: COM1 can't be opened.\nlarkspan-cli: nothing was sent: " + port + " cannot be opened (see "
                       "above). 'larkspan-cli ports' lists this machine's serial devices and what holds them\n");
    const std::string opened = ReadFile(dir.path() / "trace");
    EXPECT_TRUE(opened.find("/dev/pts") == std::string::npos && opened.find(port) == std::string::npos) << opened;
  }
}

// --probe hears the version on every free port, all at once, and never opens the kernel's
// console or a port another process holds.
TEST(CliAgainstReceiver, AProbeListensOnFreePortsOnly) {
  const SimProcess free_port({}), console({}), held({});
  SerialDeviceList list;
  list.devices.resize(3);
  list.devices[0].node = free_port.device();
  list.devices[1].node = console.device();
  list.devices[1].console = true;
  list.devices[2].node = held.device();
  list.devices[2].holders = {{1, "gpsd"}};
  const ProbeResults results = ProbePorts(list);
  EXPECT_EQ(results.at(free_port.device()).version, "2.3.2.03.07");
  EXPECT_EQ(results.at(console.device()).why_not, "not probed: the kernel's console");
  EXPECT_EQ(results.at(held.device()).why_not, "not probed: held by another process");
}

// What each check finds is pinned where the checks are tested; here, the process: `check`
// names the file and its line and exits 4 (payloads refused), `upgrade` refuses before it
// reads the port. The release's firmware with its termination record moved up to just after
// data record 9,569: half of it would never be sent.
TEST(BadPayloads, CheckNamesTheFaultAndUpgradeRefusesItWithoutTouchingTheReceiver) {
  const TempDir root;
  std::filesystem::copy(PAYLOAD_DIR, root.path());
  const std::string firmware = root.path() / "Orvel_GPS_Firmware_R10.s";
  const std::string text = ReadFile(firmware);
  size_t cut = 0, end = text.rfind("S7");
  for (int line = 0; line < 9'570; ++line) cut = text.find('\n', cut) + 1;  // the header and 9,569 data records
  std::ofstream(firmware, std::ios::binary) << text.substr(0, cut) + text.substr(end) + text.substr(cut, end - cut);
  const RunResult check = e2e::Run({LARKSPAN_CLI, "check", firmware}, 30);
  EXPECT_EQ(check.exit_status, 4);
  EXPECT_EQ(check.out, firmware + ": firmware S-record file: error: line 9572: S-record after the termination record "
                                  "of line 9571: the updater stops there, so the 9570 records from this line on (9570 "
                                  "data) would never be sent\n");
  const SimProcess sim({});
  for (const char* second : {"", "/nonexistent/second"}) {  // one receiver, then two side by side
    std::vector<std::string> argv{LARKSPAN_CLI, "--port", sim.device(), "--root", root.path(), "upgrade", "--json"};
    if (*second) argv.insert(argv.end(), {"--port", second});
    const RunResult upgrade = e2e::Run(argv, 30, {"XDG_STATE_HOME=" + root.path().string()});
    EXPECT_EQ(upgrade.exit_status, 4) << "payloads refused: " << upgrade.err;
    EXPECT_EQ(Count(upgrade.out, R"("result":"failed","exit_status":4,"failed_stage":"payloads")"), *second ? 2u : 1u);
  }
  EXPECT_EQ(Count(ReadFile(root.path() / "larkspan/history.jsonl"), "\"failed_stage\":\"payloads\""), 3u);
  EXPECT_EQ(sim.Log().find("rx-"), std::string::npos) << sim.Log();
}

}  // namespace
}  // namespace larkspan::e2e
