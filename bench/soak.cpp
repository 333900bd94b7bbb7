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
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "frontend/installed_version.h"
#include "tests/e2e/process.h"
#include "platform/clock.h"
#include "platform/port_names.h"
#include "platform/registry.h"
#include "platform/termios_serial_port.h"
#include "platform/text.h"
#include "platform/user_sink.h"
#include "receiver/program_state.h"
#include "receiver/version_reader.h"
#include "transfer/payload_files.h"
#include "transfer/upgrade_worker.h"

namespace larkspan::soak {
namespace {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

double SecondsSince(SteadyClock::time_point start) {
  return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

// ---- Faults

enum class FaultKind : uint8_t {
  kNone,
  kRejectRecord,
  kSilentAfterRecord,
  kNewFirmwareAt57600,
  kNewFirmwareAt38400,
  kRefuseNmeaAt115200,
  kLoseVersionAfterFlash,
  kAnswerPrefix,
  kBusyPort,
};
constexpr int kFaultKinds = 9;

constexpr const char* kKindNames[kFaultKinds] = {
    "none", "reject-record", "silent-after-record", "after-flash 57600", "after-flash 38400",
    "refuse-nmea 115200", "lose-version", "answer-prefix", "busy-port",
};

// The stream has 19,141 records, the last the termination record. Its answer is never read,
// so a fault on it would not be seen by the updater at all: faults stop short of it.
constexpr uint32_t kRecords = 19141;

// Answer prefixes, as the simulator takes them (C escapes). None of them is an answer itself.
const std::vector<std::string> kPrefixes = {
    "\\r\\n", "OK", "\\x00\\x00", "LOADER> ", "S", "\\xff\\xfe\\r\\n", std::string(64, 'x'),
};

struct Fault {
  FaultKind kind = FaultKind::kNone;
  uint32_t record = 0;         // kRejectRecord, kSilentAfterRecord
  std::string prefix;          // kAnswerPrefix
  uint32_t hold_seconds = 0;   // kBusyPort

  std::string Describe() const {
    std::string text = kKindNames[static_cast<int>(kind)];
    if (kind == FaultKind::kRejectRecord || kind == FaultKind::kSilentAfterRecord) text += " " + std::to_string(record);
    if (kind == FaultKind::kAnswerPrefix) text += " \"" + (prefix.size() > 12 ? prefix.substr(0, 9) + "..." : prefix) + "\"";
    if (kind == FaultKind::kBusyPort) text += " " + std::to_string(hold_seconds) + "s";
    return text;
  }

  std::vector<std::string> SimOptions() const {
    switch (kind) {
      case FaultKind::kNone: return {};
      case FaultKind::kRejectRecord: return {"--reject-record", std::to_string(record)};
      case FaultKind::kSilentAfterRecord: return {"--silent-after-record", std::to_string(record)};
      case FaultKind::kNewFirmwareAt57600: return {"--after-flash-speed", "57600"};
      case FaultKind::kNewFirmwareAt38400: return {"--after-flash-speed", "38400"};
      case FaultKind::kRefuseNmeaAt115200: return {"--refuse-nmea-at", "115200"};
      case FaultKind::kLoseVersionAfterFlash: return {"--lose-version-after-flash"};
      case FaultKind::kAnswerPrefix: return {"--answer-prefix", prefix};
      case FaultKind::kBusyPort: return {};  // the soak itself holds the port
    }
    return {};
  }

  // The result the updater gives for this fault, as it is written to behave. Shown, not checked.
  int ExpectedResult() const {
    switch (kind) {
      case FaultKind::kRejectRecord:
      case FaultKind::kSilentAfterRecord:
      case FaultKind::kBusyPort: return 0;
      default: return 1;
    }
  }
};

// Every block of nine runs takes each kind once, in an order shuffled by the seed; each run
// draws one more number for its parameter. Only the generator's raw output is used (its
// sequence is fixed by the language), mapped with plain remainders, so that a seed gives the
// same faults with every standard library.
std::vector<Fault> DrawFaults(uint32_t seed, int runs) {
  std::mt19937 generator(seed);
  std::vector<Fault> faults;
  std::vector<int> order;
  for (int i = 0; i < runs; ++i) {
    if (i % kFaultKinds == 0) {
      order.clear();
      for (int k = 0; k < kFaultKinds; ++k) order.push_back(k);
      for (int k = kFaultKinds - 1; k > 0; --k) std::swap(order[k], order[generator() % static_cast<uint32_t>(k + 1)]);
    }
    Fault fault;
    fault.kind = static_cast<FaultKind>(order[i % kFaultKinds]);
    const uint32_t parameter = generator();
    if (fault.kind == FaultKind::kRejectRecord) fault.record = 1 + parameter % (kRecords - 1);           // 1..19140
    if (fault.kind == FaultKind::kSilentAfterRecord) fault.record = 1 + parameter % (kRecords - 2);      // 1..19139
    if (fault.kind == FaultKind::kAnswerPrefix) fault.prefix = kPrefixes[parameter % kPrefixes.size()];
    if (fault.kind == FaultKind::kBusyPort) fault.hold_seconds = 4 + parameter % 9;                      // 4..12
    faults.push_back(fault);
  }
  return faults;
}

// ---- Counting descriptors and threads

// One scan of /proc/self at a time: a scan holds a descriptor of its own while it reads.
std::mutex proc_mutex;

int CountEntries(const char* folder) {
  std::lock_guard lock(proc_mutex);
  DIR* dir = opendir(folder);
  if (!dir) return -1;
  int count = 0;
  while (const dirent* entry = readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) ++count;
  }
  closedir(dir);
  return count - (std::strcmp(folder, "/proc/self/fd") == 0 ? 1 : 0);  // the scan's own
}

int CountFds() { return CountEntries("/proc/self/fd"); }
int CountThreads() { return CountEntries("/proc/self/task"); }

// Descriptors of this process that point at `device` or into `folder`, as "fd -> target".
std::vector<std::string> FdsInto(const std::string& device, const fs::path& folder) {
  std::lock_guard lock(proc_mutex);
  std::vector<std::string> found;
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return found;
  const std::string prefix = folder.string() + "/";
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    char target[PATH_MAX];
    const std::string link = std::string("/proc/self/fd/") + entry->d_name;
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    const std::string path(target, static_cast<size_t>(n));
    if (path == device || path.starts_with(prefix)) found.push_back(std::string(entry->d_name) + " -> " + path);
  }
  closedir(dir);
  return found;
}

// Samples the counts while the runs go on, for the peaks in the summary.
class PeakMonitor {
 public:
  PeakMonitor() : thread_([this] { Loop(); }) {}
  ~PeakMonitor() {
    stop_ = true;
    thread_.join();
  }
  int max_fds() const { return max_fds_; }
  int max_threads() const { return max_threads_; }

 private:
  void Loop() {
    while (!stop_) {
      max_fds_ = std::max(max_fds_.load(), CountFds());
      max_threads_ = std::max(max_threads_.load(), CountThreads());
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  std::atomic<bool> stop_{false};
  std::atomic<int> max_fds_{0};
  std::atomic<int> max_threads_{0};
  std::thread thread_;
};

// ---- The user sink

// Records what the updater shows. Boxes count as acknowledged at once; the end of the
// process is only recorded (the worker then goes on, and reports the failure itself).
class SoakSink final : public UserSink {
 public:
  void ShowMessage(const MessageBox& box) override {
    std::lock_guard lock(mutex_);
    boxes_.push_back(ToUtf8(box.caption.empty() ? std::u16string(kAppName) : box.caption) + ": " + ToUtf8(box.text));
  }
  void ShowStatus(const WideText& status) override {
    std::lock_guard lock(mutex_);
    statuses_.push_back(ToUtf8(status));
  }
  void Progress(ProgressOp, int, int) override {}
  void EndProcess(int status) override {
    std::lock_guard lock(mutex_);
    ends_.push_back(status);
  }

  std::vector<std::string> boxes() const {
    std::lock_guard lock(mutex_);
    return boxes_;
  }
  std::vector<std::string> statuses() const {
    std::lock_guard lock(mutex_);
    return statuses_;
  }
  std::vector<int> ends() const {
    std::lock_guard lock(mutex_);
    return ends_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> boxes_;
  std::vector<std::string> statuses_;
  std::vector<int> ends_;
};

// ---- Processes and files

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

// ---- One upgrade

struct Paths {
  fs::path sim;
  fs::path payloads;
  fs::path work_root;
};

struct Outcome {
  int index = 0;
  Fault fault;
  fs::path work;
  std::string device;
  int result = -1;
  double seconds = 0;
  std::string last_status = "(no status)";
  std::vector<std::string> boxes;  // shown by the worker
  std::vector<int> ends;           // EndProcess calls
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

constexpr int kRunLimitSeconds = 600;  // a worker still running then is stopped by ending the simulator

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
    const auto start = SteadyClock::now();
    std::thread worker([&] {
      out.result = UpgradeWorker(state);
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
    out.ends = sink.ends();
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

// The checks of one run whose counts are filled in. `counts_own_run`: the counts were taken
// around this run alone (serial), not around its pair.
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

std::string Printable(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}

std::mutex print_mutex;

void PrintRun(const Outcome& out, int runs) {
  std::lock_guard lock(print_mutex);
  std::string boxes;
  for (const auto& box : out.boxes) boxes += (boxes.empty() ? "" : " | ") + box;
  std::printf("[%2d/%d] %-26s result %d  %6.1f s  last status \"%s\"  boxes %zu%s%s%s\n", out.index + 1, runs,
              out.fault.Describe().c_str(), out.result, out.seconds, Printable(out.last_status).c_str(),
              out.boxes.size(), boxes.empty() ? "" : " [", Printable(boxes).c_str(), boxes.empty() ? "" : "]");
  std::printf("        receiver '%s'  %s  record %s  stream %s  fds %d->%d  threads %d->%d%s%s\n",
              out.mode.c_str(), out.flash_end.empty() ? "no flash-end" : out.flash_end.c_str(),
              out.record_exists ? "written" : "absent", out.stream_completed ? "ended" : "not ended", out.fds_before,
              out.fds_after, out.threads_before, out.threads_after, out.ends.empty() ? "" : "  EndProcess called",
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

struct Options {
  int runs = 20;
  uint32_t seed = 20240611;
  int jobs = 2;
  bool keep = false;
  bool list = false;
};

std::optional<Options> Parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto number = [&](long low, long high) -> std::optional<long> {
      if (i + 1 >= argc) return std::nullopt;
      char* end = nullptr;
      const long value = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || value < low || value > high) return std::nullopt;
      return value;
    };
    std::optional<long> value;
    if (arg == "--runs" && (value = number(1, 10000))) {
      options.runs = static_cast<int>(*value);
    } else if (arg == "--seed" && (value = number(0, 4294967295L))) {
      options.seed = static_cast<uint32_t>(*value);
    } else if (arg == "--jobs" && (value = number(1, 2))) {
      options.jobs = static_cast<int>(*value);
    } else if (arg == "--keep") {
      options.keep = true;
    } else if (arg == "--list") {
      options.list = true;
    } else {
      std::fprintf(stderr, "usage: soak [--runs N] [--seed S] [--jobs 1|2] [--keep] [--list]\n");
      return std::nullopt;
    }
  }
  return options;
}

int Main(int argc, char** argv) {
  const auto options = Parse(argc, argv);
  if (!options) return 2;
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
