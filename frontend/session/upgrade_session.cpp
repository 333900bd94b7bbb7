#include "frontend/session/upgrade_session.h"

#include <sys/stat.h>

#include <cstdio>
#include <random>
#include <utility>

#include "generated_payload_digests.h"
#include "platform/text.h"
#include "receiver/port_name.h"
#include "transfer/payload_file_check.h"
#include "transfer/payload_files.h"
#include "transfer/upgrade_worker.h"

namespace larkspan {

namespace {

constexpr int kStopStatusBase = 128;

// A finding as a line: "FILE: error: line 17: message".
std::string Finding(const std::filesystem::path& file, const char* level, const PayloadFault& fault) {
  return file.string() + ": " + level + ": " + FormatFault(fault) + "\n";
}

}  // namespace

Outcome Failed(int status, const char* stage) {
  Ending ending = Ending::kFailed;
  switch (status) {
    case exit_status::kOk: ending = Ending::kSucceeded; break;
    case exit_status::kPortUnavailable: ending = Ending::kPortUnavailable; break;
    case exit_status::kPayloadsRefused: ending = Ending::kRefused; break;
    case exit_status::kReceiverSilent: ending = Ending::kReceiverSilent; break;
    case exit_status::kNotBackToNmea: ending = Ending::kNotBackToNmea; break;
    case exit_status::kDeclined: ending = Ending::kDeclined; break;
    default: ending = status > kStopStatusBase ? Ending::kStopped : Ending::kFailed; break;
  }
  return {status, stage, ending};
}

const char* ResultWord(const Outcome& outcome) {
  switch (outcome.ending) {
    case Ending::kSucceeded: return "ok";
    case Ending::kStopped: return "stopped";
    case Ending::kNotBackToNmea: return "not-back-in-nmea";
    case Ending::kSkipped: return "skipped";
    case Ending::kDeclined: return "declined";
    default: return "failed";
  }
}

Outcome StoppedOutcome(const ProgramState& state, WorkerStage failed) {
  const bool flashing = failed != WorkerStage::kNone && failed != WorkerStage::kStart;
  return Failed(kStopStatusBase + state.stop_signal.load(), flashing ? StageName(failed) : "stopped");
}

bool StoppedWhileFlashing(const Outcome& outcome) {
  return outcome.ending == Ending::kStopped && outcome.failed_stage && std::string_view(outcome.failed_stage) != "stopped";
}

std::optional<Outcome> CheckPayloadFiles(const std::filesystem::path& root, bool check, UserSink& sink,
                                         const std::function<void(const std::string&)>& tell) {
  WideText refusal;  // the box: the first error, in the words of its kind of file
  for (const auto& [name, kind] : {std::pair{kLoaderFileName, PayloadKind::kLoaderImage},
                                   std::pair{kFirmwareFileName, PayloadKind::kSRecordFile}}) {
    const std::filesystem::path file = root / name;
    // Looked at before anything opens it: opening a FIFO waits for a writer, a device never
    // ends. A missing file is left to the worker's start guard, as on the handheld.
    struct stat info {};
    if (!check && (stat(file.c_str(), &info) != 0 || S_ISREG(info.st_mode))) continue;
    const PayloadCheck found = check ? CheckPayloadFile(file, kind)
                                     : PayloadCheck{kind, PayloadFault{0, "not a regular file"}, {}, 0};
    for (const PayloadFault& warning : found.warnings) tell(Finding(file, "warning", warning));
    if (found.more_warnings > 0) tell(file.string() + ": " + std::to_string(found.more_warnings) + " more warnings\n");
    if (!found.fault) continue;
    tell(Finding(file, "error", *found.fault));
    if (refusal.empty()) {
      refusal = Widen(std::string("The ") + PayloadKindName(kind) + " " + name + " cannot be sent: " +
                      FormatFault(*found.fault) + ".");
    }
  }
  if (refusal.empty()) return std::nullopt;
  tell("refusing to upgrade with these payload files\n");
  sink.ShowMessage({refusal, u"Update", BoxOwner::kDialog, BoxIcon::kWarning});
  return Failed(exit_status::kPayloadsRefused, "payloads");
}

std::optional<Outcome> CheckPower(PowerStatus& power, UserSink& sink,
                                  const std::function<void(const std::string&)>& tell) {
  const auto ac_line = power.AcLineStatus();
  if (!ac_line) {
    tell("the power status cannot be read\n");
    return Failed(exit_status::kFailed, "power");
  }
  if (*ac_line != 0) return std::nullopt;
  sink.ShowMessage({u"Please plug in AC adapter or other external power source!", u"Warning", BoxOwner::kDialog});
  return Failed(exit_status::kFailed, "power");
}

std::string NewRunId() {
  std::random_device random;
  char id[16];
  std::snprintf(id, sizeof id, "%08x", static_cast<unsigned>(random()));
  return id;
}

PayloadDigests GeneratedPayloadDigests() { return {generated::kLoaderSha256, generated::kFirmwareSha256}; }

std::string VersionText(const WideText& version) {
  std::string text = ToUtf8(version);
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
  return text;
}

std::string TrimVersion(std::string_view text) {
  const size_t first = text.find_first_not_of(' ');
  const size_t last = text.find_last_not_of(" \r\n");
  return first == std::string_view::npos || last == std::string_view::npos ? std::string()
                                                                           : std::string(text.substr(first, last - first + 1));
}

std::optional<std::string> TrimmedVersion(const WideText& version) {
  std::string text = TrimVersion(ToUtf8(version));
  if (text.empty()) return std::nullopt;
  return text;
}

bool UpgradeSession::RunsTheNewVersion() const { return before_ == TrimVersion(kNewVersionText); }

UpgradeSession::UpgradeSession(SessionSettings settings)
    : settings_(std::move(settings)), recorder_(settings_.port, settings_.run_id) {}

std::optional<Outcome> UpgradeSession::Prepare(const SharedPayloadFiles* shared) {
  ProgramState& state = settings_.state;
  state.CloseChannelsAndFiles();
  state.finished.store(false);
  hold_ = state.ports.Hold(kCom1);
  recorder_.Digest(settings_.root);
  if (shared) {
    state.loader_file.OpenView(shared->loader);
    state.srecord_file.OpenView(shared->firmware);
  } else {
    OpenPayloadFiles(state, settings_.root);
  }
  // The worker ends quietly when a payload file is not open, as on the handheld; say why here.
  const std::string unopened = UnopenedPayloadFiles(state, settings_.root);
  files_unopened_ = !unopened.empty();
  if (files_unopened_ && !shared) settings_.tell(unopened);
  if (RefuseTestPayloads(state, settings_.generated)) {
    hold_.reset();
    return Failed(exit_status::kPayloadsRefused, "payloads");
  }
  return std::nullopt;
}

Outcome UpgradeSession::Run() {
  int result = 0;
  {
    const SleepHold hold(settings_.inhibitor, [this](const std::string& why) {
      settings_.tell("sleep could not be held off during the upgrade (" + why + "): keep the machine awake until it ends\n");
    });
    result = UpgradeWorker(settings_.state, telemetry_);
  }
  hold_.reset();
  if (telemetry_.record_unwritten.load()) settings_.tell(kRecordUnwritten);
  // Only a version read back after the flash says what the receiver runs now.
  if (telemetry_.version_read_back) after_ = TrimmedVersion(*telemetry_.version_read_back);
  const Outcome outcome = WorkerOutcome(result);
  Record(outcome);
  return outcome;
}

Outcome UpgradeSession::WorkerOutcome(int result) {
  const ProgramState& state = settings_.state;
  // A stop that came once the worker had finished changes nothing.
  if (result != 1 && state.Stopping()) return StoppedOutcome(state, telemetry_.failed_stage.load());
  if (result == 1) {
    if (telemetry_.heard_in_nmea.load() || telemetry_.version_read_back) return {};
    return Failed(exit_status::kNotBackToNmea, StageName(WorkerStage::kRevert));
  }
  if (telemetry_.loader_silent.load()) return {exit_status::kFailed, StageName(WorkerStage::kFirmware), Ending::kLoaderSilent};
  switch (telemetry_.failed_stage.load()) {
    case WorkerStage::kStart:
      return files_unopened_ ? Failed(exit_status::kPayloadsRefused, "payloads")
                             : Failed(exit_status::kPortUnavailable, "port");
    case WorkerStage::kRevert: return Failed(exit_status::kNotBackToNmea, StageName(WorkerStage::kRevert));
    case WorkerStage::kLoader: return Failed(exit_status::kFailed, StageName(WorkerStage::kLoader));
    default: return Failed(exit_status::kFailed, StageName(WorkerStage::kFirmware));
  }
}

void UpgradeSession::Record(const Outcome& outcome) {
  if (recorded_) return;
  recorded_ = true;
  if (!settings_.history) return;
  std::string error;
  const auto box = settings_.boxes && outcome.status != exit_status::kOk ? settings_.boxes->FirstBox() : std::nullopt;
  const auto line = recorder_.Line(telemetry_, outcome.status, ResultWord(outcome), outcome.failed_stage, before_,
                                   after_, box ? std::optional(ToUtf8(*box)) : std::nullopt);
  if (!AppendHistory(*settings_.history, line, &error)) {
    settings_.tell("the upgrade history cannot be written: " + error + "\n");
  }
}

}  // namespace larkspan
