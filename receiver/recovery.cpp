#include "receiver/recovery.h"

#include <array>

#include "receiver/port_name.h"
#include "receiver/version_reader.h"

namespace larkspan {

namespace {
constexpr std::array<uint32_t, 2> kRepairSpeeds = {38400, 57600};
constexpr int kAttemptsPerSpeed = 2;
constexpr uint32_t kSettleSeconds = 2;
}  // namespace

AttemptResult AttemptNmeaRevert(ProgramState& state, uint32_t speed) {
  state.update_channel.Close();
  state.probe_channel.Close();
  state.WaitSeconds(kSettleSeconds);
  if (!state.probe_channel.Open(kCom1, speed)) return AttemptResult::kPortNotOpened;
  state.WaitSeconds(kSettleSeconds);
  state.probe_channel.SendSwitchToNmeaFrame();
  state.WaitSeconds(kSettleSeconds);
  state.probe_channel.Close();
  // The frame puts the receiver on NMEA at 4800, where the update channel opens.
  state.update_channel.Close();
  state.update_channel.Open();
  return CheckVersion(state) == VersionRead::kSeen ? AttemptResult::kVersionSeen : AttemptResult::kVersionNotSeen;
}

bool CheckAndRepair(ProgramState& state) {
  bool repaired = false;
  bool port_failed = false;
  for (uint32_t speed : kRepairSpeeds) {
    for (int attempt = 0; attempt < kAttemptsPerSpeed && !repaired && !port_failed && !state.Stopping(); ++attempt) {
      switch (AttemptNmeaRevert(state, speed)) {
        case AttemptResult::kPortNotOpened: port_failed = true; break;
        case AttemptResult::kVersionSeen: repaired = true; break;
        case AttemptResult::kVersionNotSeen: break;
      }
    }
  }

  state.CloseChannelsAndFiles();
  state.finished.store(true);
  return repaired;
}

}  // namespace larkspan
