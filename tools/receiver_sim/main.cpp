// receiver-sim: a simulated SiRF GPS receiver on a pseudo-terminal, for the tests, the
// benchmarks and the demo. One thread: a poll loop that wakes on the host's bytes, on the
// receiver's one-second schedule and, with --pace, when the line has carried the next
// bytes. Command line: see ParseOptions in sim_options.cpp, or receiver-sim --help.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <variant>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "tools/receiver_sim/flash_loader.h"
#include "tools/receiver_sim/line_model.h"
#include "tools/receiver_sim/paced_line.h"
#include "tools/receiver_sim/pty.h"
#include "tools/receiver_sim/receiver_model.h"
#include "tools/receiver_sim/replay.h"
#include "tools/receiver_sim/sim_log.h"
#include "tools/receiver_sim/sim_options.h"
#include "tools/receiver_sim/srecord.h"

namespace larkspan::sim {
namespace {

volatile std::sig_atomic_t g_stop_signal = 0;
volatile std::sig_atomic_t g_power_cycles = 0;

void OnStopSignal(int signal) { g_stop_signal = signal; }
void OnPowerCycle(int) { g_power_cycles = g_power_cycles + 1; }

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

// Writes "PATH\n" so that a reader sees either no file or the whole line: a temporary file
// in the same directory, renamed over the target.
bool WritePathFile(const std::string& file, const std::string& path, std::string* error) {
  const std::string temp = file + ".tmp." + std::to_string(::getpid());
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = Errno(temp);
    return false;
  }
  const std::string line = path + "\n";
  const bool written = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  const bool closed = ::close(fd) == 0;
  if (!written || !closed || ::rename(temp.c_str(), file.c_str()) != 0) {
    *error = Errno(file);
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

// Points `link` at `target`, replacing an earlier symlink (never a regular file) atomically.
bool MakeLink(const std::string& link, const std::string& target, std::string* error) {
  struct stat st {};
  if (::lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
    *error = link + ": exists and is not a symbolic link";
    return false;
  }
  const std::string temp = link + ".tmp." + std::to_string(::getpid());
  ::unlink(temp.c_str());
  if (::symlink(target.c_str(), temp.c_str()) != 0) {
    *error = Errno(temp);
    return false;
  }
  if (::rename(temp.c_str(), link.c_str()) != 0) {
    *error = Errno(link);
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

// Removes our symlink at exit, unless someone has pointed it elsewhere meanwhile.
void RemoveLink(const std::string& link, const std::string& target) {
  char buf[4096];
  const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf);
  if (n > 0 && std::string(buf, static_cast<size_t>(n)) == target) ::unlink(link.c_str());
}

class Simulator {
 public:
  using Clock = std::chrono::steady_clock;

  Simulator(const SimOptions& options, Pty& pty, SimLog& log)
      : options_(options), pty_(pty), log_(log), model_(options.receiver, log),
        line_(options.seed) {}

  ReceiverModel& model() { return model_; }

  // Runs until a stop signal or the end of the lifetime. Returns the exit status.
  int Run() {
    const Clock::time_point start = Clock::now();
    const Clock::time_point end =
        options_.lifetime > 0
            ? start + std::chrono::duration_cast<Clock::duration>(
                          std::chrono::duration<double>(options_.lifetime))
            : Clock::time_point::max();
    Clock::time_point next_tick = start;

    sigset_t during_poll;
    ::sigemptyset(&during_poll);
    std::sig_atomic_t power_cycles = 0;
    while (g_stop_signal == 0) {
      if (power_cycles != g_power_cycles) {
        power_cycles = g_power_cycles;
        model_.PowerCycle();
        continue;
      }
      const Clock::time_point now = Clock::now();
      if (now >= end) {
        log_.Write("stop lifetime");
        return 0;
      }
      if (now >= next_tick) {
        model_.Tick(std::time(nullptr));
        Transmit();
        next_tick += std::chrono::seconds(1);
        if (next_tick <= now) next_tick = now + std::chrono::seconds(1);  // after a stall
        continue;
      }
      if (options_.pace && (ReleaseReceived(now) || ReleaseSent(now))) continue;
      Clock::time_point wake = std::min(next_tick, end);
      for (const auto& due : {rx_line_.NextDue(), tx_line_.NextDue()}) {
        if (due) wake = std::min(wake, *due);
      }
      const auto wait = std::max(std::chrono::nanoseconds(0),
                                 std::chrono::duration_cast<std::chrono::nanoseconds>(wake - now));
      const timespec timeout{static_cast<time_t>(wait.count() / 1000000000),
                             static_cast<long>(wait.count() % 1000000000)};
      pollfd fd{pty_.master_fd(), POLLIN, 0};
      // Stop signals are blocked except inside ppoll, so one arriving between the flag test
      // and the wait still ends the wait at once.
      const int ready = ::ppoll(&fd, 1, &timeout, &during_poll);
      if (ready < 0) {
        if (errno == EINTR) continue;
        std::fprintf(stderr, "receiver-sim: %s\n", Errno("ppoll").c_str());
        return 1;
      }
      if (ready > 0 && (fd.revents & POLLIN) != 0) {
        if (!ReceiveAll()) return 1;
      } else if (ready > 0) {
        // POLLHUP/POLLERR cannot come while we hold the slave; if they do, do not spin.
        ::usleep(10000);
      }
    }
    log_.Write(g_stop_signal == SIGINT ? "stop signal=INT" : "stop signal=TERM");
    return 0;
  }

 private:
  // Reads everything the pty holds. Unpaced, the receiver takes it at once; paced, it waits
  // on the line until it could have arrived.
  bool ReceiveAll() {
    uint8_t buf[4096];
    for (;;) {
      const ssize_t n = pty_.Read(buf);
      if (n < 0) {
        std::fprintf(stderr, "receiver-sim: %s\n", Errno("read").c_str());
        return false;
      }
      if (n == 0) return true;
      const std::span<const uint8_t> bytes(buf, static_cast<size_t>(n));
      // The host may change its speed between two reads, so each read is judged at the speed
      // the host has set now.
      const int host = pty_.HostSpeed();
      if (options_.pace) {
        // At an unknown host speed the bytes are garbage anyway; they take the receiver's time.
        rx_line_.Push(bytes, host, host > 0 ? host : model_.speed(), Clock::now());
      } else {
        model_.Receive(bytes, host);
        Transmit();
      }
    }
  }

  // Paced: hands the receiver what has arrived by `now`. True when anything was released.
  bool ReleaseReceived(Clock::time_point now) {
    const std::vector<PacedLine::Segment> due = rx_line_.Take(now);
    for (const PacedLine::Segment& s : due) {
      model_.Receive(s.bytes, s.speed);
      Transmit();
    }
    return !due.empty();
  }

  // Paced: puts on the pty what the line has carried by `now`. True when anything went.
  bool ReleaseSent(Clock::time_point now) {
    const std::vector<PacedLine::Segment> due = tx_line_.Take(now);
    for (const PacedLine::Segment& s : due) Put(s.bytes, s.speed, s.first, s.chunk_size);
    return !due.empty();
  }

  void Transmit() {
    for (const Transmission& t : model_.TakeOutput()) {
      if (options_.pace) {
        tx_line_.Push(t.bytes, t.speed, t.speed, Clock::now());
      } else {
        Put(t.bytes, t.speed, true, t.bytes.size());
      }
    }
  }

  // Writes bytes sent at `speed` as the host hears them now. A transmission is logged once,
  // with its whole size, when its first bytes go out.
  void Put(std::span<const uint8_t> sent, int speed, bool first, size_t whole) {
    const int host = pty_.HostSpeed();
    const std::vector<uint8_t> bytes = line_.Transmit(sent, host, speed);
    if (first && !LineModel::Agree(host, speed)) {
      log_.Write(Format("tx-garbled host=%d sim=%d bytes=%zu", host, speed, whole));
    } else if (first && options_.log_tx) {
      log_.Write(Format("tx speed=%d bytes=%zu", speed, whole));
    }
    const size_t written = pty_.Write(bytes);
    if (written < bytes.size()) {
      log_.Write(Format("tx-dropped bytes=%zu", bytes.size() - written));
    }
  }

  const SimOptions& options_;
  Pty& pty_;
  SimLog& log_;
  ReceiverModel model_;
  LineModel line_;
  // Used with --pace only: host to receiver in whole reads, receiver to host byte by byte.
  PacedLine rx_line_{PacedLine::Release::kWholeChunks};
  PacedLine tx_line_{PacedLine::Release::kBytes};
};

int Main(int argc, char** argv) {
  SimOptions options;
  if (const auto ended = ParseOptions(argc, argv, options)) return *ended;
  std::string error;

  // Block the stop signals now; the poll loop lets them in only while it waits.
  sigset_t stop;
  ::sigemptyset(&stop);
  ::sigaddset(&stop, SIGTERM);
  ::sigaddset(&stop, SIGINT);
  ::sigaddset(&stop, SIGUSR1);
  ::sigprocmask(SIG_BLOCK, &stop, nullptr);
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  ::sigemptyset(&action.sa_mask);
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGINT, &action, nullptr);
  action.sa_handler = OnPowerCycle;  // SIGUSR1: the receiver's power goes off and on
  ::sigaction(SIGUSR1, &action, nullptr);
  ::signal(SIGPIPE, SIG_IGN);  // a closed stdout must not kill the receiver

  std::optional<FlashImage> expected;
  if (!options.firmware.empty()) {
    expected.emplace();
    if (!LoadSRecordFile(options.firmware, *expected, &error)) {
      std::fprintf(stderr, "receiver-sim: --firmware: %s\n", error.c_str());
      return 2;
    }
  }

  std::vector<TraceStep> replay;
  if (!options.replay.empty()) {
    std::error_code unreadable;
    if (std::filesystem::exists(options.replay, unreadable) &&
        !std::filesystem::is_regular_file(options.replay, unreadable)) {
      std::fprintf(stderr, "receiver-sim: --replay %s: not a regular file\n", options.replay.c_str());
      return 2;
    }
    std::ifstream in(options.replay, std::ios::binary);
    const auto read = ReadTrace(std::string(std::istreambuf_iterator<char>(in), {}));
    if (!in || std::holds_alternative<std::string>(read)) {
      std::fprintf(stderr, "receiver-sim: --replay %s: %s\n", options.replay.c_str(),
                   in ? std::get<std::string>(read).c_str() : std::strerror(errno));
      return 2;
    }
    replay = std::get<std::vector<TraceStep>>(read);
  }

  SimLog log;
  if (!options.log.empty() && !log.OpenFile(options.log, &error)) {
    std::fprintf(stderr, "receiver-sim: %s\n", error.c_str());
    return 1;
  }
  const std::unique_ptr<Pty> pty = Pty::Open(options.receiver.start_speed, &error);
  if (!pty) {
    std::fprintf(stderr, "receiver-sim: cannot create a pseudo-terminal: %s\n", error.c_str());
    return 1;
  }
  if (!options.link.empty() && !MakeLink(options.link, pty->slave_path(), &error)) {
    std::fprintf(stderr, "receiver-sim: %s\n", error.c_str());
    return 1;
  }
  Simulator simulator(options, *pty, log);
  simulator.model().SetFlashUpdateHook(
      std::make_unique<FlashLoader>(options.loader, std::move(expected)));
  log.Write(Format("start mode=%s speed=%d path=%s",
                 std::string(ModeName(options.receiver.start_mode)).c_str(),
                 options.receiver.start_speed, pty->slave_path().c_str()));

  // Announce the path last: whoever waits for it may open the port at once.
  if (!options.path_file.empty()) {
    if (!WritePathFile(options.path_file, pty->slave_path(), &error)) {
      std::fprintf(stderr, "receiver-sim: %s\n", error.c_str());
      if (!options.link.empty()) RemoveLink(options.link, pty->slave_path());
      return 1;
    }
  } else {
    std::printf("%s\n", pty->slave_path().c_str());
    std::fflush(stdout);
  }

  const int status = options.replay.empty() ? simulator.Run()
                                             : Replay(*pty, replay, log, [] { return g_stop_signal != 0; });
  if (!options.link.empty()) RemoveLink(options.link, pty->slave_path());
  return status;
}

}  // namespace
}  // namespace larkspan::sim

int main(int argc, char** argv) {
  // Paced bytes are due at exact times: wake within microseconds of them, not within the
  // kernel's default 50 us timer slack, which would add up over 19,141 records.
  ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  return larkspan::sim::Main(argc, argv);
}
