// The program-wide state that the dialog thread and the upgrade worker share: the two serial
// channels, the two payload files, the three flags, the status text and the current-version
// text, with the seams they reach the world through. `main` makes one and hands it down by
// reference; tests make a fresh one per case. It sits with the receiver link, the lowest
// layer that needs all of it (the check-and-repair routine closes files and raises a flag).
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>

#include "platform/clock.h"
#include "platform/read_only_file.h"
#include "platform/registry.h"
#include "platform/serial_port.h"
#include "platform/text.h"
#include "platform/user_sink.h"
#include "receiver/probe_channel.h"
#include "receiver/update_channel.h"

namespace larkspan {

// The upgrade worker's stages, for what watches it: the terminal's progress line, the JSON
// events and the exit status of larkspan-cli.
// kFlashMode: from the switch to SiRF binary and the flash-update command to the loader upload.
enum class WorkerStage : uint8_t { kNone, kStart, kFlashMode, kLoader, kFirmware, kRevert };
inline constexpr size_t kWorkerStages = 6;

class ProgramState {
 public:
  ProgramState(SerialPorts& serial_ports, Clock& seconds_clock, UserSink& user_sink,
               Registry& version_registry)
      : ports(serial_ports), clock(seconds_clock), sink(user_sink), registry(version_registry),
        update_channel(ports, sink), probe_channel(ports, sink, clock) {}
  ProgramState(const ProgramState&) = delete;
  ProgramState& operator=(const ProgramState&) = delete;

  SerialPorts& ports;
  Clock& clock;
  UserSink& sink;
  Registry& registry;  // where the installed-version record goes

  UpdateChannel update_channel;
  ProbeChannel probe_channel;
  ReadOnlyFile loader_file;   // the flash loader image
  ReadOnlyFile srecord_file;  // the firmware S-record file

  std::atomic<int32_t> status_changed{0};   // 1: a new status text waits to be shown
  std::atomic<int32_t> upgrade_running{0};  // non-zero while the worker runs
  std::atomic<bool> finished{false};        // raised on the worker's early exits and after repair

  // The worker's stage, the first stage that failed (kNone while none has), and the units sent
  // in this stage: loader bytes, or firmware records. Written by the worker, read by anyone.
  std::atomic<WorkerStage> stage{WorkerStage::kNone};
  std::atomic<WorkerStage> failed_stage{WorkerStage::kNone};
  std::atomic<uint64_t> stage_done{0};
  // How the run's end went, for the session above the worker: the loader fell silent in the
  // stream (nothing more was sent), a revert attempt heard the receiver in NMEA, the
  // installed-version record could not be written, the version read back after the flash
  // (none when none was). Written by the worker before it clears
  // the running flag, read on its thread once it returned: the dialog thread may rewrite the
  // current-version text by then.
  std::atomic<bool> loader_silent{false};
  std::atomic<bool> heard_in_nmea{false};
  std::atomic<bool> record_unwritten{false};  // the installed-version value could not be set
  std::optional<WideText> version_read_back;
  // The signal the user stopped the run with; 0 while none has. Set by the front-end from any
  // thread; the worker, the version readers and the repair end at their next record, byte or
  // wait once it is set, closing the channels through their own code.
  std::atomic<int> stop_signal{0};
  bool Stopping() const { return stop_signal.load() != 0; }
  // wait_seconds on the program's clock, ended early by a stop.
  void WaitSeconds(uint32_t n) { wait_seconds(clock, n, &stop_signal); }
  // When the first stage failed, in steady-clock microseconds; 0 while none has.
  std::atomic<int64_t> failed_at_us{0};
  // When the worker entered each stage of this run, in steady-clock microseconds; 0: not yet.
  std::array<std::atomic<int64_t>, kWorkerStages> stage_entered_us{};
  void EnterStage(WorkerStage next) {
    stage_done.store(0);
    stage_entered_us[static_cast<size_t>(next)].store(SteadyMicroseconds());
    stage.store(next);
  }
  // Notes the stage as failed, unless an earlier one did: a run fails where it failed first.
  void FailStage(WorkerStage failed) {
    WorkerStage none = WorkerStage::kNone;
    if (failed_stage.compare_exchange_strong(none, failed)) failed_at_us.store(SteadyMicroseconds());
  }
  static int64_t SteadyMicroseconds() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }

  // Written by the version readers; read by the dialog's initialisation before any worker
  // exists, so it needs no lock.
  WideText current_version;

  // Closes the update channel, both payload files and the probe channel, in that order.
  void CloseChannelsAndFiles();

  // Replaces the status text whole, then sets the status changed flag.
  void SetStatus(WideText text);
  // Replaces the status text without raising the flag: the dialog storing its status control.
  void SetStatusQuietly(WideText text);
  WideText Status() const;

 private:
  mutable std::mutex status_mutex_;
  WideText status_;
};

}  // namespace larkspan
