// larkspan-cli's own parts. What it writes for a whole upgrade on the fakes (the firmware's
// records counted or not), and for one whose writes all fail and that hears no version: the
// terminal's bar line, the JSON events and the wire trace, compared with a reviewed file; what
// follows the wall clock (rates, time left, the trace's stamps) reads "#" or "<us>", the escape
// character "\e". Its command line, and its answer to signals.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <future>
#include <regex>
#include <thread>

#include "frontend/cli/cli_options.h"
#include "frontend/cli/json_sink.h"
#include "frontend/session/output_queue.h"
#include "frontend/cli/signal_watch.h"
#include "frontend/cli/terminal_sink.h"
#include "platform/wire_trace.h"
#include "tests/golden.h"
#include "tests/unit/scenario_rig.h"
#include "tests/unit/temp_file.h"
#include "transfer/upgrade_worker.h"

namespace larkspan::testing {
namespace {

TEST(CliOutput, OnTheTerminalInJsonAndInTheTrace) {
  for (const auto& [name, faults, records] :
       {std::tuple{"whole_upgrade", false, 3}, {"records_not_counted", false, 0}, {"failing_writes", true, 3}}) {
    TestClock clock;
    FakeSerialPorts port{clock};
    FakeReceiver receiver{port};
    port.fail_writes = faults;
    if (faults) receiver.version_line.clear();
    const TempFile trace_file(""), loader(std::string(20, '\x7F')), firmware(Records(1));
    std::string seen;
    {
      WireTrace trace(trace_file.path());
      TracingSerialPorts traced(port, trace);
      std::FILE *bar = std::tmpfile(), *events = std::tmpfile();
      TerminalSink terminal(bar, bar, /*out_is_terminal=*/true);
      JsonSink json(events, terminal);
      MemoryRegistry registry;
      ProgramState state(traced, clock, json, registry);
      state.loader_file.Open(loader.path().string());
      state.srecord_file.Open(firmware.path().string());
      WorkerTelemetry telemetry;
      ProgressMeter meter(state, telemetry, records);  // 0: not counted, as without the payload check
      terminal.Watch(&meter);
      json.Watch(&meter);
      UpgradeWorker(state, telemetry);
      terminal.FinishLine();
      state.CloseChannelsAndFiles();
      seen = std::regex_replace(TakeText(bar), std::regex("\r"), "\\r\n") + TakeText(events);
    }
    seen += e2e::ReadFile(trace_file.path());
    for (const auto& [wall_clock, as] :
         {std::pair{R"(\d+ (bytes|records)/s)", "# $1/s"}, {R"(\d+:\d\d left)", "#:## left"},
          {R"(("rate"|"eta_s"):[0-9][^,}]*)", "$1:#"}, {R"((^|\n)\d+ )", "$1<us> "}, {"\x1b", "\\e"}}) {
      seen = std::regex_replace(seen, std::regex(wall_clock), as);
    }
    ExpectGolden(std::string("cli_output_") + name + ".txt", seen);
  }
}

// Output that cannot be written holds the upgrade up nowhere: a terminal stopped (as Ctrl-S
// stops it) until the receiver has the termination record, and a trace into a FIFO whose
// reader left after the first line, which is said once. The terminal gets the last status.
TEST(CliOutput, AStoppedTerminalAndATraceReaderGoneHoldNothingUp) {
  Rig rig;
  rig.Receiver();
  const std::string fifo = (rig.File("").folder() / "trace").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::thread reader([&] {
    const int fd = open(fifo.c_str(), O_RDONLY);
    for (char c = 0; read(fd, &c, 1) == 1 && c != '\n';) {}
    close(fd);
  });
  std::string told;
  WireTrace trace(fifo, [&](const std::string& text) { told += text; });
  reader.join();
  TracingSerialPorts traced(rig.port, trace);
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
  const int terminal = open(ptsname(master), O_RDWR | O_NOCTTY);
  tcflow(terminal, TCOOFF);
  rig.port.hear = [&, heard = rig.port.hear](const std::vector<uint8_t>& bytes, uint32_t baud) {
    heard(bytes, baud);
    if (Text(bytes).starts_with("S7")) tcflow(terminal, TCOON);
  };
  OutputQueue output;
  TerminalSink sink(output.Stream(terminal), output.Stream(terminal), true, output.ProgressStream(terminal));
  ProgramState state(traced, rig.clock, sink, rig.registry);
  state.loader_file.Open(rig.File(std::string(20, '\x7F')).path().string());
  state.srecord_file.Open(rig.File(Records(3)).path().string());
  WorkerTelemetry telemetry;
  auto worker = std::async(std::launch::async, [&] { return UpgradeWorker(state, telemetry); });
  const bool ended = worker.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
  tcflow(terminal, TCOON);  // lets a worker held by the terminal go
  EXPECT_TRUE(ended && worker.get() == 1) << "the worker waited for the terminal";
  output.Drain();
  usleep(200'000);  // a pty hands bytes over to the other side asynchronously
  char shown[4096] = {};
  EXPECT_TRUE(read(master, shown, sizeof shown - 1) > 0 && std::strstr(shown, "Finished!")) << shown;
  close(terminal);
  close(master);
  trace.Finish();
  EXPECT_EQ(told, "the trace " + fifo + " cannot be written: Broken pipe\n");
}

// A trace reader that never reads: past 16 MiB the lines are dropped, which is said once, however
// long it stays behind and though its last lines are not taken either.
TEST(CliOutput, ATraceThatFallsBehindSaysSoOnce) {
  const TempFile dir("");
  const std::string fifo = (dir.folder() / "slow").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  auto reader = std::async(std::launch::async, [&] { return open(fifo.c_str(), O_RDONLY); });
  std::string told;
  {
    WireTrace trace(fifo, [&](const std::string& text) { told += text; });
    const std::vector<uint8_t> bytes(4096, 0x55);
    for (int i = 0; i < 5000; ++i) trace.Line("write ok", bytes, true);
    usleep(400'000);
  }
  close(reader.get());
  EXPECT_EQ(told, "the trace " + fifo + " fell behind: its reader does not keep up, and calls are missing from it "
                  "from here on\n");
}

// Each sub-command with its options, the global ones before or after it; help and version end
// the run with 0, a usage error with 2.
TEST(CliOptions, TakeEachSubCommandWithItsOptionsOrEndTheRun) {
  const auto parse = [](std::vector<std::string> args) {
    std::vector<char*> argv{const_cast<char*>("larkspan-cli")};
    for (std::string& arg : args) argv.push_back(arg.data());
    const auto parsed = ParseCliOptions(static_cast<int>(argv.size()), argv.data());
    if (const int* status = std::get_if<int>(&parsed)) return "exit " + std::to_string(*status);
    const CliOptions& o = std::get<CliOptions>(parsed);
    std::string text = o.command + " " + (o.ports.empty() ? "-" : o.ports.back()) + " " + o.root.value_or("-") + " " + o.trace.value_or("-") +
                       (o.json ? " json" : "") + (o.check_payloads ? "" : " no-check") + (o.probe ? " probe" : "");
    for (const std::string& file : o.files) text += " " + file;
    return text;
  };
  EXPECT_EQ(parse({"--port", "p", "upgrade", "--root", "r", "--trace", "t", "--json", "--no-check"}),
            "upgrade p r t json no-check");
  EXPECT_EQ(parse({"version"}) + ", " + parse({"repair", "--port", "p"}) + ", " + parse({"ports", "--probe"}) + ", " +
                parse({"history", "--json"}) + ", " + parse({"check", "a", "b"}),
            "version - - -, repair p - -, ports - - - probe, history - - - json, check - - - a b");
  ::testing::internal::CaptureStdout();
  const std::string ends = parse({"--help"}) + parse({"--version"}) + parse({"upgrade", "--help"}),
                    help = ::testing::internal::GetCapturedStdout();
  EXPECT_TRUE(e2e::Count(help, "--port PATH") == 1 && e2e::Count(help, "Exit status") == 1)
      << "upgrade's help lists its own options once; the main help alone has the table: " << help;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(ends + parse({}) + parse({"check"}) + parse({"upgrade", "--probe"}) + parse({"upgrad"}),
            "exit 0exit 0exit 0exit 2exit 2exit 2exit 2");
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("unknown command 'upgrad': did you mean 'upgrade'?"),
            std::string::npos);
  // Several ports: for upgrade only, each once, without a trace; a ports file that is not there.
  EXPECT_EQ(parse({"upgrade", "--port", "a", "--port", "b"}) + ", " + parse({"version", "--port", "a", "--port", "b"}) +
                parse({"upgrade", "--port", "a", "--port", "a"}) + parse({"upgrade", "--port", "a", "--port", "b",
                "--trace", "t"}) + parse({"upgrade", "--ports-file", "/nonexistent"}),
            "upgrade b - -, exit 2exit 2exit 2exit 2");
  EXPECT_NE(help.find(kExitStatusTable), std::string::npos) << help;

  // One receiver under two names (a link and its target, a pty spelt twice); a ports file that
  // names no port, or is no list at all (a folder, a device, a FIFO): refused before anything opens.
  const int pty = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_TRUE(pty >= 0 && grantpt(pty) == 0 && unlockpt(pty) == 0);
  const std::string slave = ptsname(pty), spelt = "/dev/pts//" + slave.substr(9);
  const TempFile list("# no port here\n\n", "ports");
  std::filesystem::create_symlink(slave, list.folder() / "by-id");
  ASSERT_EQ(mkfifo((list.folder() / "fifo").c_str(), 0600), 0);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(parse({"upgrade", "--port", list.folder() / "by-id", "--port", slave}) +
                parse({"upgrade", "--port", slave, "--port", spelt}) + parse({"upgrade", "--ports-file", list.path()}) +
                parse({"upgrade", "--ports-file", list.folder()}) + parse({"upgrade", "--ports-file", "/dev/zero"}) +
                parse({"upgrade", "--ports-file", list.folder() / "fifo"}),
            "exit 2exit 2exit 2exit 2exit 2exit 2");
  const std::string said = ::testing::internal::GetCapturedStderr();
  close(pty);
  EXPECT_NE(said.find("the ports " + slave + " and " + spelt + " are one device"), std::string::npos) << said;
  EXPECT_EQ(e2e::Count(said, "is not a regular file"), 3u) << said;
}

// SIGHUP and SIGPIPE change nothing; a SIGINT outside the window asks the run to stop at once,
// in it the first warns and a second within 5 s asks all the same. Nothing ends the process.
TEST(SignalWatchDeathTest, SighupAndSigpipeChangeNothingASecondSigintInTheWindowStops) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const bool window : {false, true}) {
    EXPECT_EXIT(
        {
          SignalWatch watch;
          watch.in_window = [window] { return window; };
          watch.warn = [](int signal) { std::fprintf(stderr, "warned %d\n", signal); };
          watch.stop = [](int signal) { std::fprintf(stderr, "stopped %d\n", signal); };
          for (const int signal : {SIGHUP, SIGPIPE, SIGINT, SIGINT}) {
            kill(getpid(), signal);
            usleep(300'000);
          }
          _exit(3);  // nothing ended the process before
        },
        ::testing::ExitedWithCode(3), window ? "^warned 2\nstopped 2\n$" : "^stopped 2\nstopped 2\n$");
  }
}

}  // namespace
}  // namespace larkspan::testing
