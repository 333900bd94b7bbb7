// receiver-sim --replay: plays the receiver's side of a wire trace back to the host. It waits
// for each write the trace shows from the host, and sends what the host read after it at the
// same delay after that write as in the trace (before the first write, after the start). When
// the host writes something else, it logs where and goes silent. Single-threaded.
#pragma once

#include <functional>
#include <vector>

#include "tools/receiver_sim/pty.h"
#include "tools/receiver_sim/sim_log.h"
#include "tools/receiver_sim/trace_reader.h"

namespace larkspan::sim {

// Runs until `stop()` is true; returns the exit status.
int Replay(Pty& pty, const std::vector<TraceStep>& steps, SimLog& log, const std::function<bool()>& stop);

}  // namespace larkspan::sim
