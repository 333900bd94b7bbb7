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
void EnterFlashUpdateMode(ProgramState& state) {
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
  if (!waited(5)) return;
  WriteFrame(state, frames::kLoaderSpeed);
  if (!waited(5)) return;
  if (!state.update_channel.ChangeSpeed(115200)) {
    ShowBox(state.sink, u"Cannot change UART baud rate to 115200!", kCaption);
  }
}
}  // namespace

int StoppedExit(ProgramState& state) {
  state.FailStage(state.stage.load());
  state.CloseChannelsAndFiles();
  state.finished.store(true);
  state.upgrade_running.store(0);
  return 0;
}

int UpgradeWorker(ProgramState& state) {
  state.upgrade_running.store(1);
  state.failed_stage.store(WorkerStage::kNone);
  state.failed_at_us.store(0);
  state.loader_silent.store(false);
  state.heard_in_nmea.store(false);
  state.record_unwritten.store(false);
  state.version_read_back.reset();
  for (auto& entered : state.stage_entered_us) entered.store(0);
  state.EnterStage(WorkerStage::kStart);
  state.update_channel.Close();
  state.update_channel.Open();
  state.sink.Progress(ProgressOp::kSetRange, 0, 100);
  state.sink.Progress(ProgressOp::kSetPos, 0);
  state.sink.Progress(ProgressOp::kSetStep, 1);

  if (state.Stopping()) return StoppedExit(state);
  if (!state.loader_file.IsOpen() || !state.srecord_file.IsOpen() || !state.update_channel.IsOpen()) {
    state.FailStage(WorkerStage::kStart);
    state.CloseChannelsAndFiles();
    state.finished.store(true);
    state.upgrade_running.store(0);
    return 0;
  }

  state.EnterStage(WorkerStage::kFlashMode);
  EnterFlashUpdateMode(state);
  if (state.Stopping()) return StoppedExit(state);
  state.EnterStage(WorkerStage::kLoader);
  bool upload_succeeded = UploadLoader(state);
  if (state.Stopping()) return StoppedExit(state);
  if (upload_succeeded) {
    state.EnterStage(WorkerStage::kFirmware);
    upload_succeeded = StreamSRecords(state);
    if (state.Stopping()) return StoppedExit(state);
    if (!upload_succeeded) state.FailStage(WorkerStage::kFirmware);
    if (state.loader_silent.load()) {
      // Nothing more goes to the receiver: no revert, no reset, no record. The channels are
      // closed already; the session ends the updater.
      state.CloseChannelsAndFiles();
      state.upgrade_running.store(0);
      return 0;
    }
  } else {
    state.FailStage(WorkerStage::kLoader);
    ShowBox(state.sink, u"Firmware update failed!", kCaption);  // the stream is not started
  }
  state.EnterStage(WorkerStage::kRevert);
  return RevertAndFinish(state, upload_succeeded);
}

}  // namespace larkspan
