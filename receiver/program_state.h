// The program-wide state that the dialog thread and the upgrade worker share: the two serial
// channels, the two payload files, the three flags, the stop, the status text and the
// current-version text, with the seams they reach the world through. (What the worker tells of
// its stages is in transfer/worker_telemetry.h, owned by the session.) `main` makes one and hands it down by
// reference; tests make a fresh one per case. It sits with the receiver link, the lowest
// layer that needs all of it (the check-and-repair routine closes files and raises a flag).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/clock.h"
#include "platform/read_only_file.h"
#include "platform/registry.h"
#include "platform/serial_port.h"
#include "platform/text.h"
#include "platform/user_sink.h"
#include "receiver/probe_channel.h"
#include "receiver/update_channel.h"

namespace larkspan {

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

  // The signal the user stopped the run with; 0 while none has. Set by the front-end from any
  // thread; the worker, the version readers and the repair end at their next record, byte or
  // wait once it is set, closing the channels through their own code.
  std::atomic<int> stop_signal{0};
  bool Stopping() const { return stop_signal.load() != 0; }
  // wait_seconds on the program's clock, ended early by a stop.
  void WaitSeconds(uint32_t n) { wait_seconds(clock, n, &stop_signal); }

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
