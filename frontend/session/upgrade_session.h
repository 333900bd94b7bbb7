// One upgrade of one receiver as every front-end runs it (the dialog, larkspan-cli upgrade and
// each receiver of its several-port mode): the preflight (power; the payload files as regular
// files, their checks, then their digests; the test-data refusal), the worker under the sleep
// hold, a typed outcome, the versions as read, the history line and the exit status. Free of
// Qt: the front-ends render what it shows through the program state's sink (boxes, status,
// progress) and its `tell` lines. The preflight runs on the front-end's thread and Run on the
// worker's; a session is used by one thread at a time.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "frontend/session/box_witness.h"
#include "frontend/session/exit_status.h"
#include "frontend/session/upgrade_history.h"
#include "platform/power_status.h"
#include "platform/read_only_file.h"
#include "platform/sleep_inhibitor.h"
#include "receiver/program_state.h"
#include "transfer/installed_version.h"
#include "transfer/test_payloads.h"
#include "transfer/worker_telemetry.h"

namespace larkspan {

// How a run ended.
enum class Ending : uint8_t {
  kSucceeded,
  kRefused,          // before the receiver was touched: power, payload files, test data
  kPortUnavailable,
  kReceiverSilent,   // no version heard before anything was flashed
  kFailed,           // at a stage after the receiver was touched
  kLoaderSilent,     // the loader fell silent in the stream: nothing more was sent
  kNotBackToNmea,    // the firmware went in, but the receiver was not heard in NMEA again
  kStopped,          // by the user (a signal)
  kSkipped,          // the receiver runs the new version already
  kDeclined,         // the user did not confirm the upgrade
};

struct Outcome {
  int status = exit_status::kOk;
  const char* failed_stage = nullptr;  // null when nothing failed
  Ending ending = Ending::kSucceeded;
};

// An outcome from its exit status and the stage that failed; the ending follows the status.
Outcome Failed(int exit_status, const char* stage);

// The history's word for an outcome: "ok", "failed", "stopped", "not-back-in-nmea", "skipped",
// "declined".
const char* ResultWord(const Outcome& outcome);

// What is told when the installed-version record could not be written.
inline constexpr char kRecordUnwritten[] =
    "the installed-version record (the FW value of SOFTWARE\\Apps\\Tessan SW) cannot be written\n";

// The outcome of a run the user stopped (ProgramState::stop_signal): status 128 + the signal,
// and the stage it stopped in (`failed`) while the receiver had no working firmware, else
// "stopped".
Outcome StoppedOutcome(const ProgramState& state, WorkerStage failed = WorkerStage::kNone);
// Whether the user stopped the run while the receiver had no working firmware.
bool StoppedWhileFlashing(const Outcome& outcome);

// The payload files of the device root: each must be a regular file (a FIFO or a device is
// refused before anything opens it), then, with `check`, pass the payload checks. A refusal
// shows the "Update" box with a warning icon and the finding, says each finding through
// `tell`, and ends the run with status 4. Warnings are told and the run goes on.
std::optional<Outcome> CheckPayloadFiles(const std::filesystem::path& root, bool check, UserSink& sink,
                                         const std::function<void(const std::string&)>& tell);

// The power test of the Upgrade button: an offline AC line shows the dialog's "Warning" box; a
// query that fails is told. Either ends the run (status 1, stage "power").
std::optional<Outcome> CheckPower(PowerStatus& power, UserSink& sink,
                                  const std::function<void(const std::string&)>& tell);

// The payload files opened once, read by several sessions through views of their own.
struct SharedPayloadFiles {
  const ReadOnlyFile& loader;
  const ReadOnlyFile& firmware;
};

// A new run id for the history: eight random hexadecimal digits.
std::string NewRunId();

// The payload files make-payloads writes, by the digests the build computed of them.
PayloadDigests GeneratedPayloadDigests();

struct SessionSettings {
  ProgramState& state;
  SleepInhibitor& inhibitor;
  std::filesystem::path root;  // the device root holding the payload files
  std::string port;            // the device path, for the history and what is told
  std::optional<std::filesystem::path> history = std::nullopt;  // where its line goes; none: not recorded
  PayloadDigests generated = GeneratedPayloadDigests();
  // Lines for the user beside the boxes, each ending in '\n' (standard error).
  std::function<void(const std::string&)> tell = [](const std::string&) {};
  // What the state's sink passed on: the history gives its first box as a failed run's reason.
  const BoxWitness* boxes = nullptr;
  // The run this session belongs to in the history: the receivers of one several-port run
  // share it.
  std::string run_id = NewRunId();
};

class UpgradeSession {
 public:
  explicit UpgradeSession(SessionSettings settings);

  // What Upgrade does once the power test and the checks passed, before the worker: closes the
  // channels and files, lowers the finished flag, holds the port (until Run ends: no other
  // program can open it between the worker's channels), takes the payload files' digests, opens them
  // (views of `shared` where given; then whoever opened those tells what did not open) and
  // refuses test data on a real port.
  std::optional<Outcome> Prepare(const SharedPayloadFiles* shared = nullptr);
  // The version the receiver reported before the upgrade, as read at start; none when none was.
  void NoteVersionBefore(std::optional<std::string> before) { before_ = std::move(before); }
  // The worker under the sleep hold, then the outcome, the version read back and the history
  // line.
  Outcome Run();
  // The history line of a run that ended outside Run (refused, or stopped by a signal); a run
  // that has its line already is not recorded again.
  void Record(const Outcome& outcome);

  const std::optional<std::string>& before() const { return before_; }
  const std::optional<std::string>& after() const { return after_; }
  // Whether the version read before is the release's: such a receiver is flashed only on demand.
  bool RunsTheNewVersion() const;
  // What the worker tells of its run: for progress lines, from any thread.
  const WorkerTelemetry& telemetry() const { return telemetry_; }
  // Whether a stop now would leave the receiver without working firmware: the worker runs and
  // is past its start. Any thread.
  bool InWindow() const { return settings_.state.upgrade_running.load() != 0 && telemetry_.PastStart(); }

 private:
  Outcome WorkerOutcome(int result);

  SessionSettings settings_;
  WorkerTelemetry telemetry_;
  UpgradeRecorder recorder_;
  std::unique_ptr<PortHold> hold_;
  bool files_unopened_ = false;
  bool recorded_ = false;
  std::optional<std::string> before_, after_;
};

// The version text as read, without the line end the receiver sent with it (as shown, after
// its label).
std::string VersionText(const WideText& version);
// A version text without the receiver's line end and its spaces before and after, as the
// history, the JSON events and the ports listing give it.
std::string TrimVersion(std::string_view text);
// TrimVersion of the version as read; none when nothing is left.
std::optional<std::string> TrimmedVersion(const WideText& version);

}  // namespace larkspan
