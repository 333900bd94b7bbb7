// The faults a soak run can put on receiver-sim, and their draw from a seed.
// Owned by the soak's main thread, which draws them before any run starts; a Fault is a
// plain value, and its const members may be called from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace larkspan::soak {

enum class FaultKind : uint8_t {
  kNone,
  kRejectRecord,
  kSilentAfterRecord,
  kNewFirmwareAt57600,
  kNewFirmwareAt38400,
  kRefuseNmeaAt115200,
  kLoseVersionAfterFlash,
  kAnswerPrefix,
  kBusyPort,
};
inline constexpr int kFaultKinds = 9;

inline constexpr const char* kKindNames[kFaultKinds] = {
    "none", "reject-record", "silent-after-record", "after-flash 57600", "after-flash 38400",
    "refuse-nmea 115200", "lose-version", "answer-prefix", "busy-port",
};

struct Fault {
  FaultKind kind = FaultKind::kNone;
  uint32_t record = 0;         // kRejectRecord, kSilentAfterRecord
  std::string prefix;          // kAnswerPrefix
  uint32_t hold_seconds = 0;   // kBusyPort

  // The fault as one short text, for the run's line and --list.
  std::string Describe() const;
  // The receiver-sim options that make the fault.
  std::vector<std::string> SimOptions() const;
  // The result the updater gives for this fault, as it is written to behave. Shown, not checked.
  int ExpectedResult() const;
};

// Every block of nine runs takes each kind once, in an order shuffled by the seed; each run
// draws one more number for its parameter. Only the generator's raw output is used (its
// sequence is fixed by the language), mapped with plain remainders, so that a seed gives the
// same faults with every standard library.
std::vector<Fault> DrawFaults(uint32_t seed, int runs);

}  // namespace larkspan::soak
