// The upgrade worker from guard to its three exits, against a scripted receiver that follows
// the upgrade: NMEA, SiRF binary at 38400, flash-update mode, the loader at 115200, the
// records, then the new firmware in SiRF binary at a chosen speed until sent back to NMEA.
#include <gtest/gtest.h>

#include <algorithm>

#include "frontend/installed_version.h"
#include "receiver/command_frames.h"
#include "transfer/upgrade_worker.h"
#include "tests/fakes/fake_receiver.h"
#include "tests/unit/channel_fixture.h"
#include "tests/unit/temp_file.h"

namespace larkspan::testing {
namespace {

constexpr char kRecords[] =
    "S00600004844521B\r\n"
    "S3150000000000112233445566778899AABBCCDDEEFF6A\r\n"
    "S70500000000FA\r\n";

class WorkerTest : public ChannelTest {
 protected:
  void SetUp() override { registry.CreateKey(kInstalledVersionRoot, kInstalledVersionKey); }

  void OpenPayloads(bool loader = true, bool firmware = true) {
    if (loader) {
      ASSERT_TRUE(state.loader_file.Open(loader_file_.path().string()));
    }
    if (firmware) {
      ASSERT_TRUE(state.srecord_file.Open(firmware_file_.path().string()));
    }
  }
  std::vector<std::string> Statuses() const {
    return sink.Statuses(/*skip_percentages=*/true);
  }
  std::vector<uint32_t> RevertSpeeds() const {
    std::vector<uint32_t> speeds;
    for (const auto& w : port.writes) {
      if (std::equal(w.bytes.begin(), w.bytes.end(), frames::kSwitchToNmea.begin(), frames::kSwitchToNmea.end())) {
        speeds.push_back(w.baud);
      }
    }
    return speeds;
  }
  std::optional<MemoryRegistry::Bytes> Recorded() const {
    return registry.Value(kInstalledVersionRoot, kInstalledVersionKey, kInstalledVersionValue);
  }

  TempFile loader_file_{std::string(100, '\x7F')};
  TempFile firmware_file_{kRecords};
  FakeReceiver receiver_{port};
};

TEST_F(WorkerTest, AWholeUpgradeSaysEachStepAndRecordsTheNewVersion) {
  OpenPayloads();
  EXPECT_EQ(UpgradeWorker(state), 1);
  EXPECT_EQ(Statuses(), (Lines{"Switch to SiRF Binary protocal...", "Sending update command...",
                               "Transmitting target loader binary file..", "Waiting...",
                               "Transmitting target S-records file..", "Switch to NMEA mode.wait...",
                               "Firmware upgrade finished.", "Reset GPS module...", "Finished!"}));
  EXPECT_TRUE(sink.BoxLines().empty()) << sink.BoxLines().front();
  EXPECT_EQ(receiver_.loader_bytes(), 6 + 100 + 4 + std::string(kRecords).size());
  // Seen at 115200; the attempt at 57600 is made all the same; none at 38400.
  EXPECT_EQ(RevertSpeeds(), (std::vector<uint32_t>{115200, 57600}));
  EXPECT_EQ(state.current_version, u" 2.4.13.03.10");
  const std::string twice = std::string(frames::kSwitchToBinary);
  EXPECT_EQ(std::count_if(port.writes.begin(), port.writes.end(),
                          [&](const auto& w) { return std::string(w.bytes.begin(), w.bytes.end()) == twice && w.baud == 4800; }),
            2);
  const auto rmc = std::find_if(port.writes.begin(), port.writes.end(), [](const auto& w) {
    return std::string(w.bytes.begin(), w.bytes.end()) == frames::kRmcRate;
  });
  ASSERT_NE(rmc, port.writes.end());
  EXPECT_EQ(rmc->baud, 4800u);
  EXPECT_EQ(std::string(port.writes.back().bytes.begin(), port.writes.back().bytes.end()), frames::kReset);

  const std::vector<uint8_t> expected = {' ', 0, '2', 0, '.', 0, '4', 0, '.', 0, '1', 0, '3', 0, '.', 0,
                                         '0', 0, '3', 0, '.', 0, '1', 0, '0', 0, 0,   0};
  EXPECT_EQ(Recorded(), expected);
  EXPECT_FALSE(state.finished) << "Upgrade stays disabled after a good run";
  EXPECT_EQ(state.upgrade_running, 0);
  EXPECT_FALSE(state.update_channel.IsOpen());
  EXPECT_FALSE(state.loader_file.IsOpen());
  EXPECT_EQ(port.open_handles, 0);
}

TEST_F(WorkerTest, TheGuardEndsQuietlyWhenAPayloadOrThePortIsMissing) {
  for (int missing = 0; missing < 3; ++missing) {
    SCOPED_TRACE(missing);
    sink.Clear();
    port.events.clear();
    state.finished = false;
    port.open_error = missing == 2 ? EBUSY : 0;
    OpenPayloads(missing != 0, missing != 1);
    EXPECT_EQ(UpgradeWorker(state), 0);
    EXPECT_TRUE(state.finished);
    EXPECT_EQ(state.upgrade_running, 0);
    EXPECT_TRUE(port.writes.empty());
    EXPECT_FALSE(state.loader_file.IsOpen());
    EXPECT_FALSE(state.srecord_file.IsOpen());
    EXPECT_EQ(sink.Lines().at(0), missing == 2 ? "box Message: COM1 can't be opened." : "progress set-range 0 100");
    EXPECT_TRUE(Statuses().empty());
  }
}

TEST_F(WorkerTest, AFailedStreamStillRevertsAndResetsButClaimsNothing) {
  receiver_.reject_records = true;
  OpenPayloads();
  EXPECT_EQ(UpgradeWorker(state), 0);
  // The receiver stays in its loader, so the read-back finds no version either.
  EXPECT_EQ(sink.BoxLines(), (Lines{"Response: Bad S-record transfer.Try Upload again.", "Update: Firmware update failed!",
                                    "Message: Read Failed!"}));
  const auto statuses = Statuses();
  EXPECT_EQ(std::count(statuses.begin(), statuses.end(), "Firmware upgrade finished."), 0);
  EXPECT_EQ(std::count(statuses.begin(), statuses.end(), "Finished!"), 0);
  EXPECT_EQ(statuses.back(), "Firmware update failed!");
  EXPECT_NE(std::find(statuses.begin(), statuses.end(), "Reset GPS module..."), statuses.end());
  EXPECT_EQ(std::string(port.writes.back().bytes.begin(), port.writes.back().bytes.end()), frames::kReset);
  EXPECT_FALSE(Recorded()) << "no installed-version record after a failed stream";
  EXPECT_TRUE(state.finished) << "Upgrade is enabled again";
  EXPECT_EQ(state.upgrade_running, 0);
}

TEST_F(WorkerTest, ANewFirmwareAt38400IsFoundByTheThirdAttempt) {
  receiver_.new_firmware_speed = 38400;
  OpenPayloads();
  EXPECT_EQ(UpgradeWorker(state), 1);
  EXPECT_EQ(RevertSpeeds(), (std::vector<uint32_t>{115200, 57600, 38400}));
  EXPECT_EQ(Statuses().back(), "Finished!");
}

TEST_F(WorkerTest, AReceiverThatStaysSilentIsStillResetAndReadFailedIsShown) {
  receiver_.new_firmware_speed = 9600;  // never answers the revert
  OpenPayloads();
  EXPECT_EQ(UpgradeWorker(state), 1);
  EXPECT_EQ(RevertSpeeds(), (std::vector<uint32_t>{115200, 57600, 38400}));
  EXPECT_EQ(sink.BoxLines(), (Lines{"Message: Read Failed!"}));
  const auto boxes = sink.Boxes();
  EXPECT_EQ(boxes.at(0).icon, BoxIcon::kError);
  EXPECT_EQ(boxes.at(0).owner, BoxOwner::kNone);
  EXPECT_TRUE(Recorded());
}

TEST_F(WorkerTest, AProbeThatCannotOpenEndsWithSerialNotOpened) {
  OpenPayloads();
  // Opens: the worker's update channel, then per attempt the probe and the update channel.
  // The fourth open is the probe of the attempt at 57600.
  port.fail_open_number = 4;
  EXPECT_EQ(UpgradeWorker(state), 0);
  EXPECT_EQ(sink.BoxLines(), (Lines{"Error: Unable to open COM1:, Error No.=16"}));
  EXPECT_EQ(Statuses().back(), "serial not opened.");
  EXPECT_EQ(RevertSpeeds(), (std::vector<uint32_t>{115200}));
  EXPECT_FALSE(std::any_of(port.writes.begin(), port.writes.end(), [](const auto& w) {
    return std::string(w.bytes.begin(), w.bytes.end()) == frames::kRmcRate;
  })) << "no RMC-rate sentence, no reset";
  EXPECT_FALSE(Recorded());
  EXPECT_TRUE(state.finished);
  EXPECT_EQ(state.upgrade_running, 0);
  EXPECT_EQ(port.open_handles, 0);
}

TEST_F(WorkerTest, FrameWritesAndSpeedChangesThatFailAreReportedAndTheRunGoesOn) {
  OpenPayloads();
  port.fail_writes = true;
  port.refuse_state = true;
  UpgradeWorker(state);
  const auto boxes = sink.BoxLines();
  ASSERT_GE(boxes.size(), 9u);
  EXPECT_EQ(std::vector<std::string>(boxes.begin(), boxes.begin() + 9),
            (Lines{"set uart: Error.. Cannot set UART control block", "Error: writefile fail!", "Error: writefile fail!",
                   "Update: Cannot change UART baud rate to 38400!", "Write Message: Error.. Cannot transmit to UART",
                   "Write Message: Error.. Incorrect transmission to UART",
                   "Write Message: Error.. Cannot transmit to UART",
                   "Write Message: Error.. Incorrect transmission to UART",
                   "Update: Cannot change UART baud rate to 115200!"}));
}

}  // namespace
}  // namespace larkspan::testing
