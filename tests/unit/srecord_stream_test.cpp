// The S-record stream against a scripted loader: records go out whole, answers are judged
// on the three bytes before the line feed, and every failure ends the stream in its own box.
#include <gtest/gtest.h>

#include <deque>

#include "transfer/srecord_stream.h"
#include "tests/unit/channel_fixture.h"
#include "tests/unit/temp_file.h"

namespace larkspan::testing {
namespace {

constexpr char kHeader[] = "S00600004844521B\r\n";
constexpr char kData[] = "S3150000000000112233445566778899AABBCCDDEEFF6A\r\n";
constexpr char kEnd[] = "S70500000000FA\r\n";

class StreamTest : public ChannelTest {
 protected:
  void SetUp() override {
    state.update_channel.Open();
    state.update_channel.ChangeSpeed(115200);
    // The loader answers each record other than a termination record with the next scripted
    // answer (default "S5\r\n").
    port.hear = [this](const std::vector<uint8_t>& bytes, uint32_t) {
      if (bytes.size() > 1 && (bytes[1] == '7' || bytes[1] == '9')) return;
      pending_ += answers_.empty() ? std::string("S5\r\n") : answers_.front();
      if (!answers_.empty()) answers_.pop_front();
    };
    port.talk = [this](uint32_t) { return std::exchange(pending_, std::string()); };
  }
  void OpenFile(const std::string& content) {
    file_ = std::make_unique<TempFile>(content);
    ASSERT_TRUE(state.srecord_file.Open(file_->path().string()));
  }
  std::vector<std::string> Sent() const {
    std::vector<std::string> records;
    for (const auto& w : port.writes) records.emplace_back(w.bytes.begin(), w.bytes.end());
    return records;
  }
  std::deque<std::string> answers_;
  std::string pending_;
  std::unique_ptr<TempFile> file_;
};

TEST_F(StreamTest, SendsEachRecordWholeAndEndsAtTheTerminationRecord) {
  OpenFile(std::string(kHeader) + kData + kEnd + "S1junk after the end\r\n");
  EXPECT_TRUE(StreamSRecords(state));
  EXPECT_EQ(Sent(), (Lines{kHeader, kData, kEnd}));
  const auto lines = sink.Lines();
  EXPECT_EQ(lines.front(), "status Transmitting target S-records file..");
  EXPECT_EQ(lines[lines.size() - 2], "status 100%");
  EXPECT_EQ(lines.back(), "progress step-it");
  EXPECT_TRUE(sink.BoxLines().empty());
}

TEST_F(StreamTest, PercentagesFollowTheBytesSent) {
  std::string file = kHeader;
  for (int i = 0; i < 300; ++i) file += kData;
  file += kEnd;
  OpenFile(file);
  EXPECT_TRUE(StreamSRecords(state));
  const std::vector<std::string> statuses = sink.Statuses();
  ASSERT_EQ(statuses.size(), 1 + 99 + 1u);  // title, 1% .. 99%, then "100%" at the end
  EXPECT_EQ(statuses[1], "1%");
  EXPECT_EQ(statuses[99], "99%");
  EXPECT_EQ(statuses[100], "100%");
}

TEST_F(StreamTest, TerminationTypesSevenAndNineEndTheStreamAndEightIsData) {
  OpenFile(std::string(kHeader) + "S9030000FC\r\n");
  EXPECT_TRUE(StreamSRecords(state));
  EXPECT_EQ(port.EventTexts("write").size(), 2u);

  port.writes.clear();
  state.srecord_file.Close();
  OpenFile("S804000000FB\r\n" + std::string(kEnd));
  EXPECT_TRUE(StreamSRecords(state));
  EXPECT_EQ(Sent(), (Lines{"S804000000FB\r\n", kEnd})) << "type 8 waited for its answer";
}

TEST_F(StreamTest, AnswersAreJudgedOnTheThreeBytesBeforeTheLineFeed) {
  struct Case {
    std::string answer;
    int result;
  };
  for (const Case& c : {Case{"S5\r\n", 1}, Case{"SA\r\n", 1}, Case{"SAx\n", 1},
                        Case{"$GPGGA,1,2*00\r\nLoader says S5\r\n", 1}, Case{"\n\nS\nS5\r\n", 1},
                        Case{std::string(300, 'x') + "S5\r\n", 1},  // wraps after index 299
                        Case{"SE\r\n", 0}}) {
    SCOPED_TRACE(c.answer);
    pending_ = c.answer;
    sink.Clear();
    EXPECT_EQ(ReceiveTargetResponse(state, kAnswerSeconds), c.result);
    EXPECT_EQ(sink.BoxLines(),
              c.result == 1 ? Lines{} : Lines{"Response: Bad S-record transfer.Try Upload again."});
  }
}

TEST_F(StreamTest, LineFeedsAtIndexZeroToTwoAreNotAnswers) {
  pending_ = "\nS\nS5\n";  // a line feed at index 0, then at 1, then "S5" with the LF at 2
  port.talk = [this](uint32_t) { return std::exchange(pending_, std::string()); };
  const uint64_t start = clock.NowUs();
  EXPECT_EQ(ReceiveTargetResponse(state, 3), 2);  // a short limit, so the silent wait ends with 2
  EXPECT_GE(clock.NowUs() - start, 3'000'000u);
}

TEST_F(StreamTest, SixteenEmptyReadsAreToleratedAndTheSeventeenthEndsTheUpdater) {
  int empty_reads = 0;
  port.talk = [&](uint32_t) {
    if (empty_reads++ < 16) return std::string();
    return std::string("S5\r\n");
  };
  EXPECT_EQ(ReceiveTargetResponse(state, kAnswerSeconds), 1);
  EXPECT_TRUE(sink.Lines().empty());

  port.talk = nullptr;
  EXPECT_EQ(ReceiveTargetResponse(state, kAnswerSeconds), 0);
  EXPECT_EQ(sink.Lines(), (Lines{"box Time Out: Cannot receive data from GPS module. Please restart application again!",
                                 "end 1"}));
  EXPECT_FALSE(state.update_channel.IsOpen());
  EXPECT_FALSE(state.probe_channel.IsOpen());
}

TEST_F(StreamTest, RecordFaultsEachShowTheirBoxThenStreamFailed) {
  struct Case {
    std::string file;
    std::string box;
  };
  const std::string too_long = "S394" + std::string(2 * 0x94 + 2, '0');  // count 148
  for (const Case& c : {Case{"", "TransmitS_Record: Incorrect reception from file"},
                        Case{kHeader, "TransmitS_Record: Incorrect reception from file"},  // no termination
                        Case{"S315000000", "TransmitS_Record: *Incorrect reception from file"},
                        Case{too_long, "TransmitS_Record: *Incorrect reception from file"}}) {
    SCOPED_TRACE(c.file.substr(0, 20));
    sink.Clear();
    port.writes.clear();
    state.srecord_file.Close();
    OpenFile(c.file);
    EXPECT_FALSE(StreamSRecords(state));
    const auto boxes = sink.BoxLines();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0], c.box);
    EXPECT_EQ(boxes[1], "Update: Firmware update failed!");
  }
  EXPECT_TRUE(port.writes.empty()) << "a record over 147 is refused before it is read or sent";

  sink.Clear();
  state.srecord_file.Close();
  EXPECT_EQ(StreamSRecords(state), false);
  EXPECT_EQ(sink.BoxLines().front(), "TransmitS_Record: Cannot read file");
}

TEST_F(StreamTest, RejectedRecordAndFailedWritesEndTheStream) {
  answers_ = {"S5\r\n", "SE\r\n"};
  OpenFile(std::string(kHeader) + kData + kData + kEnd);
  EXPECT_FALSE(StreamSRecords(state));
  EXPECT_EQ(sink.BoxLines(), (Lines{"Response: Bad S-record transfer.Try Upload again.", "Update: Firmware update failed!"}));
  EXPECT_EQ(port.writes.size(), 2u);

  sink.Clear();
  state.srecord_file.Close();
  OpenFile(std::string(kHeader) + kEnd);
  port.write_limit = 10;
  EXPECT_FALSE(StreamSRecords(state));
  EXPECT_EQ(sink.BoxLines().front(), "TransmitS_Record: Incorrect transmission to UART");
  port.write_limit.reset();
  port.fail_writes = true;
  sink.Clear();
  state.srecord_file.Close();
  OpenFile(std::string(kHeader) + kEnd);
  EXPECT_FALSE(StreamSRecords(state));
  EXPECT_EQ(sink.BoxLines().front(), "TransmitS_Record: Cannot transmit to UART");
}

TEST_F(StreamTest, LowerCaseCountDigitsReadLikeUpperCase) {
  OpenFile("S30d00000000001122334455667788\r\n" + std::string(kEnd));
  EXPECT_TRUE(StreamSRecords(state));
  EXPECT_EQ(Sent().at(0).size(), 4 + (0x0d + 1) * 2u);
}

TEST(HexDigitValue, ReadsEitherCaseAndOnlyTheLowByte) {
  EXPECT_EQ(HexDigitValue('0'), 0);
  EXPECT_EQ(HexDigitValue('9'), 9);
  EXPECT_EQ(HexDigitValue('A'), 10);
  EXPECT_EQ(HexDigitValue('f'), 15);
  EXPECT_EQ(HexDigitValue('G'), 0);
  EXPECT_EQ(HexDigitValue(0x100 + 'B'), 11);
  EXPECT_EQ(HexDigitValue(-1), 0);
}

}  // namespace
}  // namespace larkspan::testing
