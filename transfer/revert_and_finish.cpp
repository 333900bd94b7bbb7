#include "transfer/revert_and_finish.h"

#include "receiver/command_frames.h"
#include "receiver/recovery.h"
#include "receiver/version_reader.h"
#include "transfer/installed_version.h"
#include "transfer/upgrade_worker.h"

namespace larkspan {

namespace {
// The "serial not opened." exit: the probe channel could not be opened for an attempt.
int SerialNotOpenedExit(ProgramState& state, WorkerTelemetry& telemetry) {
  telemetry.FailStage(WorkerStage::kRevert);
  state.CloseChannelsAndFiles();
  state.SetStatus(u"serial not opened.");
  // After the status, so that the dialog shows it before it stops its timer.
  state.finished.store(true);
  state.upgrade_running.store(0);
  return 0;
}
}  // namespace

int RevertAndFinish(ProgramState& state, WorkerTelemetry& telemetry, bool upload_succeeded) {
  state.SetStatus(u"Switch to NMEA mode.wait...");
  // The new firmware may come up at 115200 or 57600; 38400 is tried only when neither of
  // the first two attempts saw a version line.
  const AttemptResult at_115200 = AttemptNmeaRevert(state, 115200);
  if (at_115200 == AttemptResult::kPortNotOpened) return SerialNotOpenedExit(state, telemetry);
  if (state.Stopping()) return StoppedExit(state, telemetry);
  const AttemptResult at_57600 = AttemptNmeaRevert(state, 57600);
  if (at_57600 == AttemptResult::kPortNotOpened) return SerialNotOpenedExit(state, telemetry);
  bool heard = at_57600 == AttemptResult::kVersionSeen || at_115200 == AttemptResult::kVersionSeen;
  if (state.Stopping()) return StoppedExit(state, telemetry);
  if (!heard) {
    const AttemptResult at_38400 = AttemptNmeaRevert(state, 38400);
    if (at_38400 == AttemptResult::kPortNotOpened) return SerialNotOpenedExit(state, telemetry);
    heard = at_38400 == AttemptResult::kVersionSeen;
    if (state.Stopping()) return StoppedExit(state, telemetry);
  }
  telemetry.heard_in_nmea.store(heard);

  state.WaitSeconds(2);
  state.update_channel.Send(frames::Bytes(frames::kRmcRate));
  state.WaitSeconds(1);
  if (upload_succeeded) state.SetStatus(u"Firmware upgrade finished.");

  state.update_channel.Close();
  state.update_channel.Open();
  VersionRead read_back = ReadVersion(state);
  if (read_back == VersionRead::kWindowEnded) read_back = ReadVersion(state);
  if (read_back == VersionRead::kWindowEnded) state.sink.ShowMessage({u"Read Failed!", u"Message", BoxOwner::kNone, BoxIcon::kError});
  if (read_back == VersionRead::kSeen) telemetry.version_read_back = state.current_version;

  state.CloseChannelsAndFiles();
  state.SetStatus(u"Reset GPS module...");
  state.probe_channel.ResetReceiver();
  state.clock.SleepMs(100);

  if (!upload_succeeded) {
    // The receiver is back in NMEA and reset, but it does not run the new firmware: nothing
    // is recorded and the run is not reported as finished.
    state.SetStatus(kUpdateFailedStatus);
    state.finished.store(true);
    state.upgrade_running.store(0);
    return 0;
  }
  telemetry.record_unwritten.store(!RecordInstalledVersion(state.registry));
  state.clock.SleepMs(200);
  state.SetStatus(u"Finished!");
  state.upgrade_running.store(0);
  return 1;
}

}  // namespace larkspan
