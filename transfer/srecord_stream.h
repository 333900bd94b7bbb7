// The S-record stream: the second upload stage. Each record of the firmware S-record file is
// read and sent unchanged in one write at 115200 baud; after every record but the
// termination record the flash loader's answer line is awaited and judged. Worker thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "receiver/program_state.h"
#include "transfer/worker_telemetry.h"
#include "transfer/srecord_format.h"

namespace larkspan {

// The time limit the stream hands to each answer wait: a receiver that keeps sending bytes
// without an answer among them ends the wait after it; a silent one meets the empty-read
// limit first.
inline constexpr uint32_t kAnswerSeconds = 60;
// Empty one-second reads one answer wait tolerates; the next one ends the updater.
inline constexpr int kMaxEmptyReads = 16;
// The exit status of the updater when the loader fell silent.
inline constexpr int kSilentLoaderExitStatus = 1;

// The value of one hexadecimal digit (either case); 0 for any other byte, '0' included.
// Only the low 8 bits of `c` count.
int HexDigitValue(int c);

// What sending one record came to; the values are the handheld's 0, 1 and 2.
enum class RecordSent : int {
  kFailed = 0,    // shown in a box, except an answer wait that ran out of time
  kAccepted = 1,  // a data record was sent and accepted
  kEnded = 2,     // the termination record was sent
  kLoaderSilent = 3,  // the loader fell silent: both channels are closed
};

// Reads the next record from the firmware S-record file, sends it and, for a data record,
// waits for the answer. `written` receives the count of this record's write; it is left
// alone when the call fails before writing.
RecordSent TransmitS_Record(ProgramState& state, size_t& written, uint32_t seconds);

// What the wait for the loader's answer line came to; the values are the handheld's.
enum class LoaderAnswer : int {
  kRejected = 0,  // "SE", a failed read, or the loader fallen silent
  kAccepted = 1,  // "S5" or "SA" before the line's last byte
  kTimedOut = 2,  // the time limit passed
  kSilent = 3,    // the loader fell silent: both channels are closed
};

// Waits for the loader's answer line. After 16 empty reads the next one is the loader falling
// silent: both channels closed, a box and kSilent; the session ends the updater (with
// kSilentLoaderExitStatus).
LoaderAnswer ReceiveTargetResponse(ProgramState& state, uint32_t seconds);

// The stream loop: sends every record, showing the percentage of the file's bytes sent.
// True when it ended with the termination record ("100%"); false after the box
// "Firmware update failed!", or at once when the loader fell silent (`telemetry` says so).
// The records sent are counted in `telemetry`.
bool StreamSRecords(ProgramState& state, WorkerTelemetry& telemetry);

}  // namespace larkspan
