#include "frontend/cli/signal_watch.h"

#include <cerrno>
#include <optional>

namespace larkspan {

SignalWatch::SignalWatch() {
  sigemptyset(&signals_);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaddset(&signals_, signal);
  pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
  thread_ = std::jthread([this](std::stop_token stopping) {
    std::optional<std::chrono::steady_clock::time_point> warned;
    const timespec tick{0, 200'000'000};  // looks at the stop request this often
    while (!stopping.stop_requested()) {
      const int signal = sigtimedwait(&signals_, nullptr, &tick);
      if (signal != SIGINT && signal != SIGTERM) continue;  // SIGHUP and SIGPIPE change nothing
      const auto now = std::chrono::steady_clock::now();
      if (!in_window() || (warned && now - *warned <= kSecondSignalWithin)) {
        stop(signal);
        continue;
      }
      warned = now;
      warn(signal);
    }
  });
}

void SignalWatch::Stop() {
  thread_.request_stop();
  if (thread_.joinable()) thread_.join();
}

SignalWatch::~SignalWatch() { Stop(); }

}  // namespace larkspan
