// The upgrade worker: one whole firmware upgrade, from switching the receiver to SiRF binary
// through the two uploads to its return to NMEA, the reset and the installed-version record.
// Runs on a thread of its own (the dialog) or the main thread (larkspan-cli); it reaches the
// user only through the program state's sink, status text and flags.
#pragma once

#include "receiver/program_state.h"
#include "transfer/worker_telemetry.h"

namespace larkspan {

// The status of a run whose upload failed; it stays the last status shown.
inline constexpr char16_t kUpdateFailedStatus[] = u"Firmware update failed!";

// Runs the upgrade with the payload files the caller opened, telling its stages through
// `telemetry`. Returns 1 after "Finished!",
// 0 on every other exit (a payload file or the port not open, the probe channel not opening
// during the NMEA revert, a failed upload); every exit but "Finished!" and the loader falling
// silent raises the finished flag.
int UpgradeWorker(ProgramState& state, WorkerTelemetry& telemetry);

// The worker's exit once the user stopped the run (ProgramState::stop_signal): nothing more
// goes to the receiver, the channels close through their own code, the stage it stopped in
// counts as the one that failed and the finished flag rises. Returns 0.
int StoppedExit(ProgramState& state, WorkerTelemetry& telemetry);

}  // namespace larkspan
