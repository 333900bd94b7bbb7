// Soak of whole upgrades in one process: N upgrades in a row, each against a fresh
// receiver-sim with a fault drawn from a fixed seed, each run the way the dialog runs it (the
// startup version read, then UpgradeWorker on a thread of its own over the real seams:
// TermiosSerialPorts, SystemClock, FileRegistry). Because every run shares this one process,
// descriptors or threads the updater fails to give back pile up and show.
//
// After each upgrade it prints one line (fault, result, seconds, last status, boxes shown)
// and checks:
//  (a) the receiver ends in NMEA at 4800 (the simulator's last "mode" line), or the failure
//      was reported: result 0 and a box or a failure status;
//  (b) no descriptor and no thread leaked: /proc/self/fd and /proc/self/task are counted
//      before and after, and no descriptor still points at the run's pty or files;
//  (c) the installed-version record (FW, 28 bytes) exists only when the S-record stream
//      ended with its termination record ("100%" after "Transmitting target S-records
//      file.." and no "Firmware update failed!" box), and after every "Finished!".
// A summary table closes the run; the exit status is 1 when any check failed.
//
// Usage: soak [--runs N] [--seed S] [--jobs 1|2] [--keep] [--list]
//   --runs N   upgrades (default 20)
//   --seed S   seed of the fault draw (default 20240611)
//   --jobs J   upgrades at a time, 1 or 2 (default 2). With 2, runs go in pairs that start
//              together; descriptors and threads are counted when neither runs (before and
//              after each pair), and each run's own descriptors are found by their targets.
//   --keep     keep every run's folder (by default only those of runs that failed a check)
//   --list     print the faults the seed draws, and nothing else
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench/proc_counts.h"
#include "bench/soak_faults.h"
#include "bench/soak_run.h"
#include "platform/command_line.h"

namespace larkspan::soak {
namespace {

namespace fs = std::filesystem;

struct Options {
  int runs = 20;
  uint32_t seed = 20240611;
  int jobs = 2;
  bool keep = false;
  bool list = false;
};

int Main(int argc, char** argv) {
  Options parsed;
  CLI::App command_line("Runs upgrades of receiver-sim in one process, with faults drawn from a seed, and reports "
                        "file descriptors, threads and memory before and after.",
                        "soak");
  command_line.set_version_flag("--version", "soak " LARKSPAN_VERSION);
  command_line.add_option("--runs", parsed.runs, "upgrades to run")->check(CLI::Range(1, 10000));
  command_line.add_option("--seed", parsed.seed, "seed of the faults");
  command_line.add_option("--jobs", parsed.jobs, "upgrades at a time")->check(CLI::Range(1, 2));
  command_line.add_flag("--keep", parsed.keep, "keep each run's folder");
  command_line.add_flag("--list", parsed.list, "list the drawn faults and stop");
  if (const auto ended = ParseCommandLine(command_line, argc, argv)) return *ended;
  const Options* options = &parsed;
  const std::vector<Fault> faults = DrawFaults(options->seed, options->runs);
  if (options->list) {
    for (size_t i = 0; i < faults.size(); ++i) std::printf("%2zu %s\n", i + 1, faults[i].Describe().c_str());
    return 0;
  }
  Paths paths{RECEIVER_SIM, PAYLOAD_DIR, fs::temp_directory_path() / ("larkspan-soak-" + std::to_string(getpid()))};
  fs::create_directories(paths.work_root);
  std::printf("Soak: %d upgrades, seed %u, %d at a time, in process %d\n\n", options->runs, options->seed,
              options->jobs, getpid());
  std::fflush(stdout);

  PeakMonitor monitor;
  const int fds_baseline = CountFds();
  const int threads_baseline = CountThreads();
  std::vector<Outcome> outcomes(faults.size());
  std::vector<std::string> batch_failures;
  const auto soak_start = SteadyClock::now();

  for (size_t first = 0; first < faults.size(); first += static_cast<size_t>(options->jobs)) {
    const size_t last = std::min(faults.size(), first + static_cast<size_t>(options->jobs));
    for (size_t i = first; i < last; ++i) {
      outcomes[i].index = static_cast<int>(i);
      outcomes[i].fault = faults[i];
    }
    // Counted when no run is going on.
    const int fds_before = CountFds();
    const int threads_before = CountThreads();
    if (last - first == 1) {
      RunUpgrade(paths, outcomes[first]);
    } else {
      std::vector<std::thread> runners;
      for (size_t i = first; i < last; ++i) runners.emplace_back([&, i] { RunUpgrade(paths, outcomes[i]); });
      for (auto& runner : runners) runner.join();
    }
    const int fds_after = CountFds();
    const int threads_after = CountThreads();
    const bool own = last - first == 1;
    for (size_t i = first; i < last; ++i) {
      Outcome& out = outcomes[i];
      out.fds_before = fds_before;
      out.fds_after = fds_after;
      out.threads_before = threads_before;
      out.threads_after = threads_after;
      Check(out, own);
      PrintRun(out, options->runs);
      if (out.failures.empty() && !options->keep) fs::remove_all(out.work);
    }
    if (!own && (fds_after != fds_before || threads_after != threads_before)) {
      char line[160];
      std::snprintf(line, sizeof line, "(b) runs %zu-%zu together: descriptors %d -> %d, threads %d -> %d", first + 1,
                    last, fds_before, fds_after, threads_before, threads_after);
      batch_failures.push_back(line);
      std::printf("        FAILED %s\n", line);
      std::fflush(stdout);
    }
  }
  const double total = SecondsSince(soak_start);
  const int fds_end = CountFds();
  const int threads_end = CountThreads();

  // Summary by fault kind, in the order of the kinds.
  std::printf("\n%-22s %5s %6s %9s %9s %9s\n", "fault", "runs", "passes", "result 1", "min s", "max s");
  int passes = 0;
  for (int kind = 0; kind < kFaultKinds; ++kind) {
    int count = 0, passed = 0, ones = 0;
    double low = 1e9, high = 0;
    for (const auto& out : outcomes) {
      if (static_cast<int>(out.fault.kind) != kind) continue;
      ++count;
      passed += out.failures.empty() ? 1 : 0;
      ones += out.result == 1 ? 1 : 0;
      low = std::min(low, out.seconds);
      high = std::max(high, out.seconds);
    }
    passes += passed;
    if (count == 0) continue;
    std::printf("%-22s %5d %6d %9d %9.1f %9.1f\n", kKindNames[kind], count, passed, ones, low, high);
  }
  std::printf("%-22s %5zu %6d\n\n", "all", outcomes.size(), passes);
  std::printf("total time %.1f s (%.1f min), %d at a time\n", total, total / 60, options->jobs);
  std::printf("descriptors: %d at the start, %d at the end, at most %d\n", fds_baseline, fds_end, monitor.max_fds());
  std::printf("threads: %d at the start, %d at the end, at most %d\n", threads_baseline, threads_end,
              monitor.max_threads());
  const bool whole_leak = fds_end != fds_baseline || threads_end != threads_baseline;
  if (whole_leak) std::printf("FAILED (b) over the whole soak: the counts at the end differ from the start\n");
  for (const auto& line : batch_failures) std::printf("FAILED %s\n", line.c_str());

  const bool all_passed = passes == static_cast<int>(outcomes.size()) && batch_failures.empty() && !whole_leak;
  std::printf("%s\n", all_passed ? "all checks passed" : "SOME CHECKS FAILED");
  if (all_passed && !options->keep) fs::remove_all(paths.work_root);
  return all_passed ? 0 : 1;
}

}  // namespace
}  // namespace larkspan::soak

int main(int argc, char** argv) { return larkspan::soak::Main(argc, argv); }
