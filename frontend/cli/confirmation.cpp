#include "frontend/cli/confirmation.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

#include "frontend/session/upgrade_session.h"
#include "transfer/installed_version.h"
#include "transfer/payload_files.h"

namespace larkspan {

namespace {
constexpr int kPollMs = 250;  // how soon a stop ends the wait for an answer
}  // namespace

std::string FlashSummary(const std::vector<FlashTarget>& targets, const std::filesystem::path& root,
                         uint64_t firmware_records) {
  std::string text = targets.size() == 1 ? "About to flash the receiver on " + targets.front().port + ":\n"
                                         : "About to flash " + std::to_string(targets.size()) + " receivers:\n";
  for (const FlashTarget& target : targets) {
    text += "  " + (targets.size() == 1 ? std::string("its") : target.port) + " firmware now: " +
            target.version.value_or("not read") + ", after the upgrade: " + TrimVersion(kNewVersionText) + "\n";
  }
  std::error_code error;
  const auto size = std::filesystem::file_size(root / kLoaderFileName, error);
  text += "  flash loader image: " + (root / kLoaderFileName).string() +
          (error ? std::string() : " (" + std::to_string(size) + " bytes)") + "\n";
  text += "  firmware S-record file: " + (root / kFirmwareFileName).string() +
          (firmware_records > 0 ? " (" + std::to_string(firmware_records) + " records)" : std::string()) + "\n";
  return text + "Each receiver must keep its power and its cable until its upgrade ends.\n";
}

bool AskToFlash(std::FILE* out, const std::string& summary, const std::atomic<int>& stop_signal, int in_fd) {
  std::fprintf(out, "%sFlash now? [y/N] ", summary.c_str());
  std::fflush(out);
  std::string answer;
  bool line_ended = false;
  while (stop_signal.load() == 0 && !line_ended) {
    pollfd ready{in_fd, POLLIN, 0};
    if (::poll(&ready, 1, kPollMs) <= 0) continue;
    char c = 0;
    if (::read(in_fd, &c, 1) != 1) break;
    line_ended = c == '\n';
    answer += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  if (!line_ended) std::fputs("\n", out);  // the terminal echoed no line end
  answer = TrimVersion(answer);  // without the spaces and the line end around it
  return stop_signal.load() == 0 && (answer == "y" || answer == "yes");
}

}  // namespace larkspan
