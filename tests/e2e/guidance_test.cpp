// What larkspan-cli tells a user after each kind of failure, tried as the user would: the hint
// names the state the receiver is left in and a command with the user's own port and root, and
// that command, run against the receiver-sim left in that state (its power cycled where the
// hint says so), brings the receiver back. Then the question asked before flashing, on a
// terminal. In real time.
#include <fcntl.h>
#include <sys/file.h>
#include <stdlib.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <sstream>

#include "tests/e2e/process.h"

namespace larkspan::e2e {
namespace {

namespace fs = std::filesystem;

// A device root with the generated payloads, where a run also keeps its history and registry.
struct Bench {
  Bench() { fs::copy(PAYLOAD_DIR, dir.path() / "root"); }
  std::vector<std::string> Env() const { return {"XDG_STATE_HOME=" + dir.path().string(), "LARKSPAN_REGISTRY=/none"}; }
  std::vector<std::string> Upgrade(const SimProcess& sim, const std::string& more = "") const {
    std::vector<std::string> argv{LARKSPAN_CLI, "--port", sim.device(), "--root", dir.path() / "root", "upgrade"};
    if (!more.empty()) argv.push_back(more);
    return argv;
  }
  TempDir dir;
};

// The command the hint on standard error says to run, split into its words.
std::vector<std::string> HintedCommand(const std::string& err) {
  const size_t from = err.find(": larkspan-cli --port ") + 15;  // its words after the program's name
  const std::string line = err.substr(from, err.find('\n', from) - from);
  std::istringstream words(line.substr(0, line.find(". ")));  // the sentence after it aside
  std::vector<std::string> argv{LARKSPAN_CLI};
  for (std::string word; words >> word;) argv.push_back(word);
  return argv;
}

// Every hint but that after a failed revert (status 6) says to switch the receiver off and on.
// (A stop in the stream leaves the receiver as a rejected record does: its hint is seen by
// Upgrade.AStoppedTerminalHoldsNothingUpAndSignalsAreStillAnswered.)
struct Failure {
  const char* name;
  std::vector<std::string> sim;
  int status;
  const char* hint;  // what the hint says of the receiver
};
void PrintTo(const Failure& f, std::ostream* os) { *os << f.name; }

class Guidance : public ::testing::TestWithParam<Failure> {};

TEST_P(Guidance, TheHintedCommandBringsTheReceiverBack) {
  const Failure& f = GetParam();
  const Bench bench;
  const SimProcess sim(f.sim);
  const fs::path err = bench.dir.path() / "err";
  const pid_t cli = Spawn(bench.Upgrade(sim, "--json"), bench.dir.path() / "out", err, bench.Env());
  const bool power_cycle = f.status != 6;
  const fs::path history = bench.dir.path() / "larkspan/history.jsonl";
  int taken = 0;  // after the flash, times another program got the port before the run let it go
  for (int i = 0; i < 3000 && !power_cycle && sim.Log().find("flash-end") == std::string::npos; ++i) usleep(100'000);
  for (int i = 0; i < 30'000 && !power_cycle && !ReadFile(history).ends_with('\n'); ++i, usleep(10'000)) {
    const int taker = open(sim.device().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    taken += taker >= 0 && flock(taker, LOCK_EX | LOCK_NB) == 0;
    if (taker >= 0) close(taker);
  }
  EXPECT_EQ(WaitFor(cli, 300), f.status);
  EXPECT_EQ(taken, 0) << "no other program takes the port between the worker's channels";
  const std::string said = ReadFile(err), events = ReadFile(bench.dir.path() / "out");
  EXPECT_TRUE(Count(said, f.hint) == 1 && Count(events, f.hint) == 1) << said << events;  // and in the JSON result
  EXPECT_NE(said.find("larkspan-cli --port " + sim.device() + (power_cycle ? " --root " +
                       (bench.dir.path() / "root").string() + " upgrade" : " repair")), std::string::npos) << said;
  EXPECT_EQ(Count(ReadFile(history), f.status == 6 ?
                  R"("version_after":null,"result":"not-back-in-nmea","exit_status":6)" : "\"exit_status\""), 1u);
  if (power_cycle) kill(sim.pid(), SIGUSR1);
  EXPECT_EQ(e2e::Run(HintedCommand(said), 300, bench.Env()).exit_status, 0);
}

INSTANTIATE_TEST_SUITE_P(
    After, Guidance,
    ::testing::Values(
        Failure{"ARejectedRecord", {"--reject-record", "5"}, 1,
                "the receiver has no working firmware (record 5 of 19141 was not taken), and its flash loader no longer "
                "answers this tool. Switch the receiver off and on, then run: "},
        Failure{"ASilentLoader", {"--silent-after-record", "5"}, 1,
                "(record 6 of 19141 got no answer from the loader), and its flash loader"},
        Failure{"AFailedRevert", {"--after-flash-speed", "38400", "--refuse-nmea-at", "38400", "--refuse-nmea-times", "1"},
                6, "the new firmware is in, but the receiver was not heard in NMEA again: it runs the new firmware in "
                   "SiRF binary. Bring it back with: "}),
    [](const auto& each) { return std::string(each.param.name); });

// What a terminal's master side has shown so far, read until `text` appears (20 s at most).
bool Shown(int master, std::string& shown, const std::string& text) {
  for (int i = 0; i < 2000 && shown.find(text) == std::string::npos; ++i) {
    char bytes[4096];
    const ssize_t n = read(master, bytes, sizeof bytes);
    if (n > 0) shown.append(bytes, static_cast<size_t>(n)); else usleep(10'000);
  }
  return shown.find(text) != std::string::npos;
}

// Asked once on a terminal, before anything is sent: no ends the run with 7 and flashes
// nothing; yes (or --yes or --json, with no question) goes on to flash, and a stop then,
// before the flash-update command, leaves the old firmware in SiRF binary, which the hinted
// repair brings back. A receiver that runs the new version is not flashed again (skipped,
// status 0; off a terminal, as here with --json) unless --force is given.
TEST(Question, AskedOnceOnATerminalBeforeAnythingIsFlashed) {
  const Bench bench;
  const SimProcess sim({}), flashed({"--reports-version", " 2.4.13.03.10"});
  for (const std::string answer : {"n\n", "y\n", "--yes", "--json", "--force"}) {
    const bool typed = answer[0] != '-', forced = answer == "--force";
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
    const std::string terminal = ptsname(master);
    const pid_t cli = Spawn(bench.Upgrade(forced ? flashed : sim, typed ? "" : answer), terminal, terminal, bench.Env(),
                            terminal);
    std::string shown;
    if (typed || forced) {
      EXPECT_TRUE(Shown(master, shown, "About to flash the receiver on ") && Shown(master, shown, "Flash now? [y/N] "));
      (void)!write(master, forced ? "n\n" : answer.c_str(), 2);
    }
    if (answer == "n\n" || forced) {
      EXPECT_EQ(WaitFor(cli, 60), 7);
    } else {
      EXPECT_TRUE(Shown(master, shown, "Switch to SiRF Binary protocal...")) << shown;
      for (int i = 0; i < 2; ++i, usleep(300'000)) kill(cli, SIGINT);
      EXPECT_EQ(WaitFor(cli, 60), 130);
      EXPECT_TRUE(Shown(master, shown, "still runs its old firmware, in SiRF binary. Bring it back to NMEA with: "));
      EXPECT_TRUE(Shown(master, shown, "repair\r\n") && Count(shown, "Flash now?") == (typed ? 1u : 0u)) << shown;
      EXPECT_EQ(e2e::Run(HintedCommand(shown), 120, bench.Env()).exit_status, 0);
    }
    close(master);
  }
  EXPECT_EQ(sim.Log().find("mid=0x94"), std::string::npos) << "nothing flashed";
  const RunResult skipped = e2e::Run(bench.Upgrade(flashed, "--json"), 60, bench.Env());
  EXPECT_TRUE(skipped.exit_status == 0 && skipped.out.find("\"result\":\"skipped\"") != std::string::npos &&
              skipped.err.find("runs 2.4.13.03.10 already: nothing to do (--force flashes it again)") != std::string::npos)
      << skipped.out << skipped.err;
}

}  // namespace
}  // namespace larkspan::e2e
