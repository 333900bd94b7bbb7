#include "bench/soak_faults.h"

#include <random>
#include <utility>

namespace larkspan::soak {
namespace {

// The stream has 19,141 records, the last the termination record. Its answer is never read,
// so a fault on it would not be seen by the updater at all: faults stop short of it.
constexpr uint32_t kRecords = 19141;

// Answer prefixes, as the simulator takes them (C escapes). None of them is an answer itself.
const std::vector<std::string> kPrefixes = {
    "\\r\\n", "OK", "\\x00\\x00", "LOADER> ", "S", "\\xff\\xfe\\r\\n", std::string(64, 'x'),
};

}  // namespace

std::string Fault::Describe() const {
  std::string text = kKindNames[static_cast<int>(kind)];
  if (kind == FaultKind::kRejectRecord || kind == FaultKind::kSilentAfterRecord) text += " " + std::to_string(record);
  if (kind == FaultKind::kAnswerPrefix) text += " \"" + (prefix.size() > 12 ? prefix.substr(0, 9) + "..." : prefix) + "\"";
  if (kind == FaultKind::kBusyPort) text += " " + std::to_string(hold_seconds) + "s";
  return text;
}

std::vector<std::string> Fault::SimOptions() const {
  switch (kind) {
    case FaultKind::kNone: return {};
    case FaultKind::kRejectRecord: return {"--reject-record", std::to_string(record)};
    case FaultKind::kSilentAfterRecord: return {"--silent-after-record", std::to_string(record)};
    case FaultKind::kNewFirmwareAt57600: return {"--after-flash-speed", "57600"};
    case FaultKind::kNewFirmwareAt38400: return {"--after-flash-speed", "38400"};
    case FaultKind::kRefuseNmeaAt115200: return {"--refuse-nmea-at", "115200"};
    case FaultKind::kLoseVersionAfterFlash: return {"--lose-version-after-flash"};
    case FaultKind::kAnswerPrefix: return {"--answer-prefix", prefix};
    case FaultKind::kBusyPort: return {};  // the soak itself holds the port
  }
  return {};
}

int Fault::ExpectedResult() const {
  switch (kind) {
    case FaultKind::kRejectRecord:
    case FaultKind::kSilentAfterRecord:
    case FaultKind::kBusyPort: return 0;
    default: return 1;
  }
}

std::vector<Fault> DrawFaults(uint32_t seed, int runs) {
  std::mt19937 generator(seed);
  std::vector<Fault> faults;
  std::vector<int> order;
  for (int i = 0; i < runs; ++i) {
    if (i % kFaultKinds == 0) {
      order.clear();
      for (int k = 0; k < kFaultKinds; ++k) order.push_back(k);
      for (int k = kFaultKinds - 1; k > 0; --k) std::swap(order[k], order[generator() % static_cast<uint32_t>(k + 1)]);
    }
    Fault fault;
    fault.kind = static_cast<FaultKind>(order[i % kFaultKinds]);
    const uint32_t parameter = generator();
    if (fault.kind == FaultKind::kRejectRecord) fault.record = 1 + parameter % (kRecords - 1);           // 1..19140
    if (fault.kind == FaultKind::kSilentAfterRecord) fault.record = 1 + parameter % (kRecords - 2);      // 1..19139
    if (fault.kind == FaultKind::kAnswerPrefix) fault.prefix = kPrefixes[parameter % kPrefixes.size()];
    if (fault.kind == FaultKind::kBusyPort) fault.hold_seconds = 4 + parameter % 9;                      // 4..12
    faults.push_back(fault);
  }
  return faults;
}

}  // namespace larkspan::soak
