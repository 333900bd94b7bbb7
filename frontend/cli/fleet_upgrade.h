// larkspan-cli upgrade with several ports: a bench of receivers upgraded side by side, one
// upgrade worker a port, each on a thread of its own with its own program state (its serial
// channels, its sink) and a view of the payload files the process opened once. A receiver
// that fails never stops the others; the run's status is that of the failure that came first.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "frontend/session/output_queue.h"
#include "frontend/cli/progress_meter.h"
#include "frontend/session/upgrade_session.h"
#include "frontend/cli/signal_watch.h"
#include "frontend/cli/upgrade_steps.h"
#include "platform/power_status.h"
#include "platform/read_only_file.h"
#include "platform/sleep_inhibitor.h"
#include "receiver/program_state.h"
#include "transfer/test_payloads.h"

namespace larkspan {

// One receiver's run: its session, and what it came to.
struct ReceiverRun {
  // `settings.state` is the receiver's own program state.
  ReceiverRun(std::string port_path, SessionSettings settings)
      : port(std::move(port_path)), state(settings.state), session(std::move(settings)) {}

  std::string port;
  ProgramState& state;
  UpgradeSession session;
  // Shows a version line: its label, "current" or "new", and the text.
  std::function<void(const char* label, const char* which, const std::string& text)> show_version =
      [](const char*, const char*, const std::string&) {};
  // Shows the upload stages' progress beside the bar; null: no more.
  std::function<void(ProgressMeter*)> watch = [](ProgressMeter*) {};
  std::atomic<bool> port_failed{false};  // an open of its port failed
  std::atomic<bool> to_flash{false};     // it read its version and waits for the question
  // Told on the run's thread once it ended and its results below are in.
  std::function<void(ReceiverRun&)> on_end = [](ReceiverRun&) {};

  // What the run came to; written by its thread, read by anyone under `mutex`.
  mutable std::mutex mutex;
  Outcome outcome;
  std::optional<std::string> before, after;  // the versions read: none when none was
  std::string hint;                           // what to do next, after a run that did not succeed
  int64_t failed_at_us = 0;                   // when it failed first, steady-clock microseconds
  double seconds = 0;
  bool ended = false;
};

// What every receiver's run reads: the payload files as opened once, and how the run goes on.
struct SharedPayloads {
  SharedPayloadFiles files;
  uint64_t firmware_records = 0;  // for the progress total and the hints; 0 when not known
  std::filesystem::path root;     // where the files are, for the hints
  bool force = false;             // flash a receiver that runs the new version, too
  // Asked once, when every receiver read its version (those waiting have `to_flash` set):
  // whether to flash them. None: they are flashed.
  std::function<bool(const std::vector<ReceiverRun*>& runs)> confirm;
};

// Upgrades each receiver on a thread of its own, as larkspan-cli upgrades one: its version,
// the warning, then, once every receiver is there and the question (if any) was answered yes,
// its session on views of the payload files. A receiver that runs the new version already is
// skipped. A loader that falls silent ends that run only. Returns once every run ended.
void UpgradeSideBySide(const std::vector<ReceiverRun*>& runs, const SharedPayloads& payloads);

// 0 when every receiver succeeded; otherwise the status of the failure first in time.
int FirstFailureStatus(const std::vector<ReceiverRun*>& runs);

// The runs as a table: port, versions before and after ("unknown" when none was read),
// result, time.
std::string ResultTable(const std::vector<ReceiverRun*>& runs);

// Everything larkspan-cli upgrade with several ports is given.
struct FleetSettings {
  std::vector<std::string> ports;  // absolute device paths
  std::filesystem::path root;
  bool check_payloads = true;
  bool json = false;
  bool ask = false;    // ask once on the terminal before flashing
  bool force = false;  // flash receivers that run the new version, too
  Clock& clock;
  PowerStatus& power;
  SleepInhibitor& inhibitor;
  Registry& registry;
  SignalWatch& signals;  // stopped before it returns
  OutputQueue& output;   // drained before it returns
  std::FILE* out;        // standard output and error, through that queue
  std::FILE* err;
};

// The whole command; returns its exit status.
int UpgradeSeveral(const FleetSettings& settings);

}  // namespace larkspan
