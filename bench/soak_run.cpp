#include "bench/soak_run.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <sstream>
#include <thread>

#include "bench/proc_counts.h"
#include "bench/soak_sink.h"
#include "platform/text.h"
#include "platform/clock.h"
#include "platform/port_names.h"
#include "platform/registry.h"
#include "platform/termios_serial_port.h"
#include "platform/text.h"
#include "receiver/program_state.h"
#include "receiver/version_reader.h"
#include "tests/e2e/process.h"
#include "transfer/installed_version.h"
#include "transfer/payload_files.h"
#include "transfer/upgrade_worker.h"

namespace larkspan::soak {
namespace {

namespace fs = std::filesystem;

// Asks the simulator to end, and kills it when it has not within five seconds.
void Stop(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  e2e::WaitFor(pid, 5);
}

// The last line of `log` that starts with `head`, without it; empty when there is none.
std::string LastLine(const std::string& log, const std::string& head) {
  std::string last;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with(head)) last = line;
  }
  return last;
}

// The installed-version record as the updater writes it: the text widened, then a zero.
std::string ExpectedRecord() {
  std::string bytes;
  for (char c : kNewVersionText) {
    bytes += c;
    bytes += '\0';
  }
  bytes += std::string(2, '\0');
  return bytes;
}

std::mutex print_mutex;

}  // namespace

void RunUpgrade(const Paths& paths, Outcome& out) {
  out.work = paths.work_root / ("run-" + std::to_string(out.index));
  fs::remove_all(out.work);
  const fs::path key = out.work / "registry" / "HKEY_LOCAL_MACHINE" / "SOFTWARE" / "Apps" / "Tessan SW";
  fs::create_directories(key);
  // The updater holds its payload files for exclusive use: each run gets its own copies.
  fs::create_directories(out.work / "root");
  fs::copy(paths.payloads / kLoaderFileName, out.work / "root");
  fs::copy(paths.payloads / kFirmwareFileName, out.work / "root");
  const fs::path log = out.work / "sim.log";

  std::vector<std::string> sim_argv = {paths.sim.string(), "--path-file", (out.work / "path").string(),
                                       "--log", log.string(), "--lifetime", "900",
                                       "--firmware", (paths.payloads / kFirmwareFileName).string()};
  for (auto& option : out.fault.SimOptions()) sim_argv.push_back(option);
  pid_t sim = -1;
  try {
    // The simulator's output goes into files, not pipes of ours, so it holds no descriptor
    // of this process that the leak counts would have to leave out.
    sim = e2e::Spawn(sim_argv, out.work / "sim.out", out.work / "sim.err");
  } catch (const std::exception&) {
    out.setup_error = "cannot start receiver-sim";
    return;
  }
  for (int i = 0; i < 500 && out.device.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const std::string path = e2e::ReadFile(out.work / "path");
    if (!path.empty() && path.back() == '\n') out.device = path.substr(0, path.size() - 1);
  }
  if (out.device.empty()) {
    Stop(sim);
    out.setup_error = "receiver-sim did not start";
    return;
  }

  {
    TermiosSerialPorts ports(PortNames{out.device});
    SystemClock clock;
    SoakSink sink;
    FileRegistry registry(out.work / "registry");
    ProgramState state(ports, clock, sink, registry);

    // What the dialog does when it opens, then what its Upgrade button does.
    ReadStartupVersion(state);
    const size_t boxes_before = sink.boxes().size();
    state.CloseChannelsAndFiles();
    state.finished.store(false);
    OpenPayloadFiles(state, out.work / "root");

    // A busy port: once flashing has ended, take the port as soon as the revert lets it go,
    // and hold it a while, so that the revert's probe open is refused.
    std::atomic<bool> stop_holding{false};
    std::atomic<bool> port_taken{false};
    std::thread holder;
    if (out.fault.kind == FaultKind::kBusyPort) {
      holder = std::thread([&] {
        while (!stop_holding && e2e::ReadFile(log).find("flash-end") == std::string::npos) {
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (stop_holding) return;
        const int fd = open(out.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return;
        while (!stop_holding && flock(fd, LOCK_EX | LOCK_NB) != 0) {
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (stop_holding) {
          close(fd);
          return;
        }
        const auto taken = SteadyClock::now();
        port_taken = true;
        const auto until = taken + std::chrono::seconds(out.fault.hold_seconds);
        while (!stop_holding && SteadyClock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        out.busy_held = SecondsSince(taken);
        close(fd);
      });
    }

    std::atomic<bool> worker_done{false};
    WorkerTelemetry telemetry;
    const auto start = SteadyClock::now();
    std::thread worker([&] {
      out.result = UpgradeWorker(state, telemetry);
      worker_done = true;
    });
    while (!worker_done && SecondsSince(start) < kRunLimitSeconds) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!worker_done) {
      out.hung = true;
      kill(sim, SIGTERM);  // the pty hangs up, and the worker's reads and writes fail
    }
    worker.join();
    out.seconds = SecondsSince(start);
    // A holder that has the port keeps it for its time; one still waiting for it gives up.
    if (holder.joinable()) {
      if (!port_taken) stop_holding = true;
      holder.join();
    }

    out.held_after_worker = FdsInto(out.device, out.work);
    const auto boxes = sink.boxes();
    out.boxes.assign(boxes.begin() + static_cast<std::ptrdiff_t>(std::min(boxes_before, boxes.size())), boxes.end());
    const auto statuses = sink.statuses();
    if (!statuses.empty()) out.last_status = statuses.back();
    out.loader_silent = telemetry.loader_silent.load();
    const auto transmitting = std::find(statuses.begin(), statuses.end(), "Transmitting target S-records file..");
    const bool hundred = transmitting != statuses.end() && std::find(transmitting, statuses.end(), "100%") != statuses.end();
    const bool failed_box = std::find(out.boxes.begin(), out.boxes.end(), "Update: Firmware update failed!") != out.boxes.end();
    out.stream_completed = hundred && !failed_box;
  }
  out.left_after_run = FdsInto(out.device, out.work);
  Stop(sim);

  const std::string sim_log = e2e::ReadFile(log);
  out.mode = LastLine(sim_log, "mode ");
  out.flash_end = LastLine(sim_log, "flash-end");
  const fs::path record = out.work / "registry" / "HKEY_LOCAL_MACHINE" / "SOFTWARE" / "Apps" / "Tessan SW" / "FW";
  out.record_exists = fs::exists(record);
  if (out.record_exists) out.record_bytes = e2e::ReadFile(record);
}

void Check(Outcome& out, bool counts_own_run) {
  auto fail = [&](std::string what) { out.failures.push_back(std::move(what)); };
  if (!out.setup_error.empty()) {
    fail("setup: " + out.setup_error);
    return;
  }
  if (out.hung) fail("hung: the worker ran past " + std::to_string(kRunLimitSeconds) + " s");

  // (a)
  const bool in_nmea = out.mode == "mode nmea speed=4800";
  const bool failure_status = out.last_status == ToUtf8(kUpdateFailedStatus) || out.last_status == "serial not opened.";
  // A receiver that the revert could not reach is reported by a box even when the run ends
  // with "Finished!": the firmware went in whole, only the read-back failed ("Read Failed!").
  const bool reported = (out.result == 0 && failure_status) || !out.boxes.empty();
  if (!in_nmea && !reported) {
    fail("(a) receiver left in '" + out.mode + "' and no failure reported (result " + std::to_string(out.result) +
         ", last status '" + out.last_status + "')");
  }

  // (b)
  if (counts_own_run && out.fds_after != out.fds_before) {
    fail("(b) descriptors " + std::to_string(out.fds_before) + " -> " + std::to_string(out.fds_after));
  }
  if (counts_own_run && out.threads_after != out.threads_before) {
    fail("(b) threads " + std::to_string(out.threads_before) + " -> " + std::to_string(out.threads_after));
  }
  for (const auto& fd : out.left_after_run) fail("(b) descriptor left open: " + fd);

  // (c)
  if (out.record_exists && !out.stream_completed) fail("(c) installed-version record written, but the stream did not end");
  if (out.record_exists && out.record_bytes != ExpectedRecord()) {
    fail("(c) installed-version record of " + std::to_string(out.record_bytes.size()) + " bytes, not the expected 28");
  }
  if (out.result == 1 && !out.record_exists) fail("(c) \"Finished!\" without the installed-version record");
}

void PrintRun(const Outcome& out, int runs) {
  std::lock_guard lock(print_mutex);
  std::string boxes;
  for (const auto& box : out.boxes) boxes += (boxes.empty() ? "" : " | ") + box;
  std::printf("[%2d/%d] %-26s result %d  %6.1f s  last status \"%s\"  boxes %zu%s%s%s\n", out.index + 1, runs,
              out.fault.Describe().c_str(), out.result, out.seconds, EscapeControlBytes(out.last_status).c_str(),
              out.boxes.size(), boxes.empty() ? "" : " [", EscapeControlBytes(boxes).c_str(), boxes.empty() ? "" : "]");
  std::printf("        receiver '%s'  %s  record %s  stream %s  fds %d->%d  threads %d->%d%s%s\n",
              out.mode.c_str(), out.flash_end.empty() ? "no flash-end" : out.flash_end.c_str(),
              out.record_exists ? "written" : "absent", out.stream_completed ? "ended" : "not ended", out.fds_before,
              out.fds_after, out.threads_before, out.threads_after, out.loader_silent ? "  loader silent" : "",
              out.fault.kind == FaultKind::kBusyPort
                  ? ("  port held " + std::to_string(static_cast<int>(out.busy_held + 0.5)) + " s").c_str()
                  : "");
  if (out.result != out.fault.ExpectedResult()) {
    std::printf("        note: result %d where the updater is written to give %d\n", out.result,
                out.fault.ExpectedResult());
  }
  for (const auto& fd : out.held_after_worker) std::printf("        note: still open when the worker ended: %s\n", fd.c_str());
  for (const auto& failure : out.failures) std::printf("        FAILED %s\n", failure.c_str());
  if (!out.failures.empty()) std::printf("        run folder kept: %s\n", out.work.c_str());
  std::fflush(stdout);
}

}  // namespace larkspan::soak
