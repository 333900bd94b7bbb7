// The fault matrix: one case for each failure the updater reports or survives whose box text,
// caption and consequence no other unit test pins down whole. docs/faults.md maps every
// failure, here or elsewhere, to its test. Fakes only: the scripted port and receiver, the
// test clock, the recording sink and the in-memory registry.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "frontend/installed_version.h"
#include "receiver/command_frames.h"
#include "receiver/recovery.h"
#include "receiver/version_reader.h"
#include "transfer/loader_upload.h"
#include "transfer/payload_files.h"
#include "transfer/percent_progress.h"
#include "transfer/srecord_stream.h"
#include "transfer/upgrade_worker.h"
#include "tests/fakes/fake_receiver.h"
#include "tests/unit/channel_fixture.h"
#include "tests/unit/temp_file.h"

namespace larkspan::testing {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

constexpr char kHeader[] = "S00600004844521B\r\n";
constexpr char kData[] = "S3150000000000112233445566778899AABBCCDDEEFF6A\r\n";
constexpr char kEnd[] = "S70500000000FA\r\n";
constexpr char kVersionLine[] = "$PSRFTXT,Version: 2.3.2.03.07-GSW2\r\n";
constexpr char kStreamFailedBox[] = "Update: Firmware update failed!";

std::string Text(const std::vector<uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

template <typename Frame>
bool Is(const std::vector<uint8_t>& bytes, const Frame& frame) {
  return std::equal(bytes.begin(), bytes.end(), frame.begin(), frame.end());
}

bool IsLoaderHeader(const std::vector<uint8_t>& bytes) {
  return bytes.size() == 6 && bytes[0] == 'S' && bytes[1] == 0;
}

// The descriptor through which this process holds `file`, found in /proc; -1 when none.
int DescriptorOf(const fs::path& file) {
  const fs::path target = fs::canonical(file);
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    if (fs::read_symlink(entry.path(), error) == target) return std::stoi(entry.path().filename().string());
  }
  return -1;
}

// Makes the descriptor that holds `file` refer to `replacement` instead, so that the holder's
// next reads fail or deliver other bytes: the one way to make a read of a plain file fail
// part way through.
void Substitute(const fs::path& file, int replacement) {
  const int held = DescriptorOf(file);
  ASSERT_GE(held, 0) << file;
  ASSERT_GE(::dup2(replacement, held), 0) << std::strerror(errno);
  ::close(replacement);
}

// A folder's descriptor: reading from it fails (EISDIR).
int UnreadableDescriptor(const fs::path& folder) {
  return ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// Hands everything to the recording sink and lets a test act the moment a status is shown.
class HookedSink final : public UserSink {
 public:
  explicit HookedSink(RecordingSink& record) : record_(record) {}
  std::function<void(const std::string& status)> on_status;

  void ShowMessage(const MessageBox& box) override { record_.ShowMessage(box); }
  void ShowStatus(const WideText& status) override {
    record_.ShowStatus(status);
    if (on_status) on_status(ToUtf8(status));
  }
  void Progress(ProgressOp op, int a, int b) override { record_.Progress(op, a, b); }
  void EndProcess(int status) override { record_.EndProcess(status); }

 private:
  RecordingSink& record_;
};

// The box lines among `lines` before the first line equal to `until`.
Lines BoxesBefore(const Lines& lines, const std::string& until) {
  Lines boxes;
  for (const auto& line : lines) {
    if (line == until) return boxes;
    if (line.starts_with("box ")) boxes.push_back(line.substr(4));
  }
  ADD_FAILURE() << "no line '" << until << "'";
  return boxes;
}

// Index of the first line equal to `line`; lines.size() when absent.
size_t IndexOf(const Lines& lines, const std::string& line) {
  return static_cast<size_t>(std::find(lines.begin(), lines.end(), line) - lines.begin());
}

// ---------------------------------------------------------------------------------------
// Receiver link: the version reader.

using VersionReaderFaultTest = ChannelTest;

TEST_F(VersionReaderFaultTest, AFailedReadEndsBothReadersAtOnceKeepsTheVersionAndShowsNothing) {
  state.update_channel.Open();
  state.current_version = u"kept";
  port.fail_reads = true;
  const uint64_t start = clock.NowUs();
  EXPECT_EQ(ReadVersion(state), 0);
  EXPECT_EQ(CheckVersion(state), 0);
  EXPECT_EQ(clock.NowUs(), start) << "no window was waited out";

  port.fail_reads = false;
  port.over_report_reads = true;  // a read that claims more than the one byte asked for
  port.talk = [](uint32_t) { return std::string("$MVersion 9\r\n"); };
  EXPECT_EQ(ReadVersion(state), 0);
  EXPECT_EQ(CheckVersion(state), 0);
  EXPECT_EQ(state.current_version, u"kept");
  EXPECT_TRUE(sink.Lines().empty());
  state.update_channel.Close();
}

// ---------------------------------------------------------------------------------------
// Receiver link: recovery and reset.

enum class ProbeFault { kCannotOpen, kSettingsRefused, kTimeoutsRefused };

void Arrange(ProbeFault fault, FakeSerialPorts& port) {
  switch (fault) {
    case ProbeFault::kCannotOpen: port.open_error = EBUSY; break;
    case ProbeFault::kSettingsRefused: port.refuse_state = true; break;
    case ProbeFault::kTimeoutsRefused: port.refuse_timeouts = true; break;
  }
}

std::string BoxOf(ProbeFault fault) {
  switch (fault) {
    case ProbeFault::kCannotOpen: return "Error: Unable to open COM1:, Error No.=16";
    case ProbeFault::kSettingsRefused: return "Error: Unable to configure the serial port";
    case ProbeFault::kTimeoutsRefused: return "Error: Unable to set the time-out parameters";
  }
  return {};
}

std::string ProbeFaultName(const ::testing::TestParamInfo<ProbeFault>& fault) {
  switch (fault.param) {
    case ProbeFault::kCannotOpen: return "CannotOpen";
    case ProbeFault::kSettingsRefused: return "SettingsRefused";
    case ProbeFault::kTimeoutsRefused: return "TimeoutsRefused";
  }
  return "?";
}

class RepairProbeFaultTest : public ChannelTest, public ::testing::WithParamInterface<ProbeFault> {};

TEST_P(RepairProbeFaultTest, EndsTheRepairAtTheFirstAttemptWithItsBoxAndStillFinishes) {
  Arrange(GetParam(), port);
  EXPECT_FALSE(CheckAndRepair(state));
  EXPECT_EQ(sink.Lines(), Lines{"box " + BoxOf(GetParam())});
  EXPECT_EQ(port.opens, 1) << "no further attempt, not even at 57600";
  EXPECT_TRUE(port.writes.empty());
  EXPECT_FALSE(state.probe_channel.IsOpen()) << "the closing steps release a half-opened probe";
  EXPECT_FALSE(state.update_channel.IsOpen());
  EXPECT_EQ(port.open_handles, 0);
  EXPECT_TRUE(state.finished);
}

INSTANTIATE_TEST_SUITE_P(EachProbeFault, RepairProbeFaultTest,
                         ::testing::Values(ProbeFault::kCannotOpen, ProbeFault::kSettingsRefused,
                                           ProbeFault::kTimeoutsRefused),
                         ProbeFaultName);

class RevertAttemptFaultTest : public ChannelTest {
 protected:
  // A receiver already back in NMEA: it says its version at 4800 whatever was sent.
  void SetUp() override {
    port.talk = [](uint32_t baud) { return baud == 4800 ? std::string(kVersionLine) : std::string(); };
  }
};

TEST_F(RevertAttemptFaultTest, AFrameThatFailsOrGoesOutShortIsReportedAndTheAttemptStillListens) {
  port.fail_writes = true;
  EXPECT_EQ(AttemptNmeaRevert(state, 38400), AttemptResult::kVersionSeen);
  EXPECT_EQ(sink.Lines(), (Lines{"box Message: Error.. Cannot transmit to UART",
                                 "box Message: Error.. Incorrect transmission to UART"}));
  EXPECT_FALSE(state.probe_channel.IsOpen());
  EXPECT_TRUE(state.update_channel.IsOpen());
  EXPECT_EQ(port.baud, 4800u);

  sink.Clear();
  port.fail_writes = false;
  port.write_limit = 20;
  EXPECT_EQ(AttemptNmeaRevert(state, 57600), AttemptResult::kVersionSeen);
  EXPECT_EQ(sink.Lines(), Lines{"box Message: Error.. Incorrect transmission to UART"});
  state.update_channel.Close();
}

TEST_F(RevertAttemptFaultTest, AnUpdateChannelThatFailsToReopenIsReportedAndTheAttemptSeesNoVersion) {
  port.fail_open_number = 2;  // the probe's open is the first, the update channel's reopen the second
  EXPECT_EQ(AttemptNmeaRevert(state, 38400), AttemptResult::kVersionNotSeen);
  EXPECT_EQ(sink.Lines(), Lines{"box Message: COM1 can't be opened."});
  ASSERT_EQ(port.writes.size(), 1u);
  EXPECT_TRUE(Is(port.writes[0].bytes, frames::kSwitchToNmea)) << "the frame went out first";
  EXPECT_FALSE(state.update_channel.IsOpen());

  // A refused setting of the reopened update channel is reported, and the attempt goes on
  // (the probe does not check its queue sizes).
  sink.Clear();
  port.refuse_queues = true;
  EXPECT_EQ(AttemptNmeaRevert(state, 38400), AttemptResult::kVersionSeen);
  EXPECT_EQ(sink.Lines(), Lines{"box set uart: Error.. Cannot set UART buffers"});
  state.update_channel.Close();
}

TEST_F(RevertAttemptFaultTest, ARepairThatNeverSeesAVersionShowsNothingOfItsOwn) {
  port.talk = nullptr;  // still in SiRF binary at a speed none of the attempts uses
  EXPECT_FALSE(CheckAndRepair(state));
  EXPECT_EQ(port.EventTexts("write").size(), 4u);
  EXPECT_TRUE(sink.Lines().empty()) << "the Repair command turns the result into its status";
  EXPECT_TRUE(state.finished);
  EXPECT_FALSE(state.update_channel.IsOpen());
  EXPECT_FALSE(state.probe_channel.IsOpen());
}

// ---------------------------------------------------------------------------------------
// Firmware transfer: the upgrade worker from guard to exit, against the scripted receiver.

class WorkerFaultTest : public ChannelTest {
 protected:
  void SetUp() override { registry.CreateKey(kInstalledVersionRoot, kInstalledVersionKey); }

  void OpenPayloads() {
    ASSERT_TRUE(worker.loader_file.Open(loader_.path().string()));
    ASSERT_TRUE(worker.srecord_file.Open(firmware_.path().string()));
  }
  // The receiver hears every write as before; `also` hears it after the receiver.
  void AlsoHear(std::function<void(const std::vector<uint8_t>&, uint32_t)> also) {
    port.hear = [inner = port.hear, also](const std::vector<uint8_t>& bytes, uint32_t baud) {
      inner(bytes, baud);
      also(bytes, baud);
    };
  }
  // The status texts other than percentages.
  Lines Statuses() const {
    return sink.Statuses(/*skip_percentages=*/true);
  }
  std::vector<uint32_t> RevertSpeeds() const {
    std::vector<uint32_t> speeds;
    for (const auto& w : port.writes) {
      if (Is(w.bytes, frames::kSwitchToNmea)) speeds.push_back(w.baud);
    }
    return speeds;
  }
  bool Wrote(std::string_view text) const {
    return std::any_of(port.writes.begin(), port.writes.end(), [&](const auto& w) { return Text(w.bytes) == text; });
  }
  std::optional<MemoryRegistry::Bytes> Recorded() const {
    return registry.Value(kInstalledVersionRoot, kInstalledVersionKey, kInstalledVersionValue);
  }
  void ExpectEverythingClosed() const {
    EXPECT_FALSE(worker.update_channel.IsOpen());
    EXPECT_FALSE(worker.probe_channel.IsOpen());
    EXPECT_FALSE(worker.loader_file.IsOpen());
    EXPECT_FALSE(worker.srecord_file.IsOpen());
    EXPECT_EQ(port.open_handles, 0);
  }

  TempFile loader_{std::string(100, '\x7F')};
  TempFile firmware_{std::string(kHeader) + kData + kEnd};
  FakeReceiver receiver_{port};
  HookedSink hooked_{sink};
  ProgramState worker{port, clock, hooked_, registry};
};

TEST_F(WorkerFaultTest, APayloadFileMissingOrHeldElsewhereEndsAtTheGuardWithNothingShown) {
  // The device root as the dialog opens it: both files under their bare names.
  TempFile root(std::string(100, '\x7F'), kLoaderFileName);
  std::ofstream(root.folder() / kFirmwareFileName, std::ios::binary) << kHeader << kEnd;
  ReadOnlyFile holder;  // another program holds the firmware file

  for (int fault = 0; fault < 3; ++fault) {
    SCOPED_TRACE(fault);
    sink.Clear();
    port.events.clear();
    worker.finished = false;
    switch (fault) {
      case 0: fs::rename(root.path(), root.folder() / "moved.bin"); break;  // loader missing
      case 1:
        fs::rename(root.folder() / "moved.bin", root.path());
        fs::remove(root.folder() / kFirmwareFileName);  // firmware missing
        break;
      case 2:
        std::ofstream(root.folder() / kFirmwareFileName, std::ios::binary) << kHeader << kEnd;
        ASSERT_TRUE(holder.Open((root.folder() / kFirmwareFileName).string()));
        break;
    }
    OpenPayloadFiles(worker, root.folder());
    EXPECT_EQ(worker.loader_file.IsOpen(), fault != 0);
    EXPECT_EQ(worker.srecord_file.IsOpen(), fault == 0);

    EXPECT_EQ(UpgradeWorker(worker), 0);
    EXPECT_EQ(sink.Lines(), (Lines{"progress set-range 0 100", "progress set-pos 0", "progress set-step 1"}))
        << "no status and no box";
    EXPECT_TRUE(port.writes.empty()) << "nothing reaches the receiver";
    EXPECT_TRUE(worker.finished);
    EXPECT_EQ(worker.upgrade_running, 0);
    ExpectEverythingClosed();
  }
}

TEST_F(WorkerFaultTest, ASpeedRefusedAt38400LeavesTheFramesAt4800AndTheRunGoesOn) {
  OpenPayloads();
  int sentences = 0;
  AlsoHear([&](const std::vector<uint8_t>& bytes, uint32_t) {
    // Refuse the change to 38400 only: from the second sentence to the first frame.
    if (Text(bytes) == frames::kSwitchToBinary && ++sentences == 2) port.refuse_state = true;
    if (Is(bytes, frames::kFlashUpdate)) port.refuse_state = false;
  });
  UpgradeWorker(worker);

  const Lines lines = sink.Lines();
  EXPECT_EQ(BoxesBefore(lines, "status Transmitting target loader binary file.."),
            Lines{"Update: Cannot change UART baud rate to 38400!"});
  const size_t box = IndexOf(lines, "box Update: Cannot change UART baud rate to 38400!");
  EXPECT_EQ(box, IndexOf(lines, "status Switch to SiRF Binary protocal...") + 1);
  EXPECT_EQ(box + 1, IndexOf(lines, "status Sending update command..."));
  for (const auto& w : port.writes) {
    if (Is(w.bytes, frames::kFlashUpdate) || Is(w.bytes, frames::kLoaderSpeed)) {
      EXPECT_EQ(w.baud, 4800u) << "the channel kept its speed";
    }
  }
  const auto header = std::find_if(port.writes.begin(), port.writes.end(), [](const auto& w) { return IsLoaderHeader(w.bytes); });
  ASSERT_NE(header, port.writes.end()) << "the run went on to the loader upload";
  EXPECT_EQ(header->baud, 115200u);
}

TEST_F(WorkerFaultTest, ASpeedRefusedAt115200IsReportedAndTheLoaderUploadFollows) {
  OpenPayloads();
  AlsoHear([&](const std::vector<uint8_t>& bytes, uint32_t) {
    // Refuse the change to 115200 only: from the loader-speed frame to the loader header.
    if (Is(bytes, frames::kLoaderSpeed)) port.refuse_state = true;
    if (IsLoaderHeader(bytes)) port.refuse_state = false;
  });
  UpgradeWorker(worker);

  const Lines lines = sink.Lines();
  EXPECT_EQ(BoxesBefore(lines, "status Transmitting target loader binary file.."),
            Lines{"Update: Cannot change UART baud rate to 115200!"});
  EXPECT_EQ(IndexOf(lines, "box Update: Cannot change UART baud rate to 115200!") + 1,
            IndexOf(lines, "status Transmitting target loader binary file.."));
  const auto header = std::find_if(port.writes.begin(), port.writes.end(), [](const auto& w) { return IsLoaderHeader(w.bytes); });
  ASSERT_NE(header, port.writes.end()) << "the loader upload followed";
  EXPECT_EQ(header->baud, 38400u) << "the channel kept its speed";
}

TEST_F(WorkerFaultTest, AFrameWrittenShortShowsOnlyItsCountBoxAndTheRunGoesOn) {
  OpenPayloads();
  AlsoHear([&](const std::vector<uint8_t>& bytes, uint32_t) {
    if (Is(bytes, frames::kFlashUpdate)) port.write_limit = 9;                          // the loader-speed frame loses a byte
    if (bytes.size() == 9 && bytes[4] == frames::kLoaderSpeed[4]) port.write_limit.reset();
  });
  UpgradeWorker(worker);

  const Lines lines = sink.Lines();
  EXPECT_EQ(BoxesBefore(lines, "status Transmitting target loader binary file.."),
            Lines{"Write Message: Error.. Incorrect transmission to UART"});
  EXPECT_TRUE(std::any_of(port.writes.begin(), port.writes.end(), [](const auto& w) {
    return IsLoaderHeader(w.bytes) && w.baud == 115200;
  })) << "the run went on to the loader upload";
}

// How a byte of the flash loader image fails to arrive once the upload has begun.
enum class LoaderFault { kImageEndsEarly, kImageUnreadable };

class LoaderFaultWorkerTest : public WorkerFaultTest, public ::testing::WithParamInterface<LoaderFault> {};

TEST_P(LoaderFaultWorkerTest, StopsTheUploadSkipsTheStreamRevertsAndResetsAndRecordsNothing) {
  OpenPayloads();
  bool struck = false;
  AlsoHear([&](const std::vector<uint8_t>& bytes, uint32_t baud) {
    if (struck || baud != 115200 || !IsLoaderHeader(bytes)) return;
    struck = true;  // the size went out in the header; the image now fails
    if (GetParam() == LoaderFault::kImageEndsEarly) {
      fs::resize_file(loader_.path(), 40);
    } else {
      Substitute(loader_.path(), UnreadableDescriptor(loader_.folder()));
    }
  });
  EXPECT_EQ(UpgradeWorker(worker), 0);

  Lines boxes;
  if (GetParam() == LoaderFault::kImageUnreadable) boxes.push_back("Update: Error.. Cannot receive from file");
  boxes.push_back("Update: Error.. Incorrect upload of target loader file");
  boxes.push_back(kStreamFailedBox);
  boxes.push_back("Message: Read Failed!");  // the receiver sits in its loader: no version comes back
  EXPECT_EQ(sink.BoxLines(), boxes);

  // Never a stale byte in place of the missing one, no trailer, no S-record.
  const size_t sent = GetParam() == LoaderFault::kImageEndsEarly ? 40 : 0;
  const auto header = std::find_if(port.writes.begin(), port.writes.end(), [](const auto& w) { return IsLoaderHeader(w.bytes); });
  ASSERT_NE(header, port.writes.end());
  const size_t after = static_cast<size_t>(header - port.writes.begin()) + 1;
  for (size_t i = 0; i < sent; ++i) EXPECT_EQ(port.writes.at(after + i).bytes, std::vector<uint8_t>{0x7F}) << i;
  EXPECT_TRUE(Is(port.writes.at(after + sent).bytes, frames::kSwitchToNmea)) << "the revert follows the last good byte";
  EXPECT_FALSE(std::any_of(port.writes.begin(), port.writes.end(), [](const auto& w) {
    return w.bytes == std::vector<uint8_t>{0, 0, 0, 0};
  })) << "no trailer";
  EXPECT_FALSE(std::any_of(port.writes.begin(), port.writes.end(), [](const auto& w) {
    return w.bytes.size() > 6 && w.bytes[0] == 'S';
  })) << "no S-record";

  EXPECT_EQ(Statuses(), (Lines{"Switch to SiRF Binary protocal...", "Sending update command...",
                               "Transmitting target loader binary file..", "Waiting...", "Switch to NMEA mode.wait...",
                               "Reset GPS module...", "Firmware update failed!"}));
  const Lines lines = sink.Lines();
  const size_t failed = IndexOf(lines, std::string("box ") + kStreamFailedBox);
  EXPECT_EQ(failed, IndexOf(lines, "status Waiting...") + 2) << "after the wait and the progress reset";
  EXPECT_EQ(Text(port.writes.back().bytes), frames::kReset);
  EXPECT_FALSE(Recorded());
  EXPECT_TRUE(worker.finished) << "Upgrade is enabled again";
  EXPECT_EQ(worker.upgrade_running, 0);
  ExpectEverythingClosed();
}

std::string LoaderFaultName(const ::testing::TestParamInfo<LoaderFault>& fault) {
  return fault.param == LoaderFault::kImageEndsEarly ? "ImageEndsEarly" : "ImageUnreadable";
}

INSTANTIATE_TEST_SUITE_P(EachWay, LoaderFaultWorkerTest,
                         ::testing::Values(LoaderFault::kImageEndsEarly, LoaderFault::kImageUnreadable),
                         LoaderFaultName);

// Where the probe channel fails during the NMEA revert.
enum class RevertFault { kOpenAt115200, kOpenAt57600, kOpenAt38400, kSettingsAt115200, kTimeoutsAt115200 };

class RevertFaultWorkerTest : public WorkerFaultTest, public ::testing::WithParamInterface<RevertFault> {};

TEST_P(RevertFaultWorkerTest, EndsWithSerialNotOpenedAfterTheProbesBox) {
  OpenPayloads();
  const RevertFault fault = GetParam();
  std::string box = "Error: Unable to open COM1:, Error No.=16";
  std::vector<uint32_t> frames_before;
  const auto after_termination_record = [&](std::function<void()> act) {
    AlsoHear([act](const std::vector<uint8_t>& bytes, uint32_t) {
      if (bytes.size() > 1 && bytes[0] == 'S' && bytes[1] == '7') act();
    });
  };
  // Opens: the worker's update channel, then per attempt the probe and the update channel.
  switch (fault) {
    case RevertFault::kOpenAt115200: port.fail_open_number = 2; break;
    case RevertFault::kOpenAt57600:
      port.fail_open_number = 4;
      frames_before = {115200};
      break;
    case RevertFault::kOpenAt38400:
      receiver_.new_firmware_speed = 9600;  // seen at neither 115200 nor 57600
      port.fail_open_number = 6;
      frames_before = {115200, 57600};
      break;
    case RevertFault::kSettingsAt115200:
      after_termination_record([this] { port.refuse_state = true; });
      box = "Error: Unable to configure the serial port";
      break;
    case RevertFault::kTimeoutsAt115200:
      after_termination_record([this] { port.refuse_timeouts = true; });
      box = "Error: Unable to set the time-out parameters";
      break;
  }
  bool finished_when_shown = true;
  hooked_.on_status = [&](const std::string& status) {
    if (status == "serial not opened.") finished_when_shown = worker.finished.load();
  };

  EXPECT_EQ(UpgradeWorker(worker), 0);
  EXPECT_EQ(sink.BoxLines(), Lines{box});
  const Lines statuses = Statuses();
  ASSERT_GE(statuses.size(), 2u);
  EXPECT_EQ(statuses[statuses.size() - 2], "Switch to NMEA mode.wait...");
  EXPECT_EQ(statuses.back(), "serial not opened.");
  EXPECT_FALSE(finished_when_shown) << "the status is set before the finished flag";
  EXPECT_TRUE(worker.finished);
  EXPECT_EQ(worker.upgrade_running, 0);
  EXPECT_EQ(RevertSpeeds(), frames_before);
  EXPECT_FALSE(Wrote(frames::kRmcRate));
  EXPECT_FALSE(Wrote(frames::kReset));
  EXPECT_FALSE(Recorded());
  ExpectEverythingClosed();
}

std::string RevertFaultName(const ::testing::TestParamInfo<RevertFault>& fault) {
  switch (fault.param) {
    case RevertFault::kOpenAt115200: return "OpenAt115200";
    case RevertFault::kOpenAt57600: return "OpenAt57600";
    case RevertFault::kOpenAt38400: return "OpenAt38400";
    case RevertFault::kSettingsAt115200: return "SettingsAt115200";
    case RevertFault::kTimeoutsAt115200: return "TimeoutsAt115200";
  }
  return "?";
}

INSTANTIATE_TEST_SUITE_P(EachAttempt, RevertFaultWorkerTest,
                         ::testing::Values(RevertFault::kOpenAt115200, RevertFault::kOpenAt57600,
                                           RevertFault::kOpenAt38400, RevertFault::kSettingsAt115200,
                                           RevertFault::kTimeoutsAt115200),
                         RevertFaultName);

TEST_F(WorkerFaultTest, AnRmcRateSentenceThatCannotBeWrittenIsReportedAndTheRunFinishes) {
  OpenPayloads();
  // The attempt at 57600 is the last; the next write is the RMC-rate sentence.
  AlsoHear([&](const std::vector<uint8_t>& bytes, uint32_t baud) {
    if (baud == 57600 && Is(bytes, frames::kSwitchToNmea)) port.fail_writes = true;
  });
  hooked_.on_status = [&](const std::string& status) {
    if (status == "Firmware upgrade finished.") port.fail_writes = false;
  };
  EXPECT_EQ(UpgradeWorker(worker), 1);
  const Lines lines = sink.Lines();
  EXPECT_EQ(sink.BoxLines(), Lines{"Error: writefile fail!"});
  EXPECT_EQ(IndexOf(lines, "box Error: writefile fail!") + 1, IndexOf(lines, "status Firmware upgrade finished."));
  EXPECT_FALSE(Wrote(frames::kRmcRate));
  EXPECT_EQ(Text(port.writes.back().bytes), frames::kReset);
  EXPECT_EQ(Statuses().back(), "Finished!");
  EXPECT_TRUE(Recorded());
  EXPECT_FALSE(worker.finished);
}

TEST_F(WorkerFaultTest, AResetThatCannotOpenThePortIsReportedAndTheRunStillFinishes) {
  OpenPayloads();
  // The worker, probe and update channel at 115200 and at 57600, the read-back, then the reset.
  port.fail_open_number = 7;
  EXPECT_EQ(UpgradeWorker(worker), 1);
  const Lines lines = sink.Lines();
  EXPECT_EQ(sink.BoxLines(), Lines{"Error: Unable to open COM1:, Error No.=16"});
  EXPECT_EQ(IndexOf(lines, "status Reset GPS module...") + 1, IndexOf(lines, "box Error: Unable to open COM1:, Error No.=16"));
  EXPECT_FALSE(Wrote(frames::kReset));
  EXPECT_EQ(Statuses().back(), "Finished!");
  EXPECT_TRUE(Recorded());
  EXPECT_FALSE(worker.finished);
  EXPECT_EQ(worker.upgrade_running, 0);
}

TEST_F(WorkerFaultTest, AResetWhoseTimeoutsAreRefusedIsReportedAndTheRunStillFinishes) {
  OpenPayloads();
  hooked_.on_status = [&](const std::string& status) {
    if (status == "Reset GPS module...") port.refuse_timeouts = true;
  };
  EXPECT_EQ(UpgradeWorker(worker), 1);
  const Lines lines = sink.Lines();
  EXPECT_EQ(sink.BoxLines(), Lines{"Error: Unable to set the time-out parameters"});
  EXPECT_EQ(IndexOf(lines, "status Reset GPS module...") + 1,
            IndexOf(lines, "box Error: Unable to set the time-out parameters"));
  EXPECT_FALSE(Wrote(frames::kReset));
  EXPECT_TRUE(worker.probe_channel.IsOpen()) << "held until the probe channel's next close";
  EXPECT_EQ(Statuses().back(), "Finished!");
  EXPECT_TRUE(Recorded());
}

TEST_F(WorkerFaultTest, AVersionValueThatCannotBeSetIsIgnoredAndTheKeyStillClosed) {
  OpenPayloads();
  registry.fail_writes = true;
  EXPECT_EQ(UpgradeWorker(worker), 1);
  EXPECT_TRUE(sink.BoxLines().empty());
  EXPECT_EQ(Statuses().back(), "Finished!");
  EXPECT_FALSE(Recorded());
  EXPECT_EQ(registry.open_keys, 0);
}

class WorkerWithoutVersionKeyTest : public WorkerFaultTest {
 protected:
  void SetUp() override {}  // the installed-version key does not exist
};

TEST_F(WorkerWithoutVersionKeyTest, TheRecordIsLeftOutSilentlyAndTheRunFinishes) {
  OpenPayloads();
  EXPECT_EQ(UpgradeWorker(worker), 1);
  EXPECT_TRUE(sink.BoxLines().empty());
  EXPECT_EQ(Statuses().back(), "Finished!");
  EXPECT_EQ(registry.KeyCount(), 0u) << "the key is never created";
  EXPECT_EQ(registry.open_keys, 0);
}

// ---------------------------------------------------------------------------------------
// Firmware transfer: the loader upload on its own.

class LoaderStageFaultTest : public ChannelTest {
 protected:
  bool Upload(const std::string& image) {
    file_ = std::make_unique<TempFile>(image);
    EXPECT_TRUE(state.loader_file.Open(file_->path().string()));
    state.update_channel.Open();
    state.update_channel.ChangeSpeed(115200);
    return UploadLoader(state);
  }
  std::unique_ptr<TempFile> file_;
};

TEST_F(LoaderStageFaultTest, AHeaderAndATrailerWrittenShortAreReportedOnceEachAndTheStageGoesOn) {
  port.write_limit = 3;
  EXPECT_TRUE(Upload("abc"));
  EXPECT_EQ(sink.Lines(), (Lines{"status Transmitting target loader binary file..",
                                 "box Update: Error.. Incorrect upload of target loader file",
                                 "status 33%", "progress step-it", "status 66%", "progress step-it",
                                 "status 100%", "progress step-it",
                                 "box Update: Error.. Incorrect transmit to UART",
                                 "status Waiting...", "progress set-pos 0"}));
  ASSERT_EQ(port.writes.size(), 5u);
  EXPECT_EQ(Text(port.writes[1].bytes) + Text(port.writes[2].bytes) + Text(port.writes[3].bytes), "abc");
}

TEST_F(LoaderStageFaultTest, ImageBytesThatAreNotWrittenAreReportedAndThePercentagesStillStep) {
  port.write_limit = 0;  // every write succeeds and moves nothing
  EXPECT_TRUE(Upload("ab"));
  EXPECT_EQ(sink.Lines(), (Lines{"status Transmitting target loader binary file..",
                                 "box Update: Error.. Incorrect upload of target loader file",
                                 "box Update: Error.. Incorrect transmit to UART", "status 50%", "progress step-it",
                                 "box Update: Error.. Incorrect transmit to UART", "status 100%", "progress step-it",
                                 "box Update: Error.. Incorrect transmit to UART",
                                 "status Waiting...", "progress set-pos 0"}));
}

TEST_F(LoaderStageFaultTest, AnImageThatEndsEarlyStopsWithoutAStaleByteOrTheTrailer) {
  port.hear = [this](const std::vector<uint8_t>& bytes, uint32_t) {
    if (IsLoaderHeader(bytes)) fs::resize_file(file_->path(), 4);  // after its size was taken
  };
  EXPECT_FALSE(Upload("0123456789"));
  EXPECT_EQ(sink.Lines(), (Lines{"status Transmitting target loader binary file..",
                                 "status 10%", "progress step-it", "status 20%", "progress step-it",
                                 "status 30%", "progress step-it", "status 40%", "progress step-it",
                                 "box Update: Error.. Incorrect upload of target loader file",
                                 "status Waiting...", "progress set-pos 0"}));
  ASSERT_EQ(port.writes.size(), 5u) << "the header and the four bytes read: no stale byte, no trailer";
  EXPECT_EQ(Text(port.writes[4].bytes), "3");
}

TEST(PercentProgressFault, StaysRightWherePercentTimesBytesPassesThirtyTwoBits) {
  TestClock clock;
  FakeSerialPorts port{clock};
  RecordingSink sink;
  MemoryRegistry registry;
  ProgramState state{port, clock, sink, registry};
  PercentProgress progress(state);
  // 45,000,000 × 100 does not fit 32 bits.
  progress.Update(45'000'000, 90'000'000);
  progress.Update(89'999'999, 90'000'000);
  EXPECT_EQ(sink.Lines(), (Lines{"status 50%", "progress step-it", "status 99%", "progress step-it"}));
}

// ---------------------------------------------------------------------------------------
// Firmware transfer: the S-record stream on its own, against a loader that accepts every
// record it is sent.

class StreamFaultTest : public ChannelTest {
 protected:
  void SetUp() override {
    state.update_channel.Open();
    state.update_channel.ChangeSpeed(115200);
    port.hear = [this](const std::vector<uint8_t>& bytes, uint32_t) {
      if (on_record) on_record();
      if (bytes.size() > 1 && (bytes[1] == '7' || bytes[1] == '9')) return;
      pending_ += "S5\r\n";
    };
    port.talk = [this](uint32_t) { return std::exchange(pending_, std::string()); };
  }
  void OpenFile(const std::string& content) {
    file_ = std::make_unique<TempFile>(content);
    ASSERT_TRUE(state.srecord_file.Open(file_->path().string()));
  }
  Lines Sent() const {
    Lines records;
    for (const auto& w : port.writes) records.push_back(Text(w.bytes));
    return records;
  }
  std::function<void()> on_record;  // runs as the loader takes a record
  std::string pending_;
  std::unique_ptr<TempFile> file_;
};

enum class StreamFault {
  kNoFile,
  kHeadUnreadable,
  kHeadShort,
  kRestUnreadable,
  kRestShort,
  kCountAbove147,
  kWriteFails,
  kWriteShort,
  kAnswerUnreadable,
  kAnswerOverlong,
};

class StreamRecordFaultTest : public StreamFaultTest, public ::testing::WithParamInterface<StreamFault> {
 protected:
  void TearDown() override {
    if (pipe_writer_ >= 0) ::close(pipe_writer_);
  }
  int pipe_writer_ = -1;
};

TEST_P(StreamRecordFaultTest, ShowsItsBoxThenFirmwareUpdateFailedAndEndsTheStream) {
  const std::string good = std::string(kHeader) + kEnd;
  std::string box;
  size_t writes = 0;
  switch (GetParam()) {
    case StreamFault::kNoFile: box = "TransmitS_Record: Cannot read file"; break;
    case StreamFault::kHeadUnreadable:
      OpenFile(good);
      Substitute(file_->path(), UnreadableDescriptor(file_->folder()));
      box = "TransmitS_Record: Cannot receive from file";
      break;
    case StreamFault::kHeadShort:
      OpenFile("S0");
      box = "TransmitS_Record: Incorrect reception from file";
      break;
    case StreamFault::kRestUnreadable: {
      // The head arrives; the rest of the record is not there yet and the read fails.
      OpenFile(good);
      int ends[2];
      ASSERT_EQ(::pipe2(ends, O_NONBLOCK | O_CLOEXEC), 0);
      pipe_writer_ = ends[1];
      ASSERT_EQ(::write(ends[1], "S315", 4), 4);
      Substitute(file_->path(), ends[0]);
      box = "TransmitS_Record: *Cannot receive from file";
      break;
    }
    case StreamFault::kRestShort:
      OpenFile("S315000000");
      box = "TransmitS_Record: *Incorrect reception from file";
      break;
    case StreamFault::kCountAbove147:
      OpenFile("S394" + std::string(2 * 0x94 + 2, '0'));
      box = "TransmitS_Record: *Incorrect reception from file";
      break;
    case StreamFault::kWriteFails:
      OpenFile(good);
      port.fail_writes = true;
      box = "TransmitS_Record: Cannot transmit to UART";
      break;
    case StreamFault::kWriteShort:
      OpenFile(good);
      port.write_limit = 10;
      box = "TransmitS_Record: Incorrect transmission to UART";
      writes = 1;
      break;
    case StreamFault::kAnswerUnreadable:
      OpenFile(good);
      on_record = [this] { port.fail_reads = true; };
      box = "ReceiveTargetResponse: Cannot receive from UART";
      writes = 1;
      break;
    case StreamFault::kAnswerOverlong:
      OpenFile(good);
      on_record = [this] { port.over_report_reads = true; };
      box = "ReceiveTargetResponse: Incorrect reception from UART";
      writes = 1;
      break;
  }
  EXPECT_FALSE(StreamSRecords(state));
  EXPECT_EQ(sink.Lines(), (Lines{"status Transmitting target S-records file..", "box " + box,
                                 std::string("box ") + kStreamFailedBox}))
      << "no percentage and no 100%";
  EXPECT_EQ(port.writes.size(), writes);
}

std::string StreamFaultName(const ::testing::TestParamInfo<StreamFault>& fault) {
  switch (fault.param) {
    case StreamFault::kNoFile: return "NoFile";
    case StreamFault::kHeadUnreadable: return "HeadUnreadable";
    case StreamFault::kHeadShort: return "HeadShort";
    case StreamFault::kRestUnreadable: return "RestUnreadable";
    case StreamFault::kRestShort: return "RestShort";
    case StreamFault::kCountAbove147: return "CountAbove147";
    case StreamFault::kWriteFails: return "WriteFails";
    case StreamFault::kWriteShort: return "WriteShort";
    case StreamFault::kAnswerUnreadable: return "AnswerUnreadable";
    case StreamFault::kAnswerOverlong: return "AnswerOverlong";
  }
  return "?";
}

INSTANTIATE_TEST_SUITE_P(EachFault, StreamRecordFaultTest,
                         ::testing::Values(StreamFault::kNoFile, StreamFault::kHeadUnreadable, StreamFault::kHeadShort,
                                           StreamFault::kRestUnreadable, StreamFault::kRestShort,
                                           StreamFault::kCountAbove147, StreamFault::kWriteFails,
                                           StreamFault::kWriteShort, StreamFault::kAnswerUnreadable,
                                           StreamFault::kAnswerOverlong),
                         StreamFaultName);

TEST_F(StreamFaultTest, ARecordCountAbove147IsRefusedBeforeTheRestOfTheRecordIsRead) {
  OpenFile("S394" + std::string(kEnd));
  size_t written = 77;
  EXPECT_EQ(TransmitS_Record(state, written, kAnswerSeconds), 0);
  EXPECT_EQ(sink.BoxLines(), Lines{"TransmitS_Record: *Incorrect reception from file"});
  EXPECT_EQ(written, 77u) << "nothing was written";
  // The next head read takes the bytes right after the refused head: nothing else was read.
  EXPECT_EQ(TransmitS_Record(state, written, kAnswerSeconds), 2);
  EXPECT_EQ(Sent(), Lines{kEnd});
}

TEST_F(StreamFaultTest, AnAnswerWaitThatRunsOutOfTimeFailsTheRecordWithoutABox) {
  OpenFile(std::string(kHeader) + kEnd);
  port.talk = [](uint32_t) { return std::string(); };  // the loader stays silent
  size_t written = 0;
  EXPECT_EQ(TransmitS_Record(state, written, 3), 0);
  EXPECT_EQ(written, std::string(kHeader).size());
  EXPECT_TRUE(sink.Lines().empty()) << "a limit that passed shows nothing";
}

// Payload files that break the rules the stream relies on make it fail in its own ways.

TEST_F(StreamFaultTest, AFileThatDoesNotBeginWithARecordFailsTheStream) {
  OpenFile("\r\n" + std::string(kHeader) + kEnd);
  EXPECT_FALSE(StreamSRecords(state));
  EXPECT_EQ(sink.BoxLines(), (Lines{"TransmitS_Record: *Incorrect reception from file", kStreamFailedBox}));
  EXPECT_EQ(Sent(), (Lines{"\r\nS006", "000048"})) << "records are taken from the wrong bytes";
}

TEST_F(StreamFaultTest, LineEndsOfLineFeedAloneFailTheStream) {
  OpenFile("S00600004844521B\nS70500000000FA\n");
  EXPECT_FALSE(StreamSRecords(state));
  EXPECT_EQ(sink.BoxLines(), (Lines{"TransmitS_Record: *Incorrect reception from file", kStreamFailedBox}));
  EXPECT_EQ(Sent(), Lines{"S00600004844521B\nS"}) << "the termination record never goes out";
}

}  // namespace
}  // namespace larkspan::testing
