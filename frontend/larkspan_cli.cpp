// larkspan-cli: the updater without a display. Reads the receiver's version, repairs a
// receiver left in SiRF binary mode, upgrades its firmware and checks payload files. Every
// message box prints as a "Caption: text" line on standard error; it never waits for input.
// Exit status 0 only on success.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "frontend/ports_command.h"
#include "frontend/terminal_sink.h"
#include "platform/clock.h"
#include "platform/device_root.h"
#include "platform/open_failure.h"
#include "platform/port_names.h"
#include "platform/power_status.h"
#include "platform/registry.h"
#include "platform/sleep_inhibitor.h"
#include "platform/termios_serial_port.h"
#include "receiver/program_state.h"
#include "receiver/recovery.h"
#include "receiver/version_reader.h"
#include "transfer/payload_check.h"
#include "tools/make_payloads/payload_maker.h"
#include "transfer/installed_version.h"
#include "transfer/payload_files.h"
#include "transfer/test_payloads.h"
#include "transfer/upgrade_worker.h"

namespace larkspan {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitTestPayloads = 3;

constexpr char16_t kWarningText[] =
    u"In order to upgrade the GPS-Firmware correctly, please stop ALL applications and apply "
    u"external power to the device. It may take about 5 minutes for upgrading.";

constexpr char kUsage[] =
    "Usage: larkspan-cli [OPTIONS] COMMAND\n"
    "\n"
    "Talks to the GPS receiver on COM1: (the device $LARKSPAN_COM1, else /dev/ttyS0).\n"
    "\n"
    "Commands:\n"
    "  upgrade       Reflash the receiver with the payload files of the device root:\n"
    "                reads its version, checks external power and the files, uploads the\n"
    "                flash loader and the firmware, brings the receiver back to NMEA,\n"
    "                resets it and records the new version. About 4 minutes.\n"
    "                Exit status 0 only after \"Finished!\".\n"
    "  version       Read the firmware version the receiver reports in its NMEA output\n"
    "                at 4800 baud (two windows of 12 seconds at most) and print it.\n"
    "                Exit status 0 when a version was read.\n"
    "  repair        Bring a receiver left in SiRF binary mode back to NMEA at 4800 baud:\n"
    "                up to two attempts at 38400 baud, then two at 57600 (about 20 seconds\n"
    "                each). Prints \"Check successfully.\" or \"Check&Repair fail.\";\n"
    "                exit status 0 only on success.\n"
    "  check FILE... Check flash loader images and firmware S-record files: names the first\n"
    "                error (what would fail the upload or write the receiver wrongly) and\n"
    "                each warning (harmless to the upload) with its line; exits 0 without\n"
    "                an error.\n"
    "  ports         List the serial devices of this machine: device, its /dev/serial/by-id\n"
    "                name, driver, USB vendor:product and product, and what holds it open.\n"
    "                Opens none of them unless --probe is given.\n"
    "\n"
    "Options:\n"
    "  --port PATH   use the serial device PATH as COM1: for this run\n"
    "  --root DIR    take the payload files from DIR (default: $LARKSPAN_ROOT, else\n"
    "                ~/.local/share/larkspan)\n"
    "  --no-check    upgrade without checking the payload files first\n"
    "  --probe       ports: also listen on each free device (never the kernel's console)\n"
    "                for the receiver's version at 4800 baud, all at once, about 14 s\n"
    "  --json        ports: one JSON object a device, one a line\n"
    "  --help        show this text\n"
    "\n"
    "Payload files: dlgsp2.bin (flash loader image) and Orvel_GPS_Firmware_R10.s (firmware\n"
    "S-record file). The new version is recorded as value FW of the registry key\n"
    "HKEY_LOCAL_MACHINE/SOFTWARE/Apps/Tessan SW under $LARKSPAN_REGISTRY (else\n"
    "~/.config/larkspan/registry), when that key exists.\n"
    "\n"
    "Messages for the user print as \"Caption: text\" lines on standard error.\n"
    "\n"
    "Exit status: 0 success; 1 failure; 2 usage error; 3 upgrade refused: the payload files\n"
    "are the test data make-payloads writes and the port is not a pseudo-terminal.\n";

struct Options {
  std::optional<std::string> port;
  std::optional<std::string> root;
  bool check_payloads = true;
  bool probe = false;  // of `ports`
  bool json = false;   // of `ports`
  std::string command;
  std::vector<std::string> files;  // of `check`
};

int UsageError(const std::string& message) {
  std::fprintf(stderr, "larkspan-cli: %s\n\n%s", message.c_str(), kUsage);
  return kExitUsage;
}

// Returns the options, or sets the exit status when the run ends here (help, usage error).
std::optional<Options> ParseOptions(int argc, char** argv, int& exit_status) {
  Options options;
  auto value_of = [&](int& i, const std::string& arg, const char* name) -> std::optional<std::string> {
    const std::string prefix = std::string(name) + "=";
    std::string value;
    if (arg == name) {
      if (i + 1 >= argc) return std::nullopt;
      value = argv[++i];
    } else {
      value = arg.substr(prefix.size());
    }
    if (value.empty()) return std::nullopt;
    return value;
  };
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      exit_status = kExitOk;
      return std::nullopt;
    }
    if (arg == "--port" || arg.starts_with("--port=")) {
      options.port = value_of(i, arg, "--port");
      if (!options.port) {
        exit_status = UsageError("--port needs a device path");
        return std::nullopt;
      }
    } else if (arg == "--root" || arg.starts_with("--root=")) {
      options.root = value_of(i, arg, "--root");
      if (!options.root) {
        exit_status = UsageError("--root needs a folder");
        return std::nullopt;
      }
    } else if (arg == "--no-check") {
      options.check_payloads = false;
    } else if (arg == "--probe") {
      options.probe = true;
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg.starts_with("-") && arg != "-") {
      exit_status = UsageError("unknown option '" + arg + "'");
      return std::nullopt;
    } else if (options.command.empty()) {
      options.command = arg;
    } else if (options.command == "check") {
      options.files.push_back(arg);
    } else {
      exit_status = UsageError("unexpected argument '" + arg + "'");
      return std::nullopt;
    }
  }
  if (options.command.empty()) {
    exit_status = UsageError("no command given");
    return std::nullopt;
  }
  if (options.command != "version" && options.command != "repair" && options.command != "upgrade" &&
      options.command != "check" && options.command != "ports") {
    exit_status = UsageError("unknown command '" + options.command + "'");
    return std::nullopt;
  }
  if ((options.probe || options.json) && options.command != "ports") {
    exit_status = UsageError(std::string(options.probe ? "--probe" : "--json") + " applies to ports only");
    return std::nullopt;
  }
  if (options.command == "check" && options.files.empty()) {
    exit_status = UsageError("check needs at least one file");
    return std::nullopt;
  }
  return options;
}

// What a file's check found, one a line, each after `prefix`: its error (or "ok" when
// `say_ok`), then its warnings. True when it has no error.
bool PrintFindings(std::FILE* out, const std::string& prefix, const PayloadCheck& check, bool say_ok) {
  if (check.fault) {
    std::fprintf(out, "%serror: %s\n", prefix.c_str(), FormatFault(*check.fault).c_str());
  } else if (say_ok) {
    std::fprintf(out, "%sok\n", prefix.c_str());
  }
  for (const PayloadFault& warning : check.warnings) {
    std::fprintf(out, "%swarning: %s\n", prefix.c_str(), FormatFault(warning).c_str());
  }
  if (check.more_warnings > 0) std::fprintf(out, "%s%zu more warnings\n", prefix.c_str(), check.more_warnings);
  return !check.fault;
}

// Prints the result of one file's check; true when it has no error (warnings allowed).
bool ReportCheck(const std::filesystem::path& file, const PayloadCheck& check) {
  return PrintFindings(stdout, file.string() + ": " + PayloadKindName(check.kind) + ": ", check, /*say_ok=*/true);
}

int RunPorts(const Options& options) {
  const SerialDeviceList list = ListSerialDevices(UdevTtys(), {});
  std::optional<ProbeResults> probe;
  if (options.probe) probe = ProbePorts(list);
  const std::string text = options.json ? PortsJsonLines(list, probe ? &*probe : nullptr)
                                        : PortsTable(list, probe ? &*probe : nullptr);
  std::fputs(text.c_str(), stdout);
  return kExitOk;
}

int RunCheck(const Options& options) {
  bool all_good = true;
  for (const auto& file : options.files) all_good = ReportCheck(file, CheckPayloadFile(file)) && all_good;
  return all_good ? kExitOk : kExitFailed;
}

// Everything a command that talks to the receiver needs, made once per run.
struct Updater {
  TerminalSink& sink;
  ProgramState& state;
  PowerStatus& power;
  SleepInhibitor& inhibitor;
  std::filesystem::path root;
};

// The version as the dialog shows it, on one line after its label.
void PrintVersion(const char* label, const WideText& version) {
  std::string text = ToUtf8(version);
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
  std::printf("%s%s%s\n", label, text.starts_with(' ') ? "" : " ", text.c_str());
  std::fflush(stdout);
}

int RunVersion(Updater& updater) {
  const bool read = ReadStartupVersion(updater.state) == 1;
  updater.sink.FinishLine();
  if (read) PrintVersion("Current Firmware version:", updater.state.current_version);
  return read ? kExitOk : kExitFailed;
}

int RunRepair(Updater& updater) {
  updater.state.SetStatus(u"Checking the receiver at 38400 and 57600 baud...");
  const bool repaired = CheckAndRepair(updater.state);
  updater.state.SetStatus(repaired ? u"Check successfully." : u"Check&Repair fail.");
  return repaired ? kExitOk : kExitFailed;
}

// Said once, before an upgrade, for a USB-serial adapter that keeps received bytes back: what
// its latency timer will cost over the firmware file's records, and how a user allows the
// updater to lower it.
void TellSlowLine(const SlowLine& line, const std::filesystem::path& firmware) {
  std::ifstream in(firmware, std::ios::binary);
  const auto records = std::count(std::istreambuf_iterator<char>(in), {}, '\n');
  std::fprintf(stderr,
               "larkspan-cli: %s (%s) hands received bytes over only every %d ms (its latency timer), and this "
               "user may not lower it to 1 ms: the receiver's answer to each of the %ld firmware records waits up "
               "to that long, about %ld minutes more in all. To allow it, add this udev rule (for example as "
               "/etc/udev/rules.d/99-larkspan.rules) and plug the adapter in again:\n"
               "  ACTION==\"add\", SUBSYSTEM==\"usb-serial\", DRIVER==\"%s\", ATTR{latency_timer}=\"1\"\n",
               line.tty.c_str(), line.driver.c_str(), line.latency_ms, static_cast<long>(records),
               std::lround(static_cast<double>(records) * line.latency_ms / 60'000), line.driver.c_str());
}

// Refuses payload files with an error, before the receiver is touched; warnings are shown
// and the upgrade goes on.
bool PayloadsPass(const std::filesystem::path& root) {
  bool good = true;
  for (const auto& [name, kind] : {std::pair{kLoaderFileName, PayloadKind::kLoaderImage},
                                   std::pair{kFirmwareFileName, PayloadKind::kSRecordFile}}) {
    const std::filesystem::path file = root / name;
    const bool passed = PrintFindings(stderr, "larkspan-cli: " + file.string() + ": ", CheckPayloadFile(file, kind),
                                      /*say_ok=*/false);
    good = good && passed;
  }
  if (!good) std::fputs("larkspan-cli: refusing to upgrade with these payload files (--no-check skips this check)\n", stderr);
  return good;
}

int RunUpgrade(Updater& updater, bool check_payloads) {
  ProgramState& state = updater.state;
  if (check_payloads && !PayloadsPass(updater.root)) return kExitFailed;

  // What the dialog shows when it opens: the two versions, then the warning.
  const bool version_read = ReadStartupVersion(state) == 1;
  updater.sink.FinishLine();
  if (version_read) PrintVersion("Current Firmware version:", state.current_version);
  PrintVersion("The new version after upgrade:", Widen(kNewVersionText));
  state.sink.ShowMessage({kWarningText, u"Warning", BoxOwner::kDialog});

  // What the Upgrade button does.
  state.CloseChannelsAndFiles();
  state.finished.store(false);
  const auto ac_line = updater.power.AcLineStatus();
  if (!ac_line) {
    std::fputs("larkspan-cli: the power status cannot be read\n", stderr);
    return kExitFailed;
  }
  if (*ac_line == 0) {
    state.sink.ShowMessage({u"Please plug in AC adapter or other external power source!", u"Warning", BoxOwner::kDialog});
    return kExitFailed;
  }
  OpenPayloadFiles(state, updater.root);
  // The worker ends quietly when a payload file is not open; say why here.
  PrintLines(stderr, "larkspan-cli: ", UnopenedPayloadFiles(state, updater.root));
  if (RefuseTestPayloads(state, payloads::BuildPayloads)) return kExitTestPayloads;
  const SleepHold hold(updater.inhibitor, [&](const std::string& why) {
    updater.sink.FinishLine();
    std::fprintf(stderr, "larkspan-cli: sleep could not be held off during the upgrade (%s): keep the machine awake "
                 "until it ends\n", why.c_str());
  });
  const int result = UpgradeWorker(state);
  updater.sink.FinishLine();
  return result == 1 ? kExitOk : kExitFailed;
}

}  // namespace
}  // namespace larkspan

int main(int argc, char** argv) {
  using namespace larkspan;
  int exit_status = kExitOk;
  const auto options = ParseOptions(argc, argv, exit_status);
  if (!options) return exit_status;
  if (options->command == "check") return RunCheck(*options);
  if (options->command == "ports") return RunPorts(*options);

  PortNames names = PortNames::FromEnvironment();
  if (options->port) names.com1_path = AbsolutePath(*options->port).string();
  TermiosSerialPorts ports(names);
  SystemClock clock;
  TerminalSink sink(stdout, stderr, ::isatty(STDOUT_FILENO) == 1);
  FileRegistry registry(RegistryRoot());
  SysfsPowerStatus power;
  LogindInhibitor inhibitor;
  ProgramState state(ports, clock, sink, registry);
  Updater updater{sink, state, power, inhibitor, options->root ? AbsolutePath(*options->root) : DeviceRoot()};
  ports.on_open_failure = [&](const std::string& path, int error) {
    sink.FinishLine();
    TellOpenFailure("larkspan-cli", path, error);
  };

  int status = kExitFailed;
  if (options->command == "version") status = RunVersion(updater);
  if (options->command == "repair") status = RunRepair(updater);
  if (options->command == "upgrade") {
    ports.on_slow_line = [&](const SlowLine& line) {
      sink.FinishLine();
      TellSlowLine(line, updater.root / kFirmwareFileName);
    };
    status = RunUpgrade(updater, options->check_payloads);
  }
  sink.FinishLine();
  return status;
}
