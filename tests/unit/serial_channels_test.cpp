// The two channels' line settings, time-outs, queues, control lines and messages, and the
// switch-to-NMEA frame's three failure messages.
#include <gtest/gtest.h>

#include <cerrno>

#include "receiver/command_frames.h"
#include "tests/unit/channel_fixture.h"

namespace larkspan::testing {
namespace {

using UpdateChannelTest = ChannelTest;
using ProbeChannelTest = ChannelTest;

// The control flags show in the "set-state" event; the frame both channels set is 8N1.
void ExpectEightNoneOne(const LineSettings& s) {
  EXPECT_EQ(s.length, 28u);
  EXPECT_EQ(s.byte_size, 8);
  EXPECT_EQ(s.parity, 0);
  EXPECT_EQ(s.stop_bits, 0);
}

TEST_F(UpdateChannelTest, OpensAt4800WithLinesLowAndOneSecondTimeouts) {
  state.update_channel.Open();
  ASSERT_TRUE(state.update_channel.IsOpen());
  EXPECT_EQ(port.EventTexts(), (Lines{"open COM1:", "set-state baud=4800 flags=0x0001",
                                      "set-timeouts 0,0,1000,0,1000", "queues 4096,4096"}));
  ExpectEightNoneOne(port.applied_states.at(0));
  EXPECT_EQ(port.applied_states.at(0).xon_limit, 0);
  EXPECT_TRUE(sink.Lines().empty());
}

TEST_F(UpdateChannelTest, SpeedChangeRewritesOnlyTheSpeedAndReopenGoesBackTo4800) {
  state.update_channel.Open();
  ASSERT_TRUE(state.update_channel.ChangeSpeed(115200));
  LineSettings expected = port.applied_states.at(0);
  expected.baud = 115200;
  EXPECT_EQ(port.applied_states.at(1), expected);

  port.events.clear();
  state.update_channel.Close();
  state.update_channel.Open();
  EXPECT_EQ(port.EventTexts(), (Lines{"escape clr-dtr", "escape clr-rts", "purge 0x000c", "close",
                                      "open COM1:", "set-state baud=4800 flags=0x0001",
                                      "set-timeouts 0,0,1000,0,1000", "queues 4096,4096"}));

  port.refuse_state = true;
  EXPECT_FALSE(state.update_channel.ChangeSpeed(38400));
  state.update_channel.Close();
  EXPECT_FALSE(state.update_channel.ChangeSpeed(38400)) << "a closed channel accepts nothing";
}

TEST_F(UpdateChannelTest, ReopeningDropsTheOldHandleWithoutClosingStepsAndClosingTwiceDoesNothing) {
  state.update_channel.Close();
  state.probe_channel.Close();
  EXPECT_TRUE(port.events.empty()) << "closing a channel that is not open";
  state.update_channel.Open();
  port.events.clear();
  state.update_channel.Open();
  const Lines events = port.EventTexts();
  EXPECT_EQ(Lines(events.begin(), events.begin() + 2), (Lines{"close", "open COM1:"}));
  EXPECT_TRUE(port.EventTexts("escape").empty());
}

TEST_F(UpdateChannelTest, HeldPortShowsOneMessageAndLaterWritesAndReadsFail) {
  port.open_error = EBUSY;
  state.update_channel.Open();
  EXPECT_FALSE(state.update_channel.IsOpen());
  EXPECT_EQ(sink.BoxLines(), (Lines{"Message: COM1 can't be opened."}));

  state.update_channel.Send(frames::Bytes(frames::kRmcRate));
  EXPECT_EQ(sink.BoxLines().back(), "Error: writefile fail!");
  uint8_t byte = 0;
  size_t count = 7;
  EXPECT_FALSE(state.update_channel.Read({&byte, 1}, count));
  EXPECT_EQ(count, 0u);
}

TEST_F(UpdateChannelTest, EveryRefusedSettingIsReportedAndThePortStaysOpen) {
  port.refuse_state = port.refuse_timeouts = port.refuse_queues = true;
  state.update_channel.Open();
  EXPECT_TRUE(state.update_channel.IsOpen());
  EXPECT_EQ(sink.BoxLines(), (Lines{"set uart: Error.. Cannot set UART control block",
                                    "set uart: Error.. Cannot set UART timeouts",
                                    "set uart: Error.. Cannot set UART buffers"}));
  state.update_channel.Close();
}

TEST_F(UpdateChannelTest, SendWritesExactlyTheBytesInOneWriteAndReportsAFailedCall) {
  state.update_channel.Open();
  state.update_channel.Send(frames::Bytes(frames::kSwitchToBinary));
  ASSERT_EQ(port.writes.size(), 1u);
  EXPECT_EQ(Text(port.writes[0].bytes), frames::kSwitchToBinary);
  EXPECT_EQ(port.writes[0].baud, 4800u);

  port.write_limit = 5;  // a short count is not checked
  state.update_channel.Send(frames::Bytes(frames::kRmcRate));
  EXPECT_TRUE(sink.BoxLines().empty());

  port.fail_writes = true;
  state.update_channel.Send(frames::Bytes(frames::kRmcRate));
  EXPECT_EQ(sink.BoxLines(), (Lines{"Error: writefile fail!"}));
  state.update_channel.Close();
}

TEST_F(UpdateChannelTest, AnEmptyReadWaitsOneSecond) {
  state.update_channel.Open();
  uint8_t byte = 0;
  size_t count = 9;
  const uint64_t before = clock.NowUs();
  EXPECT_TRUE(state.update_channel.Read({&byte, 1}, count));
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(clock.NowUs() - before, 1'000'000u);
  state.update_channel.Close();
}

TEST_F(ProbeChannelTest, OpensAtTheCallersSpeedWithLinesRaisedAndReadsThatNeverWait) {
  port.port_state.flags = 0xFFFF8000 | 0x0300;  // high bits and XON/XOFF the port had
  port.port_state.xon_limit = 2048;
  port.port_state.xoff_limit = 512;
  port.port_state.xon_char = 0x11;
  port.port_state.xoff_char = 0x13;
  port.port_state.byte_size = 7;
  port.port_state.parity = 2;

  ASSERT_TRUE(state.probe_channel.Open(u"COM1:", 57600));
  EXPECT_EQ(port.EventTexts(),
            (Lines{"open COM1:", "queues 512,512", "purge 0x000c", "get-state",
                   "set-state baud=57600 flags=0xffff9017", "get-timeouts",
                   "set-timeouts 4294967295,0,0,10,1000", "escape set-dtr", "escape set-rts"}));
  const LineSettings& s = port.applied_states.at(0);
  ExpectEightNoneOne(s);
  // Fields the probe does not set keep the port's values.
  EXPECT_EQ(s.xon_limit, 2048);
  EXPECT_EQ(s.xoff_limit, 512);
  EXPECT_EQ(s.xon_char, 0x11);
  EXPECT_EQ(s.xoff_char, 0x13);

  port.events.clear();
  state.probe_channel.Close();
  EXPECT_EQ(port.EventTexts(), (Lines{"escape clr-dtr", "escape clr-rts", "purge 0x000c", "close"}));
  EXPECT_TRUE(sink.Lines().empty());
}

TEST_F(ProbeChannelTest, OpenFailuresAreReportedAndALateFailureKeepsThePort) {
  for (const ProbeFault& fault : kProbeFaults) {
    SCOPED_TRACE(fault.name);
    port.open_error = 0;
    port.refuse_state = port.refuse_timeouts = false;
    port.events.clear();
    sink.Clear();
    fault.arrange(port);
    EXPECT_FALSE(state.probe_channel.Open(u"COM1:", 38400));
    EXPECT_EQ(sink.BoxLines(), Lines{fault.box});
    EXPECT_EQ(state.probe_channel.IsOpen(), fault.port_held) << "a late failure keeps the port";
    EXPECT_TRUE(port.EventTexts("escape set").empty()) << "lines are not raised after a failure";
    state.probe_channel.Close();
  }
}

TEST_F(ProbeChannelTest, SendTextWritesTheCharactersWithoutTheNulAndIgnoresFailure) {
  ASSERT_TRUE(state.probe_channel.Open(u"COM1:", 38400));
  state.probe_channel.SendText("AB\r\n");
  ASSERT_EQ(port.writes.size(), 1u);
  EXPECT_EQ(port.writes[0].bytes, (std::vector<uint8_t>{'A', 'B', '\r', '\n'}));
  port.fail_writes = true;
  state.probe_channel.SendText("C");
  EXPECT_TRUE(sink.Lines().empty());
  state.probe_channel.Close();
}

TEST_F(ProbeChannelTest, SwitchToNmeaFrameGoesOutWholeOrSaysWhatWentWrong) {
  state.probe_channel.SendSwitchToNmeaFrame();
  EXPECT_EQ(sink.BoxLines(), (Lines{"Message: Error.. COM had not be opened"}));
  EXPECT_TRUE(port.writes.empty());

  ASSERT_TRUE(state.probe_channel.Open(u"COM1:", 115200));
  sink.Clear();
  state.probe_channel.SendSwitchToNmeaFrame();
  ASSERT_EQ(port.writes.size(), 1u);
  EXPECT_TRUE(Is(port.writes[0].bytes, frames::kSwitchToNmea));
  EXPECT_EQ(port.writes[0].baud, 115200u);
  EXPECT_TRUE(sink.Lines().empty());

  port.write_limit = 31;
  state.probe_channel.SendSwitchToNmeaFrame();
  EXPECT_EQ(sink.BoxLines(), (Lines{"Message: Error.. Incorrect transmission to UART"}));

  sink.Clear();
  port.fail_writes = true;
  state.probe_channel.SendSwitchToNmeaFrame();
  EXPECT_EQ(sink.BoxLines(), (Lines{"Message: Error.. Cannot transmit to UART",
                                    "Message: Error.. Incorrect transmission to UART"}));
  state.probe_channel.Close();
}

}  // namespace
}  // namespace larkspan::testing
