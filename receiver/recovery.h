// Brings a receiver left in SiRF binary mode back to NMEA at 4800 baud: one NMEA revert
// attempt at a given speed, and the check-and-repair routine built from it (two attempts at
// 38400, then two at 57600). Runs on the dialog thread (Repair) or the worker (the revert
// after an upload); blocks its thread for up to about 20 seconds an attempt.
#pragma once

#include <cstdint>

#include "receiver/program_state.h"

namespace larkspan {

enum class AttemptResult : uint8_t { kPortNotOpened, kVersionSeen, kVersionNotSeen };

// Sends the switch-to-NMEA frame on the probe channel at `speed`, then listens on the update
// channel at 4800 for a version line. Ends with the update channel open at 4800 and the probe
// channel closed, except on kPortNotOpened, where the probe channel may still hold the port.
AttemptResult AttemptNmeaRevert(ProgramState& state, uint32_t speed);

// Up to two attempts at 38400, then up to two at 57600; a port that cannot be opened ends
// them at once. Whatever the result, closes both channels and both payload files and raises
// the finished flag. True when an attempt saw a version line.
bool CheckAndRepair(ProgramState& state);

}  // namespace larkspan
