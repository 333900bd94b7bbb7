// What larkspan-cli writes for a whole upgrade on the fakes, and for one whose writes all fail
// and that hears no version: the terminal's bar line, the JSON events and the wire trace,
// compared with a reviewed file. What follows the wall clock (rates, time left, the trace's
// stamps) reads "#" or "<us>", the escape character "\e".
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>

#include "frontend/json_sink.h"
#include "platform/wire_trace.h"
#include "tests/golden.h"
#include "tests/unit/scenario_rig.h"
#include "transfer/upgrade_worker.h"

namespace larkspan::testing {
namespace {

std::string TakeText(std::FILE* file) {
  std::string text(static_cast<size_t>(std::ftell(file)), '\0');
  std::rewind(file);
  text.resize(std::fread(text.data(), 1, text.size(), file));
  std::fclose(file);
  return text;
}

TEST(CliOutput, OnTheTerminalInJsonAndInTheTrace) {
  for (const bool faults : {false, true}) {
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
      ProgressMeter meter(state, 3);
      terminal.Watch(&meter);
      json.Watch(&meter);
      UpgradeWorker(state);
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
    ExpectGolden(faults ? "cli_output_failing_writes.txt" : "cli_output_whole_upgrade.txt", seen);
  }
}

}  // namespace
}  // namespace larkspan::testing
