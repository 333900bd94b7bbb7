#include "frontend/cli/progress_meter.h"

#include <cmath>
#include <cstdio>

namespace larkspan {

const char* ProgressReading::StageName() const { return larkspan::StageName(stage); }
const char* ProgressReading::Unit() const { return stage == WorkerStage::kLoader ? "bytes" : "records"; }

std::string ProgressReading::Text() const {
  std::string text = std::string(StageName()) + " " + std::to_string(percent) + "%";
  if (rate) text += " " + std::to_string(std::lround(*rate)) + " " + Unit() + "/s";
  if (eta_s) {
    const long seconds = std::lround(*eta_s);
    char left[32];
    std::snprintf(left, sizeof left, " %ld:%02ld left", seconds / 60, seconds % 60);
    text += left;
  }
  return text;
}

std::optional<ProgressReading> ProgressMeter::Read(int percent) {
  const WorkerStage stage = telemetry_.stage.load();
  if (stage != WorkerStage::kLoader && stage != WorkerStage::kFirmware) return std::nullopt;
  const auto now = std::chrono::steady_clock::now();
  if (stage != stage_) {
    stage_ = stage;
    stage_start_ = now;
  }
  ProgressReading reading;
  reading.stage = stage;
  reading.percent = percent;
  reading.done = telemetry_.stage_done.load();
  if (stage == WorkerStage::kLoader && state_.loader_file.Size() >= 0) {
    reading.total = static_cast<uint64_t>(state_.loader_file.Size());
  } else if (stage == WorkerStage::kFirmware && firmware_records_ > 0) {
    reading.total = firmware_records_;
  }
  // Without the payload check the records are counted as they go: their total is known at the end.
  if (!reading.total && percent >= 100) reading.total = reading.done;
  const double elapsed = std::chrono::duration<double>(now - stage_start_).count();
  if (elapsed > 0 && reading.done > 0) {
    reading.rate = static_cast<double>(reading.done) / elapsed;
    // The percentage follows the file's bytes in both stages: the time left at the rate of
    // the percentage so far.
    if (percent > 0) reading.eta_s = elapsed * (100 - percent) / percent;
  }
  return reading;
}

}  // namespace larkspan
