#include "frontend/cli/fleet_upgrade.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <barrier>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <deque>
#include <memory>
#include <thread>

#include "frontend/cli/confirmation.h"
#include "frontend/cli/fleet_board.h"
#include "frontend/cli/json_sink.h"
#include "frontend/cli/terminal_sink.h"
#include "frontend/session/recovery_hint.h"
#include "frontend/session/upgrade_history.h"
#include "platform/device_root.h"
#include "platform/open_failure.h"
#include "platform/port_names.h"
#include "platform/registry.h"
#include "platform/termios_serial_port.h"
#include "receiver/version_reader.h"
#include "transfer/installed_version.h"
#include "transfer/payload_files.h"
#include "transfer/upgrade_worker.h"

namespace larkspan {

namespace {

namespace status = exit_status;

int64_t NowUs() { return SteadyMicroseconds(); }

// Stops the progress display watching a meter that is about to go, however the run ends.
struct Watching {
  ReceiverRun& run;
  Watching(ReceiverRun& r, ProgressMeter& meter) : run(r) { run.watch(&meter); }
  ~Watching() { run.watch(nullptr); }
  Watching(const Watching&) = delete;
  Watching& operator=(const Watching&) = delete;
};

// Every run passes the question's gate once: waiting for the others there, or leaving it.
struct GatePass {
  std::barrier<std::function<void()>>& gate;
  bool passed = false;
  ~GatePass() {
    if (!passed) gate.arrive_and_drop();
  }
  void Wait() {
    passed = true;
    gate.arrive_and_wait();
  }
};

// What the dialog does when it opens and when Upgrade is pressed, for one receiver.
Outcome UpgradeOne(ReceiverRun& run, const SharedPayloads& payloads, std::barrier<std::function<void()>>& gate,
                   const std::atomic<bool>& confirmed) {
  GatePass pass{gate};
  ProgramState& state = run.state;
  const bool read = ReadStartupVersion(state) == VersionRead::kSeen;
  if (state.Stopping()) return StoppedOutcome(state);
  if (read) {
    run.session.NoteVersionBefore(TrimmedVersion(state.current_version));
    {
      std::lock_guard lock(run.mutex);
      run.before = run.session.before();
    }
    run.show_version("Current Firmware version:", "current", VersionText(state.current_version));
  }
  run.show_version("The new version after upgrade:", "new", std::string(kNewVersionText));
  state.sink.ShowMessage({kWarningText, u"Warning", BoxOwner::kDialog});
  if (!payloads.force && run.session.RunsTheNewVersion()) {
    return {status::kOk, nullptr, Ending::kSkipped};
  }
  run.to_flash.store(true);
  pass.Wait();
  if (state.Stopping()) return StoppedOutcome(state);
  if (!confirmed.load()) return {status::kDeclined, nullptr, Ending::kDeclined};
  if (const auto refused = run.session.Prepare(&payloads.files)) return *refused;
  if (state.Stopping()) return StoppedOutcome(state);
  ProgressMeter meter(state, run.session.telemetry(), payloads.firmware_records);
  const Watching watching(run, meter);
  const Outcome outcome = run.session.Run();
  std::lock_guard lock(run.mutex);
  run.after = run.session.after();
  return outcome;
}

void Run(ReceiverRun& run, const SharedPayloads& payloads, std::barrier<std::function<void()>>& gate,
         const std::atomic<bool>& confirmed) {
  const auto start = std::chrono::steady_clock::now();
  const Outcome outcome = UpgradeOne(run, payloads, gate, confirmed);
  run.session.Record(outcome);
  {
    std::lock_guard lock(run.mutex);
    run.outcome = outcome;
    run.hint = RecoveryHint(outcome, {run.port, payloads.root, payloads.firmware_records}, &run.session.telemetry());
    run.failed_at_us = outcome.status == status::kOk ? 0 : run.session.telemetry().failed_at_us.load();
    if (outcome.status != status::kOk && run.failed_at_us == 0) run.failed_at_us = NowUs();
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.ended = true;
  }
  run.on_end(run);
}

std::string VersionOr(const std::optional<std::string>& text, const char* none) { return text ? *text : none; }

}  // namespace

void UpgradeSideBySide(const std::vector<ReceiverRun*>& runs, const SharedPayloads& payloads) {
  std::atomic<bool> confirmed{true};
  std::barrier<std::function<void()>> gate(static_cast<std::ptrdiff_t>(runs.size()), [&] {
    if (payloads.confirm && std::ranges::any_of(runs, [](const ReceiverRun* run) { return run->to_flash.load(); })) {
      confirmed.store(payloads.confirm(runs));
    }
  });
  std::vector<std::jthread> threads;
  threads.reserve(runs.size());
  for (ReceiverRun* run : runs) {
    threads.emplace_back([run, &payloads, &gate, &confirmed] { Run(*run, payloads, gate, confirmed); });
  }
}

int FirstFailureStatus(const std::vector<ReceiverRun*>& runs) {
  int first_status = status::kOk;
  int64_t first_at = 0;
  for (const ReceiverRun* run : runs) {
    std::lock_guard lock(run->mutex);
    if (run->outcome.status == status::kOk) continue;
    if (first_status == status::kOk || run->failed_at_us < first_at) {
      first_status = run->outcome.status;
      first_at = run->failed_at_us;
    }
  }
  return first_status;
}

std::string ResultTable(const std::vector<ReceiverRun*>& runs) {
  std::vector<std::vector<std::string>> rows{{"PORT", "BEFORE", "AFTER", "RESULT", "TIME"}};
  for (const ReceiverRun* run : runs) {
    std::lock_guard lock(run->mutex);
    std::string result = ResultWord(run->outcome);
    if (run->outcome.status != status::kOk) {
      result += " (" + std::string(run->outcome.failed_stage ? run->outcome.failed_stage : "?") +
               ", status " + std::to_string(run->outcome.status) + ")";
    }
    char time[32];
    const long seconds = std::lround(run->seconds);
    std::snprintf(time, sizeof time, "%ld:%02ld", seconds / 60, seconds % 60);
    rows.push_back({run->port, VersionOr(run->before, "-"), VersionOr(run->after, "unknown"), result, time});
  }
  std::vector<size_t> widths(rows[0].size(), 0);
  for (const auto& row : rows) {
    for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  std::string table;
  for (const auto& row : rows) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
    }
    table += line + "\n";
  }
  return table;
}

namespace {

// One receiver's port, sinks and state, as UpgradeSeveral makes them.
struct Receiver {
  Receiver(const std::string& port, FleetBoard& board, const FleetSettings& settings, Registry& registry,
           SleepInhibitor& inhibitor, const std::string& run_id)
      : ports(PortNames{port}), row(board.AddRow(port)),
        json_sink(settings.json ? std::make_unique<JsonSink>(settings.out, row, port,
                                                             settings.output.ProgressStream(STDOUT_FILENO))
                                : nullptr),
        witness(json_sink ? static_cast<UserSink&>(*json_sink) : row),
        state(ports, settings.clock, witness, registry),
        run(port, SessionSettings{state, inhibitor, settings.root, port, HistoryFile(), GeneratedPayloadDigests(),
                                  [&board, this, err = settings.err](const std::string& lines) {
                                    board.Above([&] { PrintLines(err, "larkspan-cli: [" + run.port + "] ", lines); });
                                  },
                                  &witness, run_id}) {}

  TermiosSerialPorts ports;
  FleetBoard::Row& row;
  std::unique_ptr<JsonSink> json_sink;
  BoxWitness witness;
  ProgramState state;
  ReceiverRun run;
};

int TerminalWidth() {
  winsize size{};
  return ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
}

// A receiver's result event, with --json.
void EmitResult(Receiver& receiver) {
  if (!receiver.json_sink) return;
  std::lock_guard lock(receiver.run.mutex);
  receiver.json_sink->Emit(ResultEvent(receiver.run.outcome, receiver.run.before, receiver.run.after,
                                       receiver.run.seconds, receiver.run.hint));
}

}  // namespace

int UpgradeSeveral(const FleetSettings& settings) {
  // The sleep lock is held once for all receivers, below; their sessions take none of their own.
  NoSleepInhibitor no_hold;
  const bool terminal = !settings.json && ::isatty(STDOUT_FILENO) == 1;
  std::FILE* human = settings.json ? settings.err : settings.out;
  std::FILE* err = settings.err;
  const int human_fd = settings.json ? STDERR_FILENO : STDOUT_FILENO;
  FleetBoard board(human, err, terminal, terminal ? TerminalWidth() : 80, [&settings, human_fd](size_t) {
    return settings.output.ProgressStream(human_fd);
  });
  HeldRegistry held(settings.registry);
  const std::string run_id = NewRunId();  // one for every receiver's history line
  std::deque<Receiver> receivers;
  std::vector<ReceiverRun*> runs;
  for (const std::string& port : settings.ports) {
    Receiver& receiver = receivers.emplace_back(port, board, settings, held, no_hold, run_id);
    runs.push_back(&receiver.run);
    receiver.run.show_version = [&receiver](const char* label, const char* which, const std::string& text) {
      receiver.row.Say(VersionLine(label, text));
      if (receiver.json_sink) receiver.json_sink->Emit(VersionEvent(which, text));
    };
    receiver.run.watch = [&receiver](ProgressMeter* meter) {
      receiver.row.Watch(meter);
      if (receiver.json_sink) receiver.json_sink->Watch(meter);
    };
    receiver.ports.on_open_failure = [&board, &receiver, err](const std::string& path, int error) {
      receiver.run.port_failed.store(true);
      board.Above([&] { TellOpenFailure("larkspan-cli", path, error, err); });
    };
    receiver.state.probe_channel.on_cts_low = [&board, port, err] {
      board.Above([&] { TellCtsLow("larkspan-cli", port, err); });
    };
    receiver.run.on_end = [&receiver](ReceiverRun&) { EmitResult(receiver); };
    receiver.ports.on_slow_line = [&board, &settings, err](const SlowLine& line) {
      board.Above([&] { TellSlowLine(line, settings.root / kFirmwareFileName, err); });
    };
  }
  // A stop reaches every receiver, each ending at its next step.
  settings.signals.stop = [&](int signal) {
    for (Receiver& receiver : receivers) {
      int none = 0;
      receiver.state.stop_signal.compare_exchange_strong(none, signal);
    }
    settings.output.Interrupt();
  };
  // Ends every run the same way before any receiver is touched.
  const auto all_fail = [&](const Outcome& outcome) {
    for (Receiver& receiver : receivers) {
      {
        std::lock_guard lock(receiver.run.mutex);
        receiver.run.outcome = outcome;
        receiver.run.failed_at_us = NowUs();
        receiver.run.hint = RecoveryHint(outcome, {receiver.run.port, settings.root}, nullptr);
      }
      receiver.run.session.Record(outcome);
      EmitResult(receiver);
    }
  };

  // The steps every receiver shares, once: the payload files' checks and the power test.
  TerminalSink shared_sink(err, err, false);
  const auto tell = [&board, err](const std::string& lines) {
    board.Above([&] { PrintLines(err, "larkspan-cli: ", lines); });
  };
  ReadOnlyFile loader, firmware;
  std::optional<SleepHold> hold;
  if (const auto refused = CheckPayloadFiles(settings.root, settings.check_payloads, shared_sink, tell)) {
    all_fail(*refused);
  } else if (const auto no_power = CheckPower(settings.power, shared_sink, tell)) {
    all_fail(*no_power);
  } else if (receivers.front().state.Stopping()) {
    all_fail(StoppedOutcome(receivers.front().state));
  } else {
    loader.Open((settings.root / kLoaderFileName).string());
    firmware.Open((settings.root / kFirmwareFileName).string());
    PrintLines(err, "larkspan-cli: ", UnopenedPayloadFiles(loader, firmware, settings.root));
    SharedPayloads payloads{{loader, firmware}, CountRecords(settings.root / kFirmwareFileName), settings.root,
                            settings.force, {}};
    if (settings.ask) {
      payloads.confirm = [&](const std::vector<ReceiverRun*>& asked) {
        std::vector<FlashTarget> targets;
        for (const ReceiverRun* run : asked) {
          if (run->to_flash.load()) targets.push_back({run->port, run->session.before()});
        }
        bool yes = false;
        board.Above([&] {
          yes = AskToFlash(human, FlashSummary(targets, settings.root, payloads.firmware_records),
                           receivers.front().state.stop_signal, STDIN_FILENO);
        });
        return yes;
      };
    }
    hold.emplace(settings.inhibitor, [&](const std::string& why) {
      board.Above([&] {
        std::fprintf(err, "larkspan-cli: sleep could not be held off during the upgrade (%s): keep the machine "
                     "awake until it ends\n", why.c_str());
      });
    });
    settings.signals.in_window = [&] {
      return std::ranges::any_of(receivers, [](const Receiver& receiver) { return receiver.run.session.InWindow(); });
    };
    settings.signals.warn = [&](int) {
      board.Above([err] {
        std::fputs("larkspan-cli: a receiver has no working firmware until its upgrade ends, and stopping now would "
                   "leave it so. The upgrades go on; interrupt again within 5 seconds to stop them all the same.\n",
                   err);
        std::fflush(err);
      });
    };
    UpgradeSideBySide(runs, payloads);
  }
  board.Finish();
  for (const ReceiverRun* run : runs) {
    std::lock_guard lock(run->mutex);
    if (run->outcome.ending != Ending::kStopped) continue;
    std::fprintf(err, "larkspan-cli: [%s] stopped%s\n", run->port.c_str(),
                 StoppedWhileFlashing(run->outcome)
                     ? (std::string(" during the ") + run->outcome.failed_stage + " stage").c_str()
                     : "");
  }
  const int exit_status = FirstFailureStatus(runs);
  // The installed-version record is the device's: written only when every receiver was
  // flashed (one not brought back to NMEA runs the new firmware all the same).
  bool all_flashed = true;
  for (const ReceiverRun* run : runs) {
    std::lock_guard lock(run->mutex);
    all_flashed = all_flashed && (run->outcome.status == status::kOk || run->outcome.status == status::kNotBackToNmea);
  }
  if (all_flashed && !held.Commit()) PrintLines(err, "larkspan-cli: ", kRecordUnwritten);
  std::fputs(ResultTable(runs).c_str(), human);
  for (const ReceiverRun* run : runs) {
    std::lock_guard lock(run->mutex);
    if (!run->hint.empty()) std::fprintf(err, "larkspan-cli: [%s] %s\n", run->port.c_str(), run->hint.c_str());
  }
  if (!all_flashed) {
    std::fputs("larkspan-cli: not every receiver was upgraded: the installed-version record was not written\n", err);
  }
  std::fflush(nullptr);
  settings.output.Drain();
  settings.signals.Stop();  // its callbacks use what goes now
  return exit_status;
}

}  // namespace larkspan
