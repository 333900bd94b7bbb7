// The NMEA revert attempt, the check-and-repair routine and the receiver reset, against a
// scripted receiver that obeys the switch-to-NMEA frame only at its own binary speed.
#include <gtest/gtest.h>

#include <cerrno>

#include "receiver/command_frames.h"
#include "receiver/recovery.h"
#include "tests/unit/channel_fixture.h"
#include "tests/unit/temp_file.h"

namespace larkspan::testing {
namespace {

constexpr char kVersionLine[] = "$PSRFTXT,Version: 2.3.2.03.07-GSW2\r\n";

class RecoveryTest : public ChannelTest {
 protected:
  // The receiver starts in SiRF binary at `binary_speed`; after the switch-to-NMEA frame at
  // that speed it talks NMEA at 4800 (version line or, with `only_other`, other sentences).
  void ReceiverInBinaryAt(uint32_t binary_speed, bool only_other = false) {
    port.hear = [this, binary_speed](const std::vector<uint8_t>& bytes, uint32_t baud) {
      if (baud == binary_speed && Is(bytes, frames::kSwitchToNmea)) nmea_ = true;
    };
    port.talk = [this, only_other](uint32_t baud) {
      if (!nmea_ || baud != 4800) return std::string();
      return std::string(only_other ? "$GPGGA,123519,4807.038,N\r\n" : kVersionLine);
    };
  }
  // A receiver already back in NMEA: it says its version at 4800 whatever was sent.
  void ReceiverInNmea() {
    ReceiverInBinaryAt(0);
    nmea_ = true;
  }
  std::vector<uint32_t> FrameSpeeds() const {
    std::vector<uint32_t> speeds;
    for (const auto& w : port.writes) speeds.push_back(w.baud);
    return speeds;
  }
  double SecondsBetween(const std::string& a, size_t na, const std::string& b, size_t nb) const {
    return static_cast<double>(port.TimeOf(b, nb) - port.TimeOf(a, na)) / 1e6;
  }
  bool nmea_ = false;
};

TEST_F(RecoveryTest, AttemptSendsTheFrameAtItsSpeedThenListensAt4800) {
  ReceiverInBinaryAt(38400);
  state.update_channel.Open();
  port.events.clear();

  EXPECT_EQ(AttemptNmeaRevert(state, 38400), AttemptResult::kVersionSeen);
  EXPECT_EQ(port.EventTexts(),
            (Lines{"escape clr-dtr", "escape clr-rts", "purge 0x000c", "close",  // update channel
                   "open COM1:", "queues 512,512", "purge 0x000c", "get-state",
                   "set-state baud=38400 flags=0x1017", "get-timeouts",
                   "set-timeouts 4294967295,0,0,10,1000", "escape set-dtr", "escape set-rts",
                   "write 32",                                                    // the frame
                   "escape clr-dtr", "escape clr-rts", "purge 0x000c", "close",  // probe channel
                   "open COM1:", "set-state baud=4800 flags=0x0001", "set-timeouts 0,0,1000,0,1000",
                   "queues 4096,4096"}));
  // Each of the three waits lasts two to three seconds.
  for (auto [from, n_from, to, n_to] : {std::tuple{"close", 0, "open", 0}, std::tuple{"open", 0, "write", 0},
                                        std::tuple{"write", 0, "close", 1}}) {
    const double gap = SecondsBetween(from, n_from, to, n_to);
    EXPECT_GE(gap, 2.0) << from << " -> " << to;
    EXPECT_LE(gap, 3.05) << from << " -> " << to;
  }
  EXPECT_EQ(state.current_version, u"PSRFTXT,Version: 2.3.2.03.07-GSW2\r");
  EXPECT_TRUE(state.update_channel.IsOpen());
  EXPECT_EQ(port.baud, 4800u);
  EXPECT_FALSE(state.probe_channel.IsOpen());
  EXPECT_TRUE(sink.Lines().empty());
}

TEST_F(RecoveryTest, RepairTriesEachSpeedTwiceAndStopsAtTheFirstVersion) {
  struct Case {
    uint32_t binary_speed;
    bool only_other;
    std::vector<uint32_t> tried;
  };
  for (const Case& c : {Case{38400, false, {38400}}, Case{57600, false, {38400, 38400, 57600}},
                        Case{38400, true, {38400, 38400, 57600, 57600}}}) {  // no version line ever comes
    SCOPED_TRACE(c.tried.size());
    port.writes.clear();
    state.finished = false;
    nmea_ = false;
    ReceiverInBinaryAt(c.binary_speed, c.only_other);
    const uint64_t start = clock.NowUs();
    EXPECT_EQ(CheckAndRepair(state), !c.only_other);
    EXPECT_EQ(FrameSpeeds(), c.tried) << "no attempt after the version";
    // Each attempt: three waits and a check window, well under 84 s for four.
    EXPECT_LE(static_cast<double>(clock.NowUs() - start) / 1e6, c.tried.size() * (3 * 3 + 12.0));
    EXPECT_TRUE(sink.Lines().empty()) << "the Repair command turns the result into its status";
    EXPECT_EQ(port.open_handles, 0);
    EXPECT_TRUE(state.finished);
  }
}

// A probe channel that cannot be opened or configured ends the repair at its first attempt;
// the closing steps still release the port and the payload files and raise the finished flag.
class RepairProbeFaultTest : public RecoveryTest, public ::testing::WithParamInterface<ProbeFault> {};

TEST_P(RepairProbeFaultTest, EndsTheRepairAtTheFirstAttemptWithItsBoxAndStillFinishes) {
  TempFile loader("loader");
  ASSERT_TRUE(state.loader_file.Open(loader.path().string()));
  GetParam().arrange(port);
  EXPECT_FALSE(CheckAndRepair(state));
  EXPECT_EQ(sink.Lines(), Lines{std::string("box ") + GetParam().box});
  EXPECT_EQ(port.opens, 1) << "no further attempt, not even at 57600";
  EXPECT_TRUE(port.writes.empty());
  EXPECT_FALSE(state.loader_file.IsOpen());
  EXPECT_EQ(port.open_handles, 0) << "the closing steps release a half-opened probe";
  EXPECT_LE(port.max_open_handles, 1) << "the two channels were never open together";
  EXPECT_TRUE(state.finished);
}

INSTANTIATE_TEST_SUITE_P(EachProbeFault, RepairProbeFaultTest, ::testing::ValuesIn(kProbeFaults),
                         CaseName<ProbeFault>);

TEST_F(RecoveryTest, AFrameThatFailsOrGoesOutShortIsReportedAndTheAttemptStillListens) {
  ReceiverInNmea();
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

TEST_F(RecoveryTest, AnUpdateChannelThatFailsToReopenIsReportedAndTheAttemptSeesNoVersion) {
  ReceiverInNmea();
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

TEST_F(RecoveryTest, ResetSendsTheSentenceOnItsOwnTermsAndHoldsThePortFiveSeconds) {
  ASSERT_TRUE(state.probe_channel.ResetReceiver());
  EXPECT_EQ(port.EventTexts(), (Lines{"open COM1:", "set-state baud=4800 flags=0x0093", "get-timeouts",
                                      "set-timeouts 250,100,10,0,0", "write 61", "close"}));
  const LineSettings& s = state.probe_channel.reset_settings();
  EXPECT_EQ(s.length, 0u) << "the reset never sets the record length";
  EXPECT_EQ(s.byte_size, 8);
  EXPECT_EQ(Text(port.writes.at(0).bytes), frames::kReset);
  EXPECT_EQ(port.TimeOf("write") - port.TimeOf("open"), 100'000u);
  const uint64_t sentence_us = 61 * 10'000'000ull / 4800;
  EXPECT_EQ(port.TimeOf("close") - port.TimeOf("write"), sentence_us + 5'000'000u);
  EXPECT_TRUE(sink.Lines().empty());

  port.fail_writes = true;  // a failed write still counts as sent
  EXPECT_TRUE(state.probe_channel.ResetReceiver());
  EXPECT_TRUE(sink.Lines().empty());
}

TEST_F(RecoveryTest, ResetReportsAPortItCannotOpenOrConfigure) {
  port.open_error = EACCES;
  EXPECT_FALSE(state.probe_channel.ResetReceiver());
  EXPECT_EQ(sink.BoxLines(), (Lines{"Error: Unable to open COM1:, Error No.=13"}));

  port.open_error = 0;
  port.refuse_timeouts = true;
  sink.Clear();
  EXPECT_FALSE(state.probe_channel.ResetReceiver());
  EXPECT_EQ(sink.BoxLines(), (Lines{"Error: Unable to set the time-out parameters"}));
  EXPECT_TRUE(state.probe_channel.IsOpen()) << "held until the next close of the probe channel";
  EXPECT_TRUE(port.writes.empty());
  state.probe_channel.Close();
  EXPECT_EQ(port.open_handles, 0);
}

}  // namespace
}  // namespace larkspan::testing
