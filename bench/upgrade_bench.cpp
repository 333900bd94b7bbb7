// Benchmarks of a whole upgrade: larkspan-cli upgrade against receiver-sim with the generated
// payloads. Two runs side by side:
//  - instant: the simulated loader answers at once, so the S-record stream's pace is the
//    host's own time per record over the pty;
//  - paced: the simulator moves bytes at the line's real rate (10 bits a byte), so the wall
//    time can be set against the mandated waits plus the time the bytes need on the line.
// For each: wall time, CPU time of larkspan-cli and its share of the wall time, peak memory.
// The instant run is then repeated with --trace, for the wire trace's cost, and under strace,
// to count the system calls a record.
// With --receivers N: one paced upgrade, then N paced receiver-sims upgraded side by side by one
// larkspan-cli: wall time against the single run's, CPU a receiver, peak memory.
// Usage: upgrade-bench [--instant-only | --receivers N]
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/command_line.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr double kRecords = 19141;
constexpr double kFirmwareBytes = 918698;
constexpr double kLoaderBytes = 14316;
constexpr const char* kStrace = "/usr/bin/strace";

pid_t Spawn(std::vector<std::string> argv, int out_fd, const std::vector<std::string>& environment) {
  std::vector<char*> args;
  for (auto& arg : argv) args.push_back(arg.data());
  args.push_back(nullptr);
  std::vector<std::string> env_copy = environment;
  std::vector<char*> env;
  for (auto& entry : env_copy) env.push_back(entry.data());
  for (char** entry = environ; *entry; ++entry) env.push_back(*entry);
  env.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (out_fd >= 0) posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), env.data()) != 0) {
    std::fprintf(stderr, "cannot start %s\n", argv[0].c_str());
    std::exit(1);
  }
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

struct Run {
  double wall = 0, cpu = 0, max_rss_mb = 0, trace_mb = 0;
  int exit_status = -1;
  std::map<std::string, double> last_seen;  // status line -> seconds since start, last time shown
};

// Runs one upgrade against `receivers` fresh simulators with `sim_options`; with `strace_log`,
// under strace writing its log there; with `trace`, recording the wire trace.
Run Upgrade(const fs::path& build, const std::vector<std::string>& sim_options, const std::string& tag,
            const fs::path& strace_log = {}, bool trace = false, int receivers = 1) {
  const fs::path work = fs::temp_directory_path() / ("larkspan-bench-" + tag + "-" + std::to_string(getpid()));
  fs::create_directories(work / "registry" / "HKEY_LOCAL_MACHINE" / "SOFTWARE" / "Apps" / "Tessan SW");
  // The updater holds its payload files for exclusive use: each run gets its own copy.
  fs::create_directories(work / "root");
  for (const char* name : {"dlgsp2.bin", "Orvel_GPS_Firmware_R10.s"}) fs::copy(build / "payloads" / name, work / "root");
  std::vector<pid_t> sims;
  std::vector<std::string> ports;
  for (int receiver = 0; receiver < receivers; ++receiver) {
    const fs::path path_file = work / ("path" + std::to_string(receiver));
    std::vector<std::string> sim_argv = {(build / "tools/receiver_sim/receiver-sim").string(), "--path-file",
                                         path_file.string(), "--lifetime", "900"};
    sim_argv.insert(sim_argv.end(), sim_options.begin(), sim_options.end());
    sims.push_back(Spawn(sim_argv, -1, {}));
    std::string device;
    for (int i = 0; i < 500 && device.empty(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      std::ifstream in(path_file);
      std::getline(in, device);
    }
    ports.insert(ports.end(), {"--port", device});
  }

  int pipe_fds[2];
  // Close-on-exec, so that the other run's processes do not hold this pipe open.
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) std::exit(1);
  const auto start = Clock::now();
  std::vector<std::string> cli_argv = {(build / "larkspan-cli").string(), "--root", (work / "root").string(),
                                       "upgrade"};
  cli_argv.insert(cli_argv.begin() + 1, ports.begin(), ports.end());
  if (trace) cli_argv.insert(cli_argv.end(), {"--trace", (work / "trace").string()});
  if (!strace_log.empty()) cli_argv.insert(cli_argv.begin(), {kStrace, "-f", "-qq", "-s", "64", "-o", strace_log.string()});
  const pid_t cli = Spawn(cli_argv, pipe_fds[1], {"LARKSPAN_REGISTRY=" + (work / "registry").string()});
  close(pipe_fds[1]);

  Run run;
  std::string pending;
  char buffer[4096];
  for (ssize_t n; (n = read(pipe_fds[0], buffer, sizeof buffer)) > 0;) {
    const double at = std::chrono::duration<double>(Clock::now() - start).count();
    pending.append(buffer, static_cast<size_t>(n));
    for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
      run.last_seen[pending.substr(0, end)] = at;
    }
  }
  close(pipe_fds[0]);
  int status = 0;
  rusage usage{};
  wait4(cli, &status, 0, &usage);
  run.wall = std::chrono::duration<double>(Clock::now() - start).count();
  run.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
            static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  run.max_rss_mb = static_cast<double>(usage.ru_maxrss) / 1024.0;
  for (const pid_t sim : sims) {
    kill(sim, SIGTERM);
    waitpid(sim, nullptr, 0);
  }
  std::error_code no_trace;
  run.trace_mb = static_cast<double>(fs::file_size(work / "trace", no_trace)) / 1e6;
  fs::remove_all(work);
  return run;
}

// The system calls larkspan-cli made over the S-record stream, from strace's log of a whole
// upgrade: those between its status line "Transmitting target S-records file.." and its last
// "100%". All of them, and the I/O ones among them (reads, writes, waits, ioctls, seeks).
struct StreamCalls {
  long all = 0, io = 0;
};
std::optional<StreamCalls> CountStreamCalls(const fs::path& log) {
  std::ifstream in(log);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  const auto is = [&](size_t i, const char* text) { return lines[i].find(text) != std::string::npos; };
  size_t start = lines.size(), end = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (start == lines.size() && is(i, "write(1, \"Transmitting target S-records file..")) start = i;
    if (is(i, "write(1, \"100%\\n\"")) end = i;
  }
  if (start >= end) return std::nullopt;
  StreamCalls calls;
  for (size_t i = start + 1; i < end; ++i) {
    std::string name = lines[i].substr(lines[i].find(' ') + 1);
    name = name.substr(0, name.find('('));
    ++calls.all;
    for (const char* io : {"read", "write", "poll", "ppoll", "ioctl", "select", "pselect6", "readv", "writev", "pread64",
                           "pwrite64", "lseek"}) {
      calls.io += name == io;
    }
  }
  return calls;
}

// When `line` was last shown ("100%" is shown by both uploads: the stream's comes last).
double Seen(const Run& run, const std::string& line) {
  const auto at = run.last_seen.find(line);
  return at == run.last_seen.end() ? -1 : at->second;
}

void PrintCommon(const char* name, const Run& run) {
  std::printf("%s: exit %d, wall %.1f s, CPU %.2f s (%.2f %% of wall), peak memory %.1f MB\n", name,
              run.exit_status, run.wall, run.cpu, 100 * run.cpu / run.wall, run.max_rss_mb);
}

// Peak memory of the dialog updater: started against a receiver-sim on Qt's offscreen
// platform, it reads the version and shows its warning; then it is stopped.
double DialogPeakMemoryMb(const fs::path& build) {
  const fs::path work = fs::temp_directory_path() / ("larkspan-bench-dialog-" + std::to_string(getpid()));
  fs::create_directories(work);
  const pid_t sim = Spawn({(build / "tools/receiver_sim/receiver-sim").string(), "--path-file",
                           (work / "path").string(), "--lifetime", "60"},
                          -1, {});
  std::string device;
  for (int i = 0; i < 500 && device.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::ifstream in(work / "path");
    std::getline(in, device);
  }
  const pid_t dialog = Spawn({(build / "larkspan").string(), "--port", device, "--root", work.string()}, -1,
                             {"QT_QPA_PLATFORM=offscreen"});
  std::this_thread::sleep_for(std::chrono::seconds(4));
  kill(dialog, SIGTERM);
  int status = 0;
  rusage usage{};
  wait4(dialog, &status, 0, &usage);
  kill(sim, SIGTERM);
  waitpid(sim, nullptr, 0);
  fs::remove_all(work);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// One paced upgrade, then `receivers` paced ones side by side in one larkspan-cli.
int SideBySide(const fs::path& build, int receivers) {
  const Run one = Upgrade(build, {"--pace"}, "one");
  const Run many = Upgrade(build, {"--pace"}, "many", {}, false, receivers);
  const double n = receivers;
  std::printf("Paced upgrades of receiver-sim: one, then %d side by side in one larkspan-cli\n\n", receivers);
  PrintCommon("one receiver", one);
  PrintCommon("side by side", many);
  std::printf("  wall time %.2f times that of one (target at most 1.10)\n", many.wall / one.wall);
  std::printf("  CPU a receiver: %.3f %% of one core (target under 5 %%)\n", 100 * many.cpu / many.wall / n);
  std::printf("  peak memory %.1f MB against %.1f MB allowed (8 MB + 1 MB a receiver)\n", many.max_rss_mb, 8 + n);
  return one.exit_status | many.exit_status;
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path build = fs::canonical("/proc/self/exe").parent_path().parent_path();
  bool instant_only = false;
  CLI::App command_line("Benchmarks of a whole upgrade of receiver-sim: wall and CPU time, memory, system calls a "
                        "record, the wire trace's cost.",
                        "upgrade-bench");
  command_line.set_version_flag("--version", "upgrade-bench " LARKSPAN_VERSION);
  command_line.add_flag("--instant-only", instant_only, "skip the paced run (two and a half minutes)");
  int receivers = 0;
  command_line.add_option("--receivers", receivers,
                          "only this: one paced upgrade, then N paced receivers side by side (five minutes)")
      ->check(CLI::Range(2, 64));
  if (const auto ended = larkspan::ParseCommandLine(command_line, argc, argv)) return *ended;
  if (receivers > 0) return SideBySide(build, receivers);

  std::optional<Run> paced;
  std::thread paced_run;
  if (!instant_only) paced_run = std::thread([&] { paced = Upgrade(build, {"--pace"}, "paced"); });
  const Run instant = Upgrade(build, {}, "instant");
  const Run traced = Upgrade(build, {}, "trace", {}, true);
  // Then once more under strace, whose own cost must not count in the figures above.
  std::optional<StreamCalls> calls;
  int traced_exit = -1;
  const fs::path strace_log = fs::temp_directory_path() / ("larkspan-bench-syscalls-" + std::to_string(getpid()) + ".log");
  if (access(kStrace, X_OK) == 0) traced_exit = Upgrade(build, {}, "strace", strace_log).exit_status;
  if (traced_exit == 0) calls = CountStreamCalls(strace_log);
  fs::remove(strace_log);

  std::printf("Whole upgrade of receiver-sim with the generated payloads (19,141 records, 918,698 bytes)\n\n");
  PrintCommon("instant loader", instant);
  const double stream = Seen(instant, "100%") - Seen(instant, "Transmitting target S-records file..");
  std::printf("  S-record stream: %.2f s for 19,141 records: %.1f us a record on the host and the pty\n", stream,
              1e6 * stream / kRecords);
  std::printf("  CPU a record over the whole upgrade: %.1f us (target at most 25)\n", 1e6 * instant.cpu / kRecords);
  std::printf("  with --trace: exit %d, CPU %.2f s, %.2f times that without (target at most 1.5), trace %.1f MB\n",
              traced.exit_status, traced.cpu, traced.cpu / instant.cpu, traced.trace_mb);
  if (calls) {
    std::printf("  system calls a record over the stream (strace): %.2f, of them I/O: %.2f (target at most 4)\n",
                static_cast<double>(calls->all) / kRecords, static_cast<double>(calls->io) / kRecords);
  } else {
    std::printf("  system calls not counted: the run under %s ended with %d\n", kStrace, traced_exit);
  }
  std::printf("larkspan (the dialog, after its start-up read and warning): peak memory %.1f MB\n",
              DialogPeakMemoryMb(build));
  if (paced_run.joinable()) paced_run.join();
  if (!paced) return instant.exit_status;

  // Time the bytes need on the line, 10 bits a byte: the loader and the records with their
  // answers at 115200, the frames at 38400, the sentences at 4800.
  const double line_115200 = (6 + kLoaderBytes + 4 + kFirmwareBytes + (kRecords - 1) * 4 + 32) * 10 / 115200;
  const double line_other = (9 + 10) * 10 / 38400.0 + 32 * 10 / 57600.0 + (2 * 27 + 21 + 61) * 10 / 4800.0;
  // wait_seconds(n) lasts n to n + 1 s: 2, 4, 1, 5, 5 before the upload, 8 after the loader,
  // 2, 2, 2 in each of two revert attempts, 2 and 1 before the version read-back (14 waits);
  // the reset holds the port 0.1 + 5 s, then 0.1 and 0.2 s pauses.
  const double waits_min = 17 + 8 + 12 + 3 + 5.4;
  const double waits_max = waits_min + 14;
  const double floor = line_115200 + line_other + waits_min;
  PrintCommon("paced line", *paced);
  std::printf("  line time %.1f s + mandated waits %.1f..%.1f s = %.1f..%.1f s\n", line_115200 + line_other,
              waits_min, waits_max, floor, floor + 14);
  std::printf("  wall time beyond line time and the shortest waits: %.1f s (%.1f %%); the waits' own\n"
              "  whole-second rounding allows up to 14 s of it\n",
              paced->wall - floor, 100 * (paced->wall - floor) / floor);
  const double paced_stream = Seen(*paced, "100%") - Seen(*paced, "Transmitting target S-records file..");
  const double stream_line = (kFirmwareBytes + (kRecords - 1) * 4) * 10 / 115200;
  std::printf("  S-record stream: %.2f s against %.2f s of line time (%.2f %% over)\n", paced_stream, stream_line,
              100 * (paced_stream - stream_line) / stream_line);
  return instant.exit_status | paced->exit_status;
}
