#include "frontend/cli/upgrade_steps.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <utility>

#include "transfer/payload_files.h"

namespace larkspan {

nlohmann::ordered_json ResultEvent(const Outcome& outcome, const std::optional<std::string>& old_version,
                                   const std::optional<std::string>& new_version, double seconds,
                                   const std::string& hint) {
  const auto text_or_null = [](const std::optional<std::string>& text) {
    return text ? nlohmann::ordered_json(TrimVersion(*text)) : nlohmann::ordered_json();
  };
  return {{"event", "result"},
          {"ok", outcome.status == exit_status::kOk},
          {"result", ResultWord(outcome)},
          {"exit_status", outcome.status},
          {"failed_stage", outcome.failed_stage ? nlohmann::ordered_json(outcome.failed_stage) : nlohmann::ordered_json()},
          {"old_version", text_or_null(old_version)},
          {"new_version", text_or_null(new_version)},
          {"seconds", seconds},
          {"hint", hint.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(hint)}};
}

std::string VersionLine(const char* label, const std::string& text) {
  return std::string(label) + (text.starts_with(' ') ? "" : " ") + text;
}

nlohmann::ordered_json VersionEvent(const char* which, const std::string& text) {
  return {{"event", "version"}, {"which", which}, {"text", TrimVersion(text)}};
}

bool PrintFindings(std::FILE* out, const std::string& prefix, const PayloadCheck& check, bool say_ok) {
  if (check.fault) {
    std::fprintf(out, "%serror: %s\n", prefix.c_str(), FormatFault(*check.fault).c_str());
  } else if (say_ok) {
    std::fprintf(out, "%sok\n", prefix.c_str());
  }
  for (const PayloadFault& warning : check.warnings) {
    std::fprintf(out, "%swarning: %s\n", prefix.c_str(), FormatFault(warning).c_str());
  }
  if (check.more_warnings > 0) std::fprintf(out, "%s%zu more warnings\n", prefix.c_str(), check.more_warnings);
  return !check.fault;
}

void TellSlowLine(const SlowLine& line, const std::filesystem::path& firmware, std::FILE* err) {
  const auto records = static_cast<long>(CountRecords(firmware));
  std::fprintf(err,
               "larkspan-cli: %s (%s) hands received bytes over only every %d ms (its latency timer), and this "
               "user may not lower it to 1 ms: the receiver's answer to each of the %ld firmware records waits up "
               "to that long, about %ld minutes more in all. To allow it, add this udev rule (for example as "
               "/etc/udev/rules.d/99-larkspan.rules) and plug the adapter in again:\n"
               "  ACTION==\"add\", SUBSYSTEM==\"usb-serial\", DRIVER==\"%s\", ATTR{latency_timer}=\"1\"\n",
               line.tty.c_str(), line.driver.c_str(), line.latency_ms, records,
               std::lround(static_cast<double>(records) * line.latency_ms / 60'000), line.driver.c_str());
  std::fflush(err);
}

uint64_t CountRecords(const std::filesystem::path& firmware) {
  std::ifstream in(firmware, std::ios::binary);
  return static_cast<uint64_t>(std::count(std::istreambuf_iterator<char>(in), {}, '\n'));
}

}  // namespace larkspan
