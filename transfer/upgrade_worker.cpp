#include "transfer/upgrade_worker.h"

#include <span>

#include "receiver/command_frames.h"
#include "transfer/loader_upload.h"
#include "transfer/revert_and_finish.h"
#include "transfer/srecord_stream.h"

namespace larkspan {

namespace {
constexpr char16_t kCaption[] = u"Update";

// One frame in one write, with the worker's two checks of it.
void WriteFrame(ProgramState& state, std::span<const uint8_t> frame) {
  size_t written = 0;
  if (!state.update_channel.Write(frame, written)) {
    ShowBox(state.sink, u"Error.. Cannot transmit to UART", u"Write Message");
  }
  if (written != frame.size()) ShowBox(state.sink, u"Error.. Incorrect transmission to UART", u"Write Message");
}

// Switches the receiver from NMEA at 4800 to SiRF binary at 38400, then into flash-update
// mode with the loader speed, and follows it to 115200. Ends at the next wait once the user
// stops the run.
void EnterFlashUpdateMode(ProgramState& state, WorkerTelemetry& telemetry) {
  const auto waited = [&state](uint32_t seconds) {
    state.WaitSeconds(seconds);
    return !state.Stopping();
  };
  state.SetStatus(u"Switch to SiRF Binary protocal...");
  state.update_channel.Send(frames::Bytes(frames::kSwitchToBinary));
  if (!waited(2)) return;
  state.update_channel.Send(frames::Bytes(frames::kSwitchToBinary));
  if (!waited(4)) return;
  if (!state.update_channel.ChangeSpeed(38400)) ShowBox(state.sink, u"Cannot change UART baud rate to 38400!", kCaption);

  state.SetStatus(u"Sending update command...");
  if (!waited(1)) return;
  WriteFrame(state, frames::kFlashUpdate);
  telemetry.flash_update_sent.store(true);
  if (!waited(5)) return;
  WriteFrame(state, frames::kLoaderSpeed);
  if (!waited(5)) return;
  if (!state.update_channel.ChangeSpeed(115200)) {
    ShowBox(state.sink, u"Cannot change UART baud rate to 115200!", kCaption);
  }
}
}  // namespace

int StoppedExit(ProgramState& state, WorkerTelemetry& telemetry) {
  telemetry.FailStage(telemetry.stage.load());
  state.CloseChannelsAndFiles();
  state.finished.store(true);
  state.upgrade_running.store(0);
  return 0;
}

int UpgradeWorker(ProgramState& state, WorkerTelemetry& telemetry) {
  state.upgrade_running.store(1);
  telemetry.Begin();
  state.update_channel.Close();
  state.update_channel.Open();
  state.sink.Progress(ProgressOp::kSetRange, 0, 100);
  state.sink.Progress(ProgressOp::kSetPos, 0);
  state.sink.Progress(ProgressOp::kSetStep, 1);

  if (state.Stopping()) return StoppedExit(state, telemetry);
  if (!state.loader_file.IsOpen() || !state.srecord_file.IsOpen() || !state.update_channel.IsOpen()) {
    telemetry.FailStage(WorkerStage::kStart);
    state.CloseChannelsAndFiles();
    state.finished.store(true);
    state.upgrade_running.store(0);
    return 0;
  }

  telemetry.EnterStage(WorkerStage::kFlashMode);
  EnterFlashUpdateMode(state, telemetry);
  if (state.Stopping()) return StoppedExit(state, telemetry);
  telemetry.EnterStage(WorkerStage::kLoader);
  bool upload_succeeded = UploadLoader(state, telemetry);
  if (state.Stopping()) return StoppedExit(state, telemetry);
  if (upload_succeeded) {
    telemetry.EnterStage(WorkerStage::kFirmware);
    upload_succeeded = StreamSRecords(state, telemetry);
    if (state.Stopping()) return StoppedExit(state, telemetry);
    if (!upload_succeeded) telemetry.FailStage(WorkerStage::kFirmware);
    if (telemetry.loader_silent.load()) {
      // Nothing more goes to the receiver: no revert, no reset, no record. The channels are
      // closed already; the session ends the updater.
      state.CloseChannelsAndFiles();
      state.upgrade_running.store(0);
      return 0;
    }
  } else {
    telemetry.FailStage(WorkerStage::kLoader);
    ShowBox(state.sink, u"Firmware update failed!", kCaption);  // the stream is not started
  }
  telemetry.EnterStage(WorkerStage::kRevert);
  return RevertAndFinish(state, telemetry, upload_succeeded);
}

}  // namespace larkspan
