// larkspan-cli: the updater without a display. Reads the receiver's version, repairs a
// receiver left in SiRF binary mode, upgrades its firmware, checks payload files and lists
// the serial ports. Every message box prints as a "Caption: text" line on standard error. On a
// terminal, upgrade asks once before it flashes (not with --yes or --json); nothing else waits
// for input. With --json, standard output carries one JSON event a line. After a run that did
// not succeed, one line says what the receiver is left with and what to run next. The exit
// status says what failed first (cli_options.h).
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "frontend/cli/cli_options.h"
#include "frontend/cli/confirmation.h"
#include "frontend/cli/fleet_upgrade.h"
#include "frontend/cli/json_sink.h"
#include "frontend/session/output_queue.h"
#include "frontend/cli/ports_command.h"
#include "frontend/cli/progress_meter.h"
#include "frontend/session/recovery_hint.h"
#include "frontend/session/upgrade_session.h"
#include "frontend/cli/signal_watch.h"
#include "frontend/cli/terminal_sink.h"
#include "frontend/session/upgrade_history.h"
#include "frontend/cli/upgrade_steps.h"
#include "platform/clock.h"
#include "platform/device_root.h"
#include "platform/open_failure.h"
#include "platform/port_names.h"
#include "platform/power_status.h"
#include "platform/registry.h"
#include "platform/sleep_inhibitor.h"
#include "platform/termios_serial_port.h"
#include "platform/wire_trace.h"
#include "receiver/program_state.h"
#include "receiver/recovery.h"
#include "receiver/version_reader.h"
#include "transfer/installed_version.h"
#include "transfer/payload_file_check.h"
#include "transfer/payload_files.h"
#include "transfer/test_payloads.h"
#include "transfer/upgrade_worker.h"

namespace larkspan {
namespace {

namespace status = exit_status;

// Everything a command needs, made once per run.
struct Updater {
  const CliOptions& options;
  std::FILE* out;  // standard output and error, through the output queue
  std::FILE* err;
  TerminalSink& terminal;
  UserSink& sink;           // the terminal, or the JSON events beside it
  JsonSink* json = nullptr;  // with --json
  ProgramState& state;
  PowerStatus& power;
  SleepInhibitor& inhibitor;
  std::filesystem::path root;
  std::string port_path;
  bool ask = false;          // upgrade: ask once before flashing
  bool port_failed = false;  // an open of the port failed
  std::optional<UpgradeSession> session = std::nullopt;  // upgrade
  std::optional<std::string> old_version = std::nullopt, new_version = std::nullopt;
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();

  std::FILE* HumanOut() const { return json ? err : out; }
  // Lines for standard error, each after the program's name, below a finished progress line.
  void Tell(const std::string& lines) {
    terminal.FinishLine();
    PrintLines(err, "larkspan-cli: ", lines);
  }
};

// The version as the dialog shows it, on one line after its label; with --json also as an event.
void ShowVersion(Updater& updater, const char* label, const char* which, const std::string& text) {
  std::fprintf(updater.HumanOut(), "%s\n", VersionLine(label, text).c_str());
  std::fflush(updater.HumanOut());
  if (updater.json) updater.json->Emit(VersionEvent(which, text));
}

void EmitResult(Updater& updater, const Outcome& outcome, const std::string& hint) {
  if (!updater.json) return;
  updater.json->Emit(ResultEvent(outcome, updater.old_version, updater.new_version,
                                 std::chrono::duration<double>(std::chrono::steady_clock::now() - updater.start).count(),
                                 hint));
}

// What the receiver is left with and what to run next, after a command that talks to it.
std::string Hint(const Updater& updater, const Outcome& outcome) {
  const std::string& command = updater.options.command;
  if (outcome.status == status::kOk || (command != "upgrade" && command != "version" && command != "repair")) return "";
  const HintPlace place{updater.port_path, updater.root, CountRecords(updater.root / kFirmwareFileName)};
  return RecoveryHint(outcome, place, updater.session ? &updater.session->telemetry() : nullptr);
}

Outcome RunVersion(Updater& updater) {
  const bool read = ReadStartupVersion(updater.state) == VersionRead::kSeen;
  updater.terminal.FinishLine();
  if (!read && updater.state.Stopping()) return StoppedOutcome(updater.state);
  if (!read) return updater.port_failed ? Failed(status::kPortUnavailable, "port") : Failed(status::kReceiverSilent, "version");
  updater.old_version = VersionText(updater.state.current_version);
  ShowVersion(updater, "Current Firmware version:", "current", *updater.old_version);
  return {};
}

Outcome RunRepair(Updater& updater) {
  updater.state.SetStatus(u"Checking the receiver at 38400 and 57600 baud...");
  const bool repaired = CheckAndRepair(updater.state);
  updater.state.SetStatus(repaired ? u"Check successfully." : u"Check&Repair fail.");
  if (repaired) return {};
  if (updater.state.Stopping()) return StoppedOutcome(updater.state);
  return updater.port_failed ? Failed(status::kPortUnavailable, "port") : Failed(status::kReceiverSilent, "repair");
}

Outcome RunCheck(Updater& updater) {
  bool all_good = true;
  for (const auto& file : updater.options.files) {
    const PayloadCheck check = CheckPayloadFile(file);
    all_good = PrintFindings(updater.HumanOut(), file + ": " + PayloadKindName(check.kind) + ": ", check, true) && all_good;
  }
  return all_good ? Outcome{} : Failed(status::kPayloadsRefused, "payloads");
}

Outcome RunHistory(Updater& updater) {
  const std::filesystem::path file = HistoryFile();
  std::error_code error;
  const auto kind = std::filesystem::status(file, error);
  if (!std::filesystem::exists(kind)) {
    std::fprintf(stderr, "larkspan-cli: no upgrade recorded yet (%s)\n", file.c_str());
    return {};
  }
  std::ifstream in(file, std::ios::binary);
  if (!std::filesystem::is_regular_file(kind) || !in) {
    std::fprintf(stderr, "larkspan-cli: the upgrade history %s cannot be read: %s\n", file.c_str(),
                 std::filesystem::is_regular_file(kind) ? std::strerror(errno) : "not a regular file");
    return Failed(status::kFailed, "history");
  }
  const std::string history(std::istreambuf_iterator<char>(in), {});
  size_t bad = 0;
  const std::string out = updater.options.json ? HistoryJsonLines(history, bad) : HistoryTable(history, updater.options.utc);
  std::fwrite(out.data(), 1, out.size(), stdout);
  if (bad > 0) std::fprintf(stderr, "larkspan-cli: %zu lines of %s are not history lines\n", bad, file.c_str());
  return {};
}

Outcome RunPorts(Updater& updater) {
  const SerialDeviceList list = ListSerialDevices(UdevTtys(), {});
  std::optional<ProbeResults> probe;
  if (updater.options.probe) probe = ProbePorts(list);
  if (updater.state.Stopping()) return StoppedOutcome(updater.state);
  const std::string text = updater.options.json ? PortsJsonLines(list, probe ? &*probe : nullptr)
                                                : PortsTable(list, probe ? &*probe : nullptr);
  std::fputs(text.c_str(), stdout);
  return {};
}

Outcome RunUpgrade(Updater& updater) {
  ProgramState& state = updater.state;
  UpgradeSession& session = *updater.session;
  const auto tell = [&updater](const std::string& lines) { updater.Tell(lines); };
  if (const auto refused = CheckPayloadFiles(updater.root, updater.options.check_payloads, state.sink, tell)) {
    return *refused;
  }
  if (state.Stopping()) return StoppedOutcome(state);

  // What the dialog shows when it opens: the two versions, then the warning.
  const bool version_read = ReadStartupVersion(state) == VersionRead::kSeen;
  updater.terminal.FinishLine();
  if (state.Stopping()) return StoppedOutcome(state);
  if (version_read) {
    updater.old_version = VersionText(state.current_version);
    ShowVersion(updater, "Current Firmware version:", "current", *updater.old_version);
    session.NoteVersionBefore(TrimmedVersion(state.current_version));
  }
  ShowVersion(updater, "The new version after upgrade:", "new", std::string(kNewVersionText));
  state.sink.ShowMessage({kWarningText, u"Warning", BoxOwner::kDialog});
  if (!updater.options.force && session.RunsTheNewVersion()) {
    updater.Tell("the receiver on " + updater.port_path + " runs " + TrimVersion(kNewVersionText) +
                 " already: nothing to do (--force flashes it again)\n");
    return {exit_status::kOk, nullptr, Ending::kSkipped};
  }
  // Where the dialog waits for Upgrade: asked once on a terminal.
  const uint64_t records = CountRecords(updater.root / kFirmwareFileName);
  if (updater.ask) {
    const std::string summary = FlashSummary({{updater.port_path, session.before()}}, updater.root, records);
    if (!AskToFlash(updater.out, summary, state.stop_signal, STDIN_FILENO)) {
      return state.Stopping() ? StoppedOutcome(state) : Outcome{exit_status::kDeclined, nullptr, Ending::kDeclined};
    }
  }

  // What the Upgrade button does.
  if (const auto refused = CheckPower(updater.power, state.sink, tell)) return *refused;
  if (const auto refused = session.Prepare()) return *refused;
  if (state.Stopping()) return StoppedOutcome(state);
  ProgressMeter meter(state, session.telemetry(), updater.options.check_payloads ? records : 0);
  if (updater.json) {
    updater.json->Watch(&meter);
  } else {
    updater.terminal.Watch(&meter);
  }
  const Outcome outcome = session.Run();
  updater.terminal.FinishLine();
  updater.terminal.Watch(nullptr);
  if (updater.json) updater.json->Watch(nullptr);
  updater.new_version = session.after();
  return outcome;
}

// What a stopped run tells, before its hint: by what, and in which stage.
void TellStopped(Updater& updater, const Outcome& outcome) {
  updater.Tell(std::string("stopped by ") + (outcome.status == 128 + SIGINT ? "SIGINT" : "SIGTERM") +
               (StoppedWhileFlashing(outcome) ? std::string(" during the ") + outcome.failed_stage + " stage" : "") +
               "\n");
}

}  // namespace
}  // namespace larkspan

int main(int argc, char** argv) {
  using namespace larkspan;
  SignalWatch signals;  // first: every thread made after it leaves the signals to it
  const auto parsed = ParseCliOptions(argc, argv);
  if (const int* ended = std::get_if<int>(&parsed)) return *ended;
  const CliOptions& options = std::get<CliOptions>(parsed);

  SystemClock clock;
  FileRegistry registry(RegistryRoot());
  SysfsPowerStatus power;
  LogindInhibitor inhibitor;
  // Everything printed from here on goes through the queue: a stopped terminal or a stalled
  // reader never holds up the receiver's port.
  OutputQueue output;
  std::FILE* out = output.Stream(STDOUT_FILENO);
  std::FILE* err = output.Stream(STDERR_FILENO);
  const std::filesystem::path root = options.root ? AbsolutePath(*options.root) : DeviceRoot();
  // An upgrade asks once before it flashes, on a terminal, unless told not to.
  const bool ask = !options.yes && !options.json && ::isatty(STDIN_FILENO) == 1 && ::isatty(STDOUT_FILENO) == 1;
  if (options.ports.size() > 1) {
    std::vector<std::string> several;
    for (const std::string& port : options.ports) several.push_back(AbsolutePath(port).string());
    return UpgradeSeveral({several, root, options.check_payloads, options.json, ask, options.force, clock, power,
                           inhibitor, registry, signals, output, out, err});
  }

  PortNames names = PortNames::FromEnvironment();
  if (!options.ports.empty()) names.com1_path = AbsolutePath(options.ports.front()).string();
  TermiosSerialPorts ports(names);
  std::optional<WireTrace> trace;
  std::optional<TracingSerialPorts> traced_ports;
  if (options.trace) {
    trace.emplace(*options.trace, [err](const std::string& lines) { PrintLines(err, "larkspan-cli: ", lines); });
    if (!trace->ok()) {
      std::fprintf(stderr, "larkspan-cli: cannot write the trace: %s\n", trace->error().c_str());
      return status::kUsage;
    }
    traced_ports.emplace(ports, *trace);
  }
  // With --json the human lines all go to standard error, as plain lines.
  const int human_fd = options.json ? STDERR_FILENO : STDOUT_FILENO;
  TerminalSink terminal(options.json ? err : out, err, !options.json && ::isatty(STDOUT_FILENO) == 1,
                        output.ProgressStream(human_fd));
  JsonSink json(out, terminal, {}, output.ProgressStream(STDOUT_FILENO));
  BoxWitness sink(options.json ? static_cast<UserSink&>(json) : terminal);
  ProgramState state(traced_ports ? static_cast<SerialPorts&>(*traced_ports) : ports, clock, sink, registry);
  Updater updater{options, out, err, terminal, sink, options.json ? &json : nullptr, state, power, inhibitor, root,
                  names.com1_path, ask};
  ports.on_open_failure = [&](const std::string& path, int error) {
    updater.port_failed = true;
    terminal.FinishLine();
    TellOpenFailure("larkspan-cli", path, error, err);
  };
  state.probe_channel.on_cts_low = [&] {
    terminal.FinishLine();
    TellCtsLow("larkspan-cli", names.com1_path, err);
  };
  if (options.command == "upgrade") {
    updater.session.emplace(SessionSettings{state, inhibitor, root, names.com1_path, HistoryFile(),
                                            GeneratedPayloadDigests(),
                                            [&updater](const std::string& lines) { updater.Tell(lines); }, &sink});
  }
  // From the flash-update command until the receiver is back in NMEA it has no working firmware.
  signals.in_window = [&] { return updater.session && updater.session->InWindow(); };
  signals.warn = [&](int) {
    updater.Tell("the receiver has no working firmware until this upgrade ends, and stopping now would leave it so. "
                 "The upgrade goes on; interrupt again within 5 seconds to stop it all the same.\n");
  };
  // Commands that open ports stop at their next step, and a stop while their last lines wait
  // for a stopped terminal ends that wait; the others keep the watch's default: they end at once.
  const bool opens_ports = options.command != "check" && options.command != "history" &&
                           (options.command != "ports" || options.probe);
  if (opens_ports) {
    signals.stop = [&](int signal) {
      int none = 0;
      state.stop_signal.compare_exchange_strong(none, signal);
      output.Interrupt();
    };
  }

  Outcome outcome;
  if (options.command == "check") outcome = RunCheck(updater);
  if (options.command == "ports") outcome = RunPorts(updater);
  if (options.command == "history") outcome = RunHistory(updater);
  if (options.command == "version") outcome = RunVersion(updater);
  if (options.command == "repair") outcome = RunRepair(updater);
  if (options.command == "upgrade") {
    ports.on_slow_line = [&](const SlowLine& line) {
      terminal.FinishLine();
      TellSlowLine(line, updater.root / kFirmwareFileName, err);
    };
    outcome = RunUpgrade(updater);
  }
  terminal.FinishLine();
  if (outcome.ending == Ending::kStopped) TellStopped(updater, outcome);
  const std::string hint = Hint(updater, outcome);
  if (!hint.empty()) updater.Tell(hint + "\n");
  if (updater.session) updater.session->Record(outcome);
  if (options.command != "ports" && options.command != "history") EmitResult(updater, outcome, hint);
  state.CloseChannelsAndFiles();  // the trace's last lines are the channels' closing
  if (trace) trace->Finish();     // those lines, and what it has to say about them, before the output ends
  std::fflush(nullptr);
  // A stop that came once the run's end was decided changed nothing but the wait for a stopped
  // terminal: it ends that wait at once, as a stop during the wait does.
  if (!state.Stopping() || outcome.ending == Ending::kStopped) output.Drain();
  signals.Stop();
  return outcome.status;
}
