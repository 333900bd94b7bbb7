#include "transfer/worker_telemetry.h"

namespace larkspan {

namespace {
constexpr const char* kStageNames[] = {nullptr, "start", "flash-mode", "loader", "firmware", "revert"};
}  // namespace

const char* StageName(WorkerStage stage) { return kStageNames[static_cast<size_t>(stage)]; }

int64_t SteadyMicroseconds() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void WorkerTelemetry::Begin() {
  failed_stage.store(WorkerStage::kNone);
  failed_at_us.store(0);
  flash_update_sent.store(false);
  loader_silent.store(false);
  heard_in_nmea.store(false);
  record_unwritten.store(false);
  version_read_back.reset();
  for (auto& entered : stage_entered_us) entered.store(0);
  EnterStage(WorkerStage::kStart);
}

void WorkerTelemetry::EnterStage(WorkerStage next) {
  stage_done.store(0);
  stage_entered_us[static_cast<size_t>(next)].store(SteadyMicroseconds());
  stage.store(next);
}

void WorkerTelemetry::FailStage(WorkerStage failed) {
  WorkerStage none = WorkerStage::kNone;
  if (failed_stage.compare_exchange_strong(none, failed)) {
    done_when_failed.store(stage_done.load());
    failed_at_us.store(SteadyMicroseconds());
  }
}

bool WorkerTelemetry::PastStart() const {
  const WorkerStage now = stage.load();
  return now != WorkerStage::kNone && now != WorkerStage::kStart;
}

}  // namespace larkspan
