// The upgrade worker from guard to its three exits, against a scripted receiver that follows
// the upgrade: NMEA, SiRF binary at 38400, flash-update mode, the loader at 115200, the
// records, then the new firmware in SiRF binary at a chosen speed until sent back to NMEA.
// Each failure on the way shows its box, and the run goes on or ends as the user is told.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>

#include "frontend/installed_version.h"
#include "receiver/command_frames.h"
#include "transfer/payload_files.h"
#include "transfer/upgrade_worker.h"
#include "tests/fakes/fake_receiver.h"
#include "tests/unit/channel_fixture.h"
#include "tests/unit/temp_file.h"

namespace larkspan::testing {
namespace {

namespace fs = std::filesystem;
using larkspan::testing::PrintTo;  // shows the parameterised cases below by name
using Lines = std::vector<std::string>;

constexpr char kRecords[] =
    "S00600004844521B\r\n"
    "S3150000000000112233445566778899AABBCCDDEEFF6A\r\n"
    "S70500000000FA\r\n";
constexpr char kUploadFailedBox[] = "Update: Firmware update failed!";

bool IsLoaderHeader(const std::vector<uint8_t>& bytes) {
  return bytes.size() == 6 && bytes[0] == 'S' && bytes[1] == 0;
}

// Index of the first line equal to `line`; lines.size() when absent.
size_t IndexOf(const Lines& lines, const std::string& line) {
  return static_cast<size_t>(std::find(lines.begin(), lines.end(), line) - lines.begin());
}

class WorkerTest : public ChannelTest {
 protected:
  void SetUp() override { registry.CreateKey(kInstalledVersionRoot, kInstalledVersionKey); }

  void OpenPayloads() {
    ASSERT_TRUE(state.loader_file.Open(loader_.path().string()));
    ASSERT_TRUE(state.srecord_file.Open(firmware_.path().string()));
  }
  // The receiver hears every write as before; `also` hears it after the receiver.
  void AlsoHear(std::function<void(const std::vector<uint8_t>&, uint32_t)> also) {
    port.hear = [inner = port.hear, also](const std::vector<uint8_t>& bytes, uint32_t baud) {
      inner(bytes, baud);
      also(bytes, baud);
    };
  }
  // The status texts other than percentages.
  Lines Statuses() const { return sink.Statuses(/*skip_percentages=*/true); }
  std::vector<uint32_t> RevertSpeeds() const {
    std::vector<uint32_t> speeds;
    for (const auto& w : port.writes) {
      if (Is(w.bytes, frames::kSwitchToNmea)) speeds.push_back(w.baud);
    }
    return speeds;
  }
  // The first write `is` picks; port.writes.end() when none.
  template <typename Is>
  std::vector<FakeSerialPorts::Write>::const_iterator FirstWriteWhere(Is is) const {
    return std::find_if(port.writes.begin(), port.writes.end(), [&](const auto& w) { return is(w.bytes); });
  }
  auto LoaderHeader() const { return FirstWriteWhere(IsLoaderHeader); }
  auto FirstWrite(const auto& frame) const {
    return FirstWriteWhere([&frame](const std::vector<uint8_t>& bytes) { return Is(bytes, frame); });
  }
  bool Wrote(const auto& frame) const { return FirstWrite(frame) != port.writes.end(); }
  std::optional<MemoryRegistry::Bytes> Recorded() const {
    return registry.Value(kInstalledVersionRoot, kInstalledVersionKey, kInstalledVersionValue);
  }
  // A run that finished: "Finished!" last, the record written or not, Upgrade left disabled.
  void ExpectFinished(bool recorded) const {
    EXPECT_EQ(Statuses().back(), "Finished!");
    EXPECT_EQ(Recorded().has_value(), recorded);
    EXPECT_FALSE(state.finished) << "Upgrade stays disabled after a finished run";
    EXPECT_EQ(state.upgrade_running, 0);
  }
  // A failed upload: still reverted and reset, but no record, and Upgrade is enabled again.
  void ExpectFailedButReset() const {
    EXPECT_EQ(Text(port.writes.back().bytes), frames::kReset);
    EXPECT_FALSE(Recorded());
    EXPECT_TRUE(state.finished) << "Upgrade is enabled again";
    EXPECT_EQ(state.upgrade_running, 0);
    ExpectEverythingClosed();
  }
  void ExpectEverythingClosed() const {
    EXPECT_FALSE(state.update_channel.IsOpen());
    EXPECT_FALSE(state.probe_channel.IsOpen());
    EXPECT_FALSE(state.loader_file.IsOpen());
    EXPECT_FALSE(state.srecord_file.IsOpen());
    EXPECT_EQ(port.open_handles, 0);
  }

  TempFile loader_{std::string(100, '\x7F')};
  TempFile firmware_{kRecords};
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
  EXPECT_EQ(std::count_if(port.writes.begin(), port.writes.end(),
                          [](const auto& w) { return Is(w.bytes, frames::kSwitchToBinary) && w.baud == 4800; }),
            2);
  ASSERT_TRUE(Wrote(frames::kRmcRate));
  EXPECT_EQ(FirstWrite(frames::kRmcRate)->baud, 4800u);
  EXPECT_EQ(Text(port.writes.back().bytes), frames::kReset);

  std::vector<uint8_t> expected;  // the version in UTF-16LE with its terminator
  for (char c : std::string(" 2.4.13.03.10") + '\0') expected.insert(expected.end(), {uint8_t(c), 0});
  EXPECT_EQ(Recorded(), expected);
  ExpectFinished(/*recorded=*/true);
  ExpectEverythingClosed();
}

TEST_F(WorkerTest, TheGuardEndsQuietlyWhenAPayloadOrThePortIsMissing) {
  // The device root as the dialog opens it: both files under their bare names.
  TempFile root(std::string(100, '\x7F'), kLoaderFileName);
  const fs::path firmware = root.folder() / kFirmwareFileName;
  const fs::path moved = root.folder() / "moved.bin";
  std::ofstream(firmware, std::ios::binary) << kRecords;
  ReadOnlyFile holder;  // another program holding the firmware file

  const auto expect_guard_exit = [&](const char* missing, bool loader_open, bool firmware_open) {
    SCOPED_TRACE(missing);
    sink.Clear();
    state.finished = false;
    OpenPayloadFiles(state, root.folder());
    EXPECT_EQ(state.loader_file.IsOpen(), loader_open);
    EXPECT_EQ(state.srecord_file.IsOpen(), firmware_open);

    EXPECT_EQ(UpgradeWorker(state), 0);
    Lines shown = {"progress set-range 0 100", "progress set-pos 0", "progress set-step 1"};
    if (port.open_error) shown.insert(shown.begin(), "box Message: COM1 can't be opened.");
    EXPECT_EQ(sink.Lines(), shown) << "no status and no other box";
    EXPECT_TRUE(port.writes.empty()) << "nothing reaches the receiver";
    EXPECT_TRUE(state.finished);
    EXPECT_EQ(state.upgrade_running, 0);
    ExpectEverythingClosed();
  };
  fs::rename(root.path(), moved);
  expect_guard_exit("loader image", false, true);
  fs::rename(moved, root.path());
  fs::remove(firmware);
  expect_guard_exit("firmware file", true, false);
  std::ofstream(firmware, std::ios::binary) << kRecords;
  ASSERT_TRUE(holder.Open(firmware.string()));
  expect_guard_exit("firmware file held elsewhere", true, false);
  holder.Close();
  port.open_error = EBUSY;
  expect_guard_exit("port", true, true);
}

TEST_F(WorkerTest, FrameWritesAndSpeedChangesThatFailAreReportedAndTheRunGoesOn) {
  OpenPayloads();
  port.fail_writes = true;
  port.refuse_state = true;
  UpgradeWorker(state);
  const auto boxes = sink.BoxLines();
  ASSERT_GE(boxes.size(), 9u);
  EXPECT_EQ(Lines(boxes.begin(), boxes.begin() + 9),
            (Lines{"set uart: Error.. Cannot set UART control block", "Error: writefile fail!", "Error: writefile fail!",
                   "Update: Cannot change UART baud rate to 38400!", "Write Message: Error.. Cannot transmit to UART",
                   "Write Message: Error.. Incorrect transmission to UART",
                   "Write Message: Error.. Cannot transmit to UART",
                   "Write Message: Error.. Incorrect transmission to UART",
                   "Update: Cannot change UART baud rate to 115200!"}));
}

// A step before the loader upload that fails on its own: its box alone comes before the upload,
// the next status follows it, and the channel keeps the speed it had.
struct StepFault {
  const char* name;
  std::function<void(FakeSerialPorts&, const std::vector<uint8_t>&)> strike;  // after each write
  const char* box;
  const char* next_line;  // what the sink shows right after the box
  uint32_t flash_update_baud;
  uint32_t loader_baud;
};

class StepFaultWorkerTest : public WorkerTest, public ::testing::WithParamInterface<StepFault> {};

TEST_P(StepFaultWorkerTest, ShowsOnlyItsBoxAndTheLoaderUploadFollows) {
  OpenPayloads();
  const StepFault& fault = GetParam();
  AlsoHear([this, strike = fault.strike](const std::vector<uint8_t>& bytes, uint32_t) { strike(port, bytes); });
  UpgradeWorker(state);

  const Lines lines = sink.Lines();
  const size_t box = IndexOf(lines, std::string("box ") + fault.box);
  const size_t upload = IndexOf(lines, "status Transmitting target loader binary file..");
  EXPECT_EQ(std::count_if(lines.begin(), lines.begin() + upload, [](const auto& l) { return l.starts_with("box "); }), 1)
      << "its box alone comes before the upload";
  ASSERT_LT(box, upload);
  EXPECT_EQ(lines[box + 1], fault.next_line);
  ASSERT_TRUE(Wrote(frames::kFlashUpdate));
  EXPECT_EQ(FirstWrite(frames::kFlashUpdate)->baud, fault.flash_update_baud);
  ASSERT_NE(LoaderHeader(), port.writes.end()) << "the run went on to the loader upload";
  EXPECT_EQ(LoaderHeader()->baud, fault.loader_baud);
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, StepFaultWorkerTest,
    ::testing::Values(
        // Refused from the second switch-to-binary sentence to the first frame.
        StepFault{"SpeedRefusedAt38400",
                  [sentences = 0](FakeSerialPorts& port, const std::vector<uint8_t>& bytes) mutable {
                    if (Is(bytes, frames::kSwitchToBinary) && ++sentences == 2) port.refuse_state = true;
                    if (Is(bytes, frames::kFlashUpdate)) port.refuse_state = false;
                  },
                  "Update: Cannot change UART baud rate to 38400!", "status Sending update command...", 4800, 115200},
        // Refused from the loader-speed frame to the loader header.
        StepFault{"SpeedRefusedAt115200",
                  [](FakeSerialPorts& port, const std::vector<uint8_t>& bytes) {
                    if (Is(bytes, frames::kLoaderSpeed)) port.refuse_state = true;
                    if (IsLoaderHeader(bytes)) port.refuse_state = false;
                  },
                  "Update: Cannot change UART baud rate to 115200!", "status Transmitting target loader binary file..", 38400,
                  38400},
        // The loader-speed frame loses a byte.
        StepFault{"FrameWrittenShort",
                  [](FakeSerialPorts& port, const std::vector<uint8_t>& bytes) {
                    if (Is(bytes, frames::kFlashUpdate)) port.write_limit = 9;
                    if (bytes.size() == 9 && bytes[4] == frames::kLoaderSpeed[4]) port.write_limit.reset();
                  },
                  "Write Message: Error.. Incorrect transmission to UART",
                  "status Transmitting target loader binary file..", 38400, 115200}),
    CaseName<StepFault>);

// How a byte of the flash loader image fails to arrive once the upload has begun.
struct LoaderFault {
  const char* name;
  bool ends_early;  // otherwise the image becomes unreadable
};

class LoaderFaultWorkerTest : public WorkerTest, public ::testing::WithParamInterface<LoaderFault> {};

TEST_P(LoaderFaultWorkerTest, StopsTheUploadSkipsTheStreamRevertsAndResetsAndRecordsNothing) {
  OpenPayloads();
  const bool ends_early = GetParam().ends_early;
  bool struck = false;
  AlsoHear([&](const std::vector<uint8_t>& bytes, uint32_t baud) {
    if (struck || baud != 115200 || !IsLoaderHeader(bytes)) return;
    struck = true;  // the size went out in the header; the image now fails
    if (ends_early) {
      fs::resize_file(loader_.path(), 40);
    } else {
      loader_.BreakReads();
    }
  });
  EXPECT_EQ(UpgradeWorker(state), 0);

  Lines boxes;
  if (!ends_early) boxes.push_back("Update: Error.. Cannot receive from file");
  boxes.push_back("Update: Error.. Incorrect upload of target loader file");
  boxes.push_back(kUploadFailedBox);
  boxes.push_back("Message: Read Failed!");  // the receiver sits in its loader: no version comes back
  EXPECT_EQ(sink.BoxLines(), boxes);

  // Never a stale byte in place of the missing one, no trailer, no S-record.
  const size_t sent = ends_early ? 40 : 0;
  ASSERT_NE(LoaderHeader(), port.writes.end());
  const size_t after = static_cast<size_t>(LoaderHeader() - port.writes.begin()) + 1;
  EXPECT_TRUE(Is(port.writes.at(after + sent).bytes, frames::kSwitchToNmea)) << "the revert follows the last good byte";
  EXPECT_EQ(FirstWriteWhere([](const auto& bytes) { return bytes.size() > 6 && bytes[0] == 'S'; }), port.writes.end())
      << "no S-record";

  EXPECT_EQ(Statuses(), (Lines{"Switch to SiRF Binary protocal...", "Sending update command...",
                               "Transmitting target loader binary file..", "Waiting...", "Switch to NMEA mode.wait...",
                               "Reset GPS module...", "Firmware update failed!"}));
  const Lines lines = sink.Lines();
  EXPECT_EQ(IndexOf(lines, std::string("box ") + kUploadFailedBox), IndexOf(lines, "status Waiting...") + 2)
      << "after the wait and the progress reset";
  ExpectFailedButReset();
}

INSTANTIATE_TEST_SUITE_P(EachWay, LoaderFaultWorkerTest,
                         ::testing::Values(LoaderFault{"ImageEndsEarly", true}, LoaderFault{"ImageUnreadable", false}),
                         CaseName<LoaderFault>);

TEST_F(WorkerTest, AFailedStreamStillRevertsAndResetsButClaimsNothing) {
  receiver_.reject_records = true;
  OpenPayloads();
  EXPECT_EQ(UpgradeWorker(state), 0);
  // The receiver stays in its loader, so the read-back finds no version either.
  EXPECT_EQ(sink.BoxLines(),
            (Lines{"Response: Bad S-record transfer.Try Upload again.", kUploadFailedBox, "Message: Read Failed!"}));
  const Lines statuses = Statuses();
  EXPECT_EQ(Lines(statuses.end() - 3, statuses.end()),
            (Lines{"Switch to NMEA mode.wait...", "Reset GPS module...", "Firmware update failed!"}))
      << "neither \"Firmware upgrade finished.\" nor \"Finished!\"";
  ExpectFailedButReset();
}

TEST_F(WorkerTest, ANewFirmwareAt38400IsFoundByTheThirdAttempt) {
  receiver_.new_firmware_speed = 38400;
  OpenPayloads();
  EXPECT_EQ(UpgradeWorker(state), 1);
  EXPECT_EQ(RevertSpeeds(), (std::vector<uint32_t>{115200, 57600, 38400}));
  ExpectFinished(/*recorded=*/true);
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
  EXPECT_EQ(Text(port.writes.back().bytes), frames::kReset);
  ExpectFinished(/*recorded=*/true);
}

// Where the probe channel fails during the NMEA revert: which open fails (the worker's update
// channel is the first, then each attempt opens the probe and the update channel), or which of
// the probe's settings is refused once the termination record is out.
struct RevertFault {
  const char* name;
  int failing_open;
  const ProbeFault* refused;
  uint32_t new_firmware_speed;
  std::vector<uint32_t> frames_before;
};

class RevertFaultWorkerTest : public WorkerTest, public ::testing::WithParamInterface<RevertFault> {};

TEST_P(RevertFaultWorkerTest, EndsWithSerialNotOpenedAfterTheProbesBox) {
  OpenPayloads();
  const RevertFault& fault = GetParam();
  receiver_.new_firmware_speed = fault.new_firmware_speed;
  port.fail_open_number = fault.failing_open;
  if (fault.failing_open == 0) {
    AlsoHear([this, &fault](const std::vector<uint8_t>& bytes, uint32_t) {
      if (bytes.size() > 1 && bytes[0] == 'S' && bytes[1] == '7') fault.refused->arrange(port);
    });
  }
  bool finished_when_shown = true;
  sink.on_status = [&](const std::string& status) {
    if (status == "serial not opened.") finished_when_shown = state.finished.load();
  };

  EXPECT_EQ(UpgradeWorker(state), 0);
  EXPECT_EQ(sink.BoxLines(), Lines{fault.refused->box});
  const Lines statuses = Statuses();
  ASSERT_GE(statuses.size(), 2u);
  EXPECT_EQ(statuses[statuses.size() - 2], "Switch to NMEA mode.wait...");
  EXPECT_EQ(statuses.back(), "serial not opened.");
  EXPECT_FALSE(finished_when_shown) << "the status is set before the finished flag";
  EXPECT_TRUE(state.finished);
  EXPECT_EQ(state.upgrade_running, 0);
  EXPECT_EQ(RevertSpeeds(), fault.frames_before);
  EXPECT_FALSE(Wrote(frames::kRmcRate));
  EXPECT_FALSE(Wrote(frames::kReset));
  EXPECT_FALSE(Recorded());
  ExpectEverythingClosed();
}

INSTANTIATE_TEST_SUITE_P(
    EachAttempt, RevertFaultWorkerTest,
    ::testing::Values(RevertFault{"OpenAt115200", 2, &kProbeFaults[0], 115200, {}},
                      RevertFault{"OpenAt57600", 4, &kProbeFaults[0], 115200, {115200}},
                      // The new firmware answers at neither 115200 nor 57600.
                      RevertFault{"OpenAt38400", 6, &kProbeFaults[0], 9600, {115200, 57600}},
                      RevertFault{"SettingsAt115200", 0, &kProbeFaults[1], 115200, {}},
                      RevertFault{"TimeoutsAt115200", 0, &kProbeFaults[2], 115200, {}}),
    CaseName<RevertFault>);

TEST_F(WorkerTest, AnRmcRateSentenceThatCannotBeWrittenIsReportedAndTheRunFinishes) {
  OpenPayloads();
  // The attempt at 57600 is the last; the next write is the RMC-rate sentence.
  AlsoHear([&](const std::vector<uint8_t>& bytes, uint32_t baud) {
    if (baud == 57600 && Is(bytes, frames::kSwitchToNmea)) port.fail_writes = true;
  });
  sink.on_status = [&](const std::string& status) {
    if (status == "Firmware upgrade finished.") port.fail_writes = false;
  };
  EXPECT_EQ(UpgradeWorker(state), 1);
  const Lines lines = sink.Lines();
  EXPECT_EQ(sink.BoxLines(), Lines{"Error: writefile fail!"});
  EXPECT_EQ(IndexOf(lines, "box Error: writefile fail!") + 1, IndexOf(lines, "status Firmware upgrade finished."));
  EXPECT_FALSE(Wrote(frames::kRmcRate));
  EXPECT_EQ(Text(port.writes.back().bytes), frames::kReset);
  ExpectFinished(/*recorded=*/true);
}

// The reset cannot open the port, or its time-outs are refused.
class ResetFaultWorkerTest : public WorkerTest, public ::testing::WithParamInterface<ProbeFault> {};

TEST_P(ResetFaultWorkerTest, IsReportedAndTheRunStillFinishes) {
  OpenPayloads();
  const ProbeFault& fault = GetParam();
  sink.on_status = [&](const std::string& status) {
    if (status == "Reset GPS module...") fault.arrange(port);
  };
  EXPECT_EQ(UpgradeWorker(state), 1);
  const Lines lines = sink.Lines();
  EXPECT_EQ(sink.BoxLines(), Lines{fault.box});
  EXPECT_EQ(IndexOf(lines, "status Reset GPS module...") + 1, IndexOf(lines, std::string("box ") + fault.box));
  EXPECT_FALSE(Wrote(frames::kReset));
  EXPECT_EQ(state.probe_channel.IsOpen(), fault.port_held) << "held until the probe channel's next close";
  ExpectFinished(/*recorded=*/true);
}

INSTANTIATE_TEST_SUITE_P(EachProbeFault, ResetFaultWorkerTest, ::testing::Values(kProbeFaults[0], kProbeFaults[2]),
                         CaseName<ProbeFault>);

// The installed-version key does not exist, or its value cannot be set.
class RecordFaultWorkerTest : public WorkerTest, public ::testing::WithParamInterface<const char*> {
 protected:
  void SetUp() override {
    if (std::string(GetParam()) == "KeyMissing") return;
    WorkerTest::SetUp();
    registry.fail_writes = true;
  }
};

TEST_P(RecordFaultWorkerTest, TheRecordIsLeftOutSilentlyAndTheRunFinishes) {
  const size_t keys = registry.KeyCount();
  OpenPayloads();
  EXPECT_EQ(UpgradeWorker(state), 1);
  EXPECT_TRUE(sink.BoxLines().empty());
  ExpectFinished(/*recorded=*/false);
  EXPECT_EQ(registry.KeyCount(), keys) << "a missing key is never created";
  EXPECT_EQ(registry.open_keys, 0) << "the key is closed";
}

INSTANTIATE_TEST_SUITE_P(EachFault, RecordFaultWorkerTest, ::testing::Values("KeyMissing", "ValueRefused"),
                         [](const auto& fault) { return std::string(fault.param); });

}  // namespace
}  // namespace larkspan::testing
