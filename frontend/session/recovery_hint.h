// What a user can do after a run that did not succeed: one line that says what the receiver is
// left with and the next command to run, naming the user's own port and device root. It never
// promises what the updater cannot do: a receiver cut off inside its flash loader is out of its
// reach until its power goes off and on. Any thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "frontend/session/upgrade_session.h"
#include "transfer/worker_telemetry.h"

namespace larkspan {

// Where the run went: the port and the device root, for the commands a hint names.
struct HintPlace {
  std::string port;
  std::filesystem::path root;
  uint64_t firmware_records = 0;  // the firmware file's records; 0 when not counted
};

// "larkspan-cli --port PORT COMMAND" (with "--root ROOT" for upgrade, the one command that takes
// it), each path quoted for a shell where it needs it.
std::string CommandLine(const HintPlace& place, std::string_view command);

// The hint for `outcome`, with what the worker told of its run (null where none ran); empty
// for a run that succeeded or was skipped.
std::string RecoveryHint(const Outcome& outcome, const HintPlace& place, const WorkerTelemetry* telemetry);

}  // namespace larkspan
