// The question larkspan-cli asks once on a terminal before anything is flashed: what is about to
// happen (the ports, the versions, the payload files), then "Flash ...? [y/N]". Main thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace larkspan {

// A receiver about to be flashed: its port and the version it reported (none when none was read).
struct FlashTarget {
  std::string port;
  std::optional<std::string> version;
};

// What is about to happen, as the question shows it.
std::string FlashSummary(const std::vector<FlashTarget>& targets, const std::filesystem::path& root,
                         uint64_t firmware_records);

// Shows `summary` and the question on `out`, then reads the answer line from `in_fd`: true for
// "y" or "yes" in any letter case. The end of the input or a stop (`stop_signal` set) is a no.
bool AskToFlash(std::FILE* out, const std::string& summary, const std::atomic<int>& stop_signal, int in_fd);

}  // namespace larkspan
