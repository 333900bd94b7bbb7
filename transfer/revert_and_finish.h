// The second half of the upgrade worker: bring the receiver back from the flash loader to
// NMEA at 4800, read its version back, reset it and record what was installed. Worker thread.
#pragma once

#include "receiver/program_state.h"
#include "transfer/worker_telemetry.h"

namespace larkspan {

// The NMEA revert at 115200, 57600 and if need be 38400, the RMC-rate sentence, the version
// read-back, the reset, and, only after a good upload, the installed-version record and
// "Finished!". Returns the worker's result: 1 after "Finished!", else 0.
int RevertAndFinish(ProgramState& state, WorkerTelemetry& telemetry, bool upload_succeeded);

}  // namespace larkspan
