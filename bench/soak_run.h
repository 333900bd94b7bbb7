// One upgrade of the soak against a fresh receiver-sim, its checks and its report lines.
// Owned by the soak's main loop; RunUpgrade runs on the main thread or, two at a time, on a
// runner thread per run (each with its own Outcome); Check and PrintRun on the main thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/soak_faults.h"

namespace larkspan::soak {

using SteadyClock = std::chrono::steady_clock;

inline double SecondsSince(SteadyClock::time_point start) {
  return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

struct Paths {
  std::filesystem::path sim;
  std::filesystem::path payloads;
  std::filesystem::path work_root;
};

struct Outcome {
  int index = 0;
  Fault fault;
  std::filesystem::path work;
  std::string device;
  int result = -1;
  double seconds = 0;
  std::string last_status = "(no status)";
  std::vector<std::string> boxes;  // shown by the worker
  bool loader_silent = false;      // the worker ended where the loader fell silent
  std::string mode;                // the simulator's last mode line
  std::string flash_end;           // the simulator's flash-end line, if any
  bool stream_completed = false;
  bool record_exists = false;
  std::string record_bytes;
  bool hung = false;
  std::string setup_error;
  double busy_held = 0;            // seconds the soak held the port (kBusyPort)
  std::vector<std::string> held_after_worker;  // the run's descriptors still open when the worker ended
  std::vector<std::string> left_after_run;     // ... and after its program state was gone
  // The counts around the run (serial) or around its pair (two at a time).
  int fds_before = 0, fds_after = 0, threads_before = 0, threads_after = 0;

  std::vector<std::string> failures;
};

inline constexpr int kRunLimitSeconds = 600;  // a worker still running then is stopped by ending the simulator

// Runs the upgrade of `out.index` with `out.fault` in its own folder under the work root,
// the way the dialog runs it, and fills in everything but the counts and the failures.
void RunUpgrade(const Paths& paths, Outcome& out);

// The checks of one run whose counts are filled in. `counts_own_run`: the counts were taken
// around this run alone (serial), not around its pair.
void Check(Outcome& out, bool counts_own_run);

// Prints the run's lines: what happened, the notes and the failed checks.
void PrintRun(const Outcome& out, int runs);

}  // namespace larkspan::soak
