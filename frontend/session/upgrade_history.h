// The upgrade history: one JSON line for every upgrade, appended to HistoryFile() whatever
// the run's end short of SIGKILL or power loss: when it started and ended, the port and its
// /dev/serial/by-id name, the versions before and after, the result and the stage that failed,
// how long each stage took and the payload files' SHA-256. Each line goes out in one append,
// so a run that is killed never leaves half a line. larkspan-cli and the dialog keep it.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

#include "transfer/worker_telemetry.h"

namespace larkspan {

class UpgradeRecorder {
 public:
  // Notes the start: the time, the port and the run it belongs to.
  UpgradeRecorder(const std::string& port, const std::string& run_id);
  // Notes the digests of the payload files in `root`: call only once they are known to be
  // regular files.
  void Digest(const std::filesystem::path& root);

  // The history line of a run that ended with `exit_status` (0: success) and `result` ("ok",
  // "failed", ...) after failing at `failed_stage` (null when it did not fail), as the
  // worker's `telemetry` shows its stages, with the first box it showed (`reason`). A version
  // or reason not known is null.
  nlohmann::ordered_json Line(const WorkerTelemetry& telemetry, int exit_status, const char* result, const char* failed_stage,
                              const std::optional<std::string>& version_before,
                              const std::optional<std::string>& version_after,
                              const std::optional<std::string>& reason = std::nullopt) const;

 private:
  std::chrono::system_clock::time_point started_;
  std::string port_, by_id_, run_id_;
  std::optional<std::string> loader_sha256_, firmware_sha256_;
};

// A JSON value as one line with its line feed. Text that is not valid UTF-8 (a port's path, a
// receiver's bytes) comes out as U+FFFD, never as an exception.
std::string JsonLine(const nlohmann::ordered_json& value);

// Appends one line to `file` (a regular file), creating it and its folder as needed, in one
// write. A line is whole or absent: a write cut short is taken back, and a line left torn
// by an earlier run (a power loss) is ended first, so that the two never run together. On
// failure returns false and says why in `error`.
bool AppendHistory(const std::filesystem::path& file, const nlohmann::ordered_json& line, std::string* error);

// The history as a table for people: one row a run, oldest first, its start in local time (in
// UTC with `utc`), its run id and the first box of a failed run; a line that is not JSON is
// shown as such, never dropped, and a member an older line lacks as "-". Control bytes are
// shown escaped, never raw.
std::string HistoryTable(const std::string& jsonl, bool utc = false);

// The history's lines that are JSON objects, each re-written as one line (control bytes
// escaped); `bad` counts the others.
std::string HistoryJsonLines(const std::string& jsonl, size_t& bad);

}  // namespace larkspan
