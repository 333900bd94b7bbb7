// Counting this process's descriptors and threads in /proc/self, for the soak's leak checks,
// and PeakMonitor, which samples both on a thread of its own for the summary's peaks.
// Owned by the soak; every function may be called from any thread (scans take turns).
#pragma once

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace larkspan::soak {

// Open descriptors of this process, not counting the scan's own.
int CountFds();
// Threads of this process.
int CountThreads();

// Descriptors of this process that point at `device` or into `folder`, as "fd -> target".
std::vector<std::string> FdsInto(const std::string& device, const std::filesystem::path& folder);

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
  void Loop();

  std::atomic<bool> stop_{false};
  std::atomic<int> max_fds_{0};
  std::atomic<int> max_threads_{0};
  std::thread thread_;
};

}  // namespace larkspan::soak
