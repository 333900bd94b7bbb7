#include "bench/proc_counts.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <mutex>

namespace larkspan::soak {
namespace {

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

}  // namespace

int CountFds() { return CountEntries("/proc/self/fd"); }
int CountThreads() { return CountEntries("/proc/self/task"); }

std::vector<std::string> FdsInto(const std::string& device, const std::filesystem::path& folder) {
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

void PeakMonitor::Loop() {
  while (!stop_) {
    max_fds_ = std::max(max_fds_.load(), CountFds());
    max_threads_ = std::max(max_threads_.load(), CountThreads());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

}  // namespace larkspan::soak
