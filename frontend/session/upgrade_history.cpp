#include "frontend/session/upgrade_history.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <sstream>
#include <vector>

#include "platform/file_digest.h"
#include "platform/serial_devices.h"
#include "platform/text.h"
#include "transfer/payload_files.h"

namespace larkspan {

namespace {

std::string Utc(std::chrono::system_clock::time_point at) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(at);
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

// A time the history wrote in UTC ("2026-12-08T08:17:48Z") in local time ("2026-12-08 09:17:48");
// anything else as it is.
std::string LocalTime(const std::string& utc) {
  std::tm parts{};
  const char* end = strptime(utc.c_str(), "%Y-%m-%dT%H:%M:%SZ", &parts);
  if (!end || *end != '\0') return utc;
  const std::time_t seconds = timegm(&parts);
  localtime_r(&seconds, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
  return text;
}

// A version as the receiver sends it, without its leading spaces; null when none was read.
nlohmann::ordered_json Version(const std::optional<std::string>& text) {
  if (!text || text->find_first_not_of(' ') == std::string::npos) return nullptr;
  return text->substr(text->find_first_not_of(' '));
}

nlohmann::ordered_json OrNull(const std::optional<std::string>& value) {
  return value ? nlohmann::ordered_json(*value) : nlohmann::ordered_json();
}

}  // namespace

UpgradeRecorder::UpgradeRecorder(const std::string& port, const std::string& run_id)
    : started_(std::chrono::system_clock::now()), port_(port), by_id_(ByIdNameOf(port)), run_id_(run_id) {}

void UpgradeRecorder::Digest(const std::filesystem::path& root) {
  loader_sha256_ = Sha256OfFile(root / kLoaderFileName);
  firmware_sha256_ = Sha256OfFile(root / kFirmwareFileName);
}

nlohmann::ordered_json UpgradeRecorder::Line(const WorkerTelemetry& telemetry, int exit_status, const char* result,
                                             const char* failed_stage,
                                             const std::optional<std::string>& version_before,
                                             const std::optional<std::string>& version_after,
                                             const std::optional<std::string>& reason) const {
  // Each stage lasted from its start to the next stage's, the last one to now.
  nlohmann::ordered_json stages = nlohmann::ordered_json::object();
  const int64_t now_us = SteadyMicroseconds();
  for (size_t i = 1; i < kWorkerStages; ++i) {
    const int64_t began = telemetry.stage_entered_us[i].load();
    if (began == 0) continue;
    int64_t ended = now_us;
    for (size_t j = i + 1; j < kWorkerStages; ++j) {
      if (const int64_t next = telemetry.stage_entered_us[j].load(); next != 0) {
        ended = next;
        break;
      }
    }
    stages[StageName(static_cast<WorkerStage>(i))] = static_cast<double>(ended - began) / 1e6;
  }
  return {{"started", Utc(started_)},
          {"ended", Utc(std::chrono::system_clock::now())},
          {"run", run_id_},
          {"port", port_},
          {"by_id", by_id_.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(by_id_)},
          {"version_before", Version(version_before)},
          {"version_after", Version(version_after)},
          {"result", result},
          {"exit_status", exit_status},
          {"failed_stage", failed_stage ? nlohmann::ordered_json(failed_stage) : nlohmann::ordered_json()},
          {"reason", OrNull(reason)},
          {"stage_seconds", stages},
          {"loader_sha256", OrNull(loader_sha256_)},
          {"firmware_sha256", OrNull(firmware_sha256_)}};
}

std::string JsonLine(const nlohmann::ordered_json& value) {
  return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

bool AppendHistory(const std::filesystem::path& file, const nlohmann::ordered_json& line, std::string* error) {
  std::error_code ignored;
  std::filesystem::create_directories(file.parent_path(), ignored);
  std::string text = JsonLine(line);
  const auto fail = [&](int number) {
    if (error) *error = file.string() + ": " + std::strerror(number);
    return false;
  };
  // O_APPEND puts the whole line at the end in one write; O_NONBLOCK keeps a FIFO in its
  // place from holding up the end of a run, and only a regular file is written.
  const int fd = ::open(file.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
  if (fd < 0) return fail(errno);
  struct stat info {};
  char last = '\n';
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return fail(S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
  }
  if (info.st_size > 0 && ::pread(fd, &last, 1, info.st_size - 1) == 1 && last != '\n') text.insert(0, "\n");
  const ssize_t written = ::write(fd, text.data(), text.size());
  const int saved = errno;
  if (written != static_cast<ssize_t>(text.size()) && ::ftruncate(fd, info.st_size) != 0) {}  // whole or absent
  const bool closed = ::close(fd) == 0;
  if (written != static_cast<ssize_t>(text.size())) return fail(written < 0 ? saved : ENOSPC);
  return closed || fail(errno);
}

std::string HistoryJsonLines(const std::string& jsonl, size_t& bad) {
  std::string out;
  std::istringstream lines(jsonl);
  for (std::string line; std::getline(lines, line);) {
    const auto run = nlohmann::ordered_json::parse(line, nullptr, false);
    if (run.is_object()) {
      out += JsonLine(run);
    } else if (!line.empty()) {
      ++bad;
    }
  }
  return out;
}

std::string HistoryTable(const std::string& jsonl, bool utc) {
  std::vector<std::vector<std::string>> rows{
      {"STARTED", "RUN", "PORT", "BEFORE", "AFTER", "RESULT", "STAGE", "SECONDS", "REASON"}};
  std::istringstream lines(jsonl);
  for (std::string line; std::getline(lines, line);) {
    const auto run = nlohmann::ordered_json::parse(line, nullptr, false);
    if (!run.is_object()) {
      if (!line.empty()) rows.push_back({"(not a history line: " + EscapeControlBytes(line.substr(0, 40)) + ")"});
      continue;
    }
    const auto text = [&](const char* key, const char* none = "-") {
      return run.contains(key) && run[key].is_string() ? EscapeControlBytes(run[key].get<std::string>()) : std::string(none);
    };
    double seconds = 0;
    if (run.contains("stage_seconds") && run["stage_seconds"].is_object()) {
      for (const auto& [stage, value] : run["stage_seconds"].items()) seconds += value.is_number() ? value.get<double>() : 0;
    }
    char total[32];
    std::snprintf(total, sizeof total, "%.0f", seconds);
    rows.push_back({utc ? text("started") : LocalTime(text("started")), text("run"), text("port"), text("version_before"),
                    text("version_after", "unknown"), text("result"), text("failed_stage"), total, text("reason")});
  }
  std::vector<size_t> widths(rows[0].size(), 0);
  for (const auto& row : rows) {
    if (row.size() == widths.size()) {
      for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
    }
  }
  std::string table;
  for (const auto& row : rows) {
    std::string out;
    for (size_t i = 0; i < row.size(); ++i) {
      out += row[i] + (i + 1 < row.size() ? std::string(widths[i] - row[i].size() + 2, ' ') : "");
    }
    table += out.substr(0, out.find_last_not_of(' ') + 1) + "\n";
  }
  return table;
}

}  // namespace larkspan
