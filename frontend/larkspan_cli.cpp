// larkspan-cli: the updater without a display. Reads the receiver's version, repairs a
// receiver left in SiRF binary mode, and prints every message box as a "Caption: text" line.
// Never waits for input. Exit status 0 only on success.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "frontend/terminal_sink.h"
#include "platform/clock.h"
#include "platform/port_names.h"
#include "platform/termios_serial_port.h"
#include "receiver/program_state.h"
#include "receiver/recovery.h"
#include "receiver/version_reader.h"

namespace larkspan {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr char kUsage[] =
    "Usage: larkspan-cli [--port PATH] COMMAND\n"
    "\n"
    "Talks to the GPS receiver on COM1: (the device $LARKSPAN_COM1, else /dev/ttyS0).\n"
    "\n"
    "Commands:\n"
    "  version   Read the firmware version the receiver reports in its NMEA output\n"
    "            at 4800 baud (two windows of 12 seconds at most) and print it.\n"
    "            Exit status 0 when a version was read.\n"
    "  repair    Bring a receiver left in SiRF binary mode back to NMEA at 4800 baud:\n"
    "            up to two attempts at 38400 baud, then two at 57600 (about 20 seconds\n"
    "            each). Prints \"Check successfully.\" or \"Check&Repair fail.\";\n"
    "            exit status 0 only on success.\n"
    "\n"
    "Options:\n"
    "  --port PATH   use the serial device PATH as COM1: for this run\n"
    "  --help        show this text\n"
    "\n"
    "Messages for the user print as \"Caption: text\" lines on standard error.\n"
    "Environment: LARKSPAN_COM1 (the device behind COM1:), LARKSPAN_ROOT (the device root\n"
    "holding the payload files), LARKSPAN_REGISTRY (the registry directory).\n";

struct Options {
  std::optional<std::string> port;
  std::string command;
};

// Returns the options, or an exit status when the run ends here (help or a usage error).
std::optional<Options> ParseOptions(int argc, char** argv, int& exit_status) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      exit_status = kExitOk;
      return std::nullopt;
    }
    if (arg == "--port" || arg.rfind("--port=", 0) == 0) {
      if (arg == "--port" && i + 1 >= argc) {
        std::fputs("larkspan-cli: --port needs a device path\n", stderr);
        exit_status = kExitUsage;
        return std::nullopt;
      }
      options.port = arg == "--port" ? argv[++i] : arg.substr(std::strlen("--port="));
      if (options.port->empty()) {
        std::fputs("larkspan-cli: --port needs a device path\n", stderr);
        exit_status = kExitUsage;
        return std::nullopt;
      }
    } else if (!arg.empty() && arg[0] == '-') {
      std::fprintf(stderr, "larkspan-cli: unknown option '%s'\n\n%s", arg.c_str(), kUsage);
      exit_status = kExitUsage;
      return std::nullopt;
    } else if (options.command.empty()) {
      options.command = arg;
    } else {
      std::fprintf(stderr, "larkspan-cli: unexpected argument '%s'\n", arg.c_str());
      exit_status = kExitUsage;
      return std::nullopt;
    }
  }
  if (options.command != "version" && options.command != "repair") {
    if (options.command.empty()) {
      std::fputs(kUsage, stderr);
    } else {
      std::fprintf(stderr, "larkspan-cli: unknown command '%s'\n\n%s", options.command.c_str(), kUsage);
    }
    exit_status = kExitUsage;
    return std::nullopt;
  }
  return options;
}

int RunVersion(ProgramState& state, TerminalSink& sink) {
  const bool read = ReadStartupVersion(state) == 1;
  sink.FinishLine();
  if (read) {
    // The receiver's text usually starts with a space; print it after the label as it stands,
    // without the carriage return an M line keeps.
    std::string text = ToUtf8(state.current_version);
    if (!text.empty() && text.back() == '\r') text.pop_back();
    std::printf("Current Firmware version:%s%s\n", text.starts_with(' ') ? "" : " ", text.c_str());
  }
  return read ? kExitOk : kExitFailed;
}

int RunRepair(ProgramState& state) {
  state.SetStatus(u"Checking the receiver at 38400 and 57600 baud...");
  const bool repaired = CheckAndRepair(state);
  state.SetStatus(repaired ? u"Check successfully." : u"Check&Repair fail.");
  return repaired ? kExitOk : kExitFailed;
}

}  // namespace
}  // namespace larkspan

int main(int argc, char** argv) {
  using namespace larkspan;
  int exit_status = kExitOk;
  const auto options = ParseOptions(argc, argv, exit_status);
  if (!options) return exit_status;

  PortNames names = PortNames::FromEnvironment();
  if (options->port) names.com1_path = *options->port;
  TermiosSerialPorts ports(names);
  SystemClock clock;
  TerminalSink sink(stdout, stderr, ::isatty(STDOUT_FILENO) == 1);
  ProgramState state(ports, clock, sink);

  const int status = options->command == "version" ? RunVersion(state, sink) : RunRepair(state);
  sink.FinishLine();
  return status;
}
