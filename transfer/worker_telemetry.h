// What the upgrade worker tells about its run as it goes: the stage it is in, the first stage
// that failed, the units sent in this stage, when each stage began, and how the run ended
// (the loader fell silent, the receiver was heard in NMEA again, the installed-version record
// could not be written, the version read back). The session owns one a run and hands it to
// the worker; the front-ends' progress lines, the history and the outcome read it. Written
// by the worker's thread only; read by anyone.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>

#include "platform/text.h"

namespace larkspan {

// The worker's stages.
// kFlashMode: from the switch to SiRF binary and the flash-update command to the loader upload.
enum class WorkerStage : uint8_t { kNone, kStart, kFlashMode, kLoader, kFirmware, kRevert };
inline constexpr size_t kWorkerStages = 6;

// "start", "flash-mode", "loader", "firmware", "revert"; null for kNone.
const char* StageName(WorkerStage stage);

// Steady-clock microseconds: the time stamps below.
int64_t SteadyMicroseconds();

// Every member starts cleared (atomics value-initialise); Begin clears them again for a run.
struct WorkerTelemetry {
  std::atomic<WorkerStage> stage{WorkerStage::kNone};
  std::atomic<WorkerStage> failed_stage{WorkerStage::kNone};  // kNone while none has failed
  std::atomic<uint64_t> stage_done{0};  // loader bytes or firmware records sent in this stage
  std::atomic<int64_t> failed_at_us{0};  // when the first stage failed; 0 while none has
  std::atomic<uint64_t> done_when_failed{0};  // its stage_done then
  std::array<std::atomic<int64_t>, kWorkerStages> stage_entered_us{};  // 0: not entered this run
  // The flash-update command went out: from here until the stream's end the receiver has no
  // working firmware.
  std::atomic<bool> flash_update_sent;
  // The loader fell silent in the stream: nothing more was sent, the channels are closed.
  std::atomic<bool> loader_silent;
  std::atomic<bool> heard_in_nmea;     // a revert attempt heard the receiver in NMEA
  std::atomic<bool> record_unwritten;  // the installed-version value could not be set
  // The version read back after the flash; none when none was. Written before the worker
  // clears the running flag, read on its thread once it returned.
  std::optional<WideText> version_read_back;

  // Forgets an earlier run and enters kStart.
  void Begin();
  void EnterStage(WorkerStage next);
  // Notes the stage as failed, unless an earlier one did: a run fails where it failed first.
  void FailStage(WorkerStage failed);
  // Whether the worker is past its start, where a stop leaves the receiver without working
  // firmware until the run ends (the caller also looks at the running flag).
  bool PastStart() const;
};

}  // namespace larkspan
