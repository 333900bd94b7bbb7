#include "tools/receiver_sim/replay.h"

#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>

namespace larkspan::sim {

namespace {

using Clock = std::chrono::steady_clock;

class Player {
 public:
  Player(Pty& pty, const std::vector<TraceStep>& steps, SimLog& log) : pty_(pty), steps_(steps), log_(log) {}

  // Sends every step due by `now`; returns when the next one is due, or nothing.
  std::optional<Clock::time_point> SendDue(Clock::time_point now) {
    while (!silent_ && next_ < steps_.size() && steps_[next_].kind == TraceStep::Kind::kReceiverSends) {
      const Clock::time_point due = Due(steps_[next_]);
      if (due > now) return due;
      Send(steps_[next_++]);
    }
    if (!silent_ && next_ == steps_.size() && !ended_) {
      ended_ = true;
      log_.Write("replay-end");
    }
    return std::nullopt;
  }

  // Matches what the host wrote against the trace, byte by byte.
  void Heard(std::span<const uint8_t> bytes, Clock::time_point now) {
    for (const uint8_t byte : bytes) {
      if (silent_ || next_ == steps_.size()) return;
      // The host writes before it has read all the trace had it read first: what it would
      // have read goes out now, ahead of its write.
      while (steps_[next_].kind == TraceStep::Kind::kReceiverSends) {
        Send(steps_[next_++]);
        if (next_ == steps_.size()) return;
      }
      const TraceStep& write = steps_[next_];
      if (byte != write.bytes[matched_]) {
        log_.Write(Format("replay-departs line=%zu byte=%zu expected=%02x heard=%02x", write.line, matched_,
                          write.bytes[matched_], byte));
        silent_ = true;
        return;
      }
      if (++matched_ == write.bytes.size()) {
        anchor_trace_us_ = write.at_us;
        anchor_ = now;
        matched_ = 0;
        ++next_;
      }
    }
  }

 private:
  Clock::time_point Due(const TraceStep& step) const {
    return anchor_ + std::chrono::microseconds(step.at_us - std::min(step.at_us, anchor_trace_us_));
  }
  void Send(const TraceStep& step) {
    if (pty_.Write(step.bytes) < step.bytes.size()) log_.Write(Format("tx-dropped line=%zu", step.line));
  }

  Pty& pty_;
  const std::vector<TraceStep>& steps_;
  SimLog& log_;
  size_t next_ = 0;     // the next step
  size_t matched_ = 0;  // bytes of the next step, a host write, heard so far
  bool silent_ = false, ended_ = false;
  uint64_t anchor_trace_us_ = 0;        // the host's last write in the trace...
  Clock::time_point anchor_ = Clock::now();  // ...and when it was heard here
};

}  // namespace

int Replay(Pty& pty, const std::vector<TraceStep>& steps, SimLog& log, const std::function<bool()>& stop) {
  Player player(pty, steps, log);
  log.Write(Format("replay-start steps=%zu", steps.size()));
  sigset_t during_poll;
  ::sigemptyset(&during_poll);
  while (!stop()) {
    const Clock::time_point now = Clock::now();
    const auto next = player.SendDue(now);
    const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::clamp<Clock::duration>(next ? *next - now : std::chrono::seconds(1), Clock::duration::zero(),
                                    std::chrono::seconds(1)));
    const timespec timeout{static_cast<time_t>(wait.count() / 1'000'000'000),
                           static_cast<long>(wait.count() % 1'000'000'000)};
    pollfd fd{pty.master_fd(), POLLIN, 0};
    const int ready = ::ppoll(&fd, 1, &timeout, &during_poll);
    if (ready < 0 && errno != EINTR) {
      std::fprintf(stderr, "receiver-sim: ppoll: %s\n", std::strerror(errno));
      return 1;
    }
    if (ready <= 0) continue;
    uint8_t buffer[4096];
    for (ssize_t n; (n = pty.Read(buffer)) > 0;) player.Heard({buffer, static_cast<size_t>(n)}, Clock::now());
  }
  return 0;
}

}  // namespace larkspan::sim
