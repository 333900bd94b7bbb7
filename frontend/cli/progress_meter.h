// How far the worker's current stage has come, as larkspan-cli shows it: percent, units done
// and in all (loader bytes, firmware records), the rate measured since the stage began and the
// time left at that rate. No promise before there is a rate. Any thread; one reader at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "receiver/program_state.h"
#include "transfer/worker_telemetry.h"

namespace larkspan {

struct ProgressReading {
  WorkerStage stage = WorkerStage::kNone;
  int percent = 0;
  uint64_t done = 0;
  std::optional<uint64_t> total;  // not known for firmware records without the payload check
  std::optional<double> rate;     // units a second
  std::optional<double> eta_s;

  // "loader" or "firmware"; the unit, "bytes" or "records".
  const char* StageName() const;
  const char* Unit() const;
  // " firmware 45% 212 records/s 1:23 left", or just the stage and percent before a rate.
  std::string Text() const;
};

class ProgressMeter {
 public:
  // Reads the worker's `telemetry` and the loader file's size in `state`.
  // `firmware_records`: the firmware file's records, 0 when not known.
  ProgressMeter(const ProgramState& state, const WorkerTelemetry& telemetry, uint64_t firmware_records)
      : state_(state), telemetry_(telemetry), firmware_records_(firmware_records) {}
  // A reading at the progress bar's `percent`, or nothing outside the two upload stages.
  std::optional<ProgressReading> Read(int percent);
  const WorkerTelemetry& telemetry() const { return telemetry_; }

 private:
  const ProgramState& state_;
  const WorkerTelemetry& telemetry_;
  uint64_t firmware_records_;
  WorkerStage stage_ = WorkerStage::kNone;
  std::chrono::steady_clock::time_point stage_start_;
};

}  // namespace larkspan
