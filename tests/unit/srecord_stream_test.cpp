// The S-record stream against a scripted loader: records go out whole, answers are judged
// on the three bytes before the line feed, and every failure ends the stream in its own box.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <map>

#include "transfer/srecord_stream.h"
#include "tests/unit/channel_fixture.h"
#include "tests/unit/temp_file.h"

namespace larkspan::testing {
namespace {

constexpr char kHeader[] = "S00600004844521B\r\n";
constexpr char kData[] = "S3150000000000112233445566778899AABBCCDDEEFF6A\r\n";
constexpr char kEnd[] = "S70500000000FA\r\n";
constexpr char kStreamFailedBox[] = "Update: Firmware update failed!";

class StreamTest : public ChannelTest {
 protected:
  void SetUp() override {
    state.update_channel.Open();
    state.update_channel.ChangeSpeed(115200);
    // The loader answers each record other than a termination record with the next scripted
    // answer (default "S5\r\n").
    port.hear = [this](const std::vector<uint8_t>& bytes, uint32_t) {
      if (on_record) on_record();
      if (bytes.size() > 1 && (bytes[1] == '7' || bytes[1] == '9')) return;
      pending_ += answers_.empty() ? std::string("S5\r\n") : answers_.front();
      if (!answers_.empty()) answers_.pop_front();
    };
    port.talk = [this](uint32_t) { return std::exchange(pending_, std::string()); };
  }
  void OpenFile(const std::string& content) {
    state.srecord_file.Close();
    file_ = std::make_unique<TempFile>(content);
    ASSERT_TRUE(state.srecord_file.Open(file_->path().string()));
  }
  Lines Sent() const {
    Lines records;
    for (const auto& w : port.writes) records.push_back(Text(w.bytes));
    return records;
  }
  std::function<void()> on_record;  // runs as the loader takes a record
  std::deque<std::string> answers_;
  std::string pending_;
  std::unique_ptr<TempFile> file_;
};

TEST_F(StreamTest, SendsEachRecordWholeAndEndsAtTheTerminationRecord) {
  struct Case {
    std::string file;
    Lines sent;
  };
  for (const Case& c : {Case{std::string(kHeader) + kData + kEnd + "S1junk after the end\r\n", {kHeader, kData, kEnd}},
                        Case{std::string(kHeader) + "S9030000FC\r\n", {kHeader, "S9030000FC\r\n"}},
                        Case{"S804000000FB\r\n" + std::string(kEnd), {"S804000000FB\r\n", kEnd}},  // 8 is data
                        Case{"S30d00000000001122334455667788\r\n" + std::string(kEnd),  // lower-case count digits
                             {"S30d00000000001122334455667788\r\n", kEnd}}}) {
    SCOPED_TRACE(c.file);
    sink.Clear();
    port.writes.clear();
    OpenFile(c.file);
    EXPECT_TRUE(StreamSRecords(state));
    EXPECT_EQ(Sent(), c.sent);
    const Lines lines = sink.Lines();
    EXPECT_EQ(lines.front(), "status Transmitting target S-records file..");
    EXPECT_EQ(Lines(lines.end() - 2, lines.end()), (Lines{"status 100%", "progress step-it"}));
    EXPECT_TRUE(sink.BoxLines().empty());
  }
}

TEST_F(StreamTest, PercentagesFollowTheBytesSent) {
  std::string file = kHeader;
  for (int i = 0; i < 300; ++i) file += kData;
  OpenFile(file + kEnd);
  EXPECT_TRUE(StreamSRecords(state));
  Lines expected = {"Transmitting target S-records file.."};  // then 1% .. 99%, and "100%" at the end
  for (int i = 1; i <= 100; ++i) expected.push_back(std::to_string(i) + "%");
  EXPECT_EQ(sink.Statuses(), expected);
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

TEST_F(StreamTest, AnAnswerWaitThatRunsOutOfTimeFailsTheRecordWithoutABox) {
  // Line feeds at index 0, then 1, then "S5" with its LF at 2: none is an answer.
  pending_ = "\nS\nS5\n";
  const uint64_t start = clock.NowUs();
  EXPECT_EQ(ReceiveTargetResponse(state, 3), 2);  // a short limit, so the silent wait ends with 2
  EXPECT_GE(clock.NowUs() - start, 3'000'000u);

  OpenFile(std::string(kHeader) + kEnd);
  port.talk = nullptr;  // the loader stays silent
  size_t written = 0;
  EXPECT_EQ(TransmitS_Record(state, written, 3), 0);
  EXPECT_EQ(written, std::string(kHeader).size());
  EXPECT_TRUE(sink.Lines().empty()) << "a limit that passed shows nothing";
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

// Each failure of a record: its box, then the stream's, and nothing after them.
class StreamRecordFaultTest : public StreamTest, public ::testing::WithParamInterface<const char*> {
 protected:
  void TearDown() override {
    if (pipe_writer_ >= 0) ::close(pipe_writer_);
  }
  int pipe_writer_ = -1;
};

TEST_P(StreamRecordFaultTest, ShowsItsBoxThenFirmwareUpdateFailedAndEndsTheStream) {
  const std::string good = std::string(kHeader) + kEnd;
  const std::string count_148 = "S394" + std::string(2 * 0x94 + 2, '0');
  // The head arrives; the rest of the record is not there yet and the read fails.
  const auto rest_unreadable = [&] {
    OpenFile(good);
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_NONBLOCK | O_CLOEXEC), 0);
    pipe_writer_ = ends[1];
    ASSERT_EQ(::write(ends[1], "S315", 4), 4);
    file_->HoldInstead(ends[0]);
  };
  struct Fault {
    std::function<void()> arrange;
    std::string box;
    Lines before;  // what the stream shows between its title and the box
    size_t writes;
  };
  const std::map<std::string, Fault> faults = {
      {"NoFile", {[] {}, "TransmitS_Record: Cannot read file", {}, 0}},
      {"HeadUnreadable",
       {[&] { OpenFile(good); file_->BreakReads(); }, "TransmitS_Record: Cannot receive from file", {}, 0}},
      {"HeadShort", {[&] { OpenFile("S0"); }, "TransmitS_Record: Incorrect reception from file", {}, 0}},
      {"NoTermination",
       {[&] { OpenFile(kHeader); }, "TransmitS_Record: Incorrect reception from file",
        {"status 100%", "progress step-it"}, 1}},
      {"RestUnreadable", {rest_unreadable, "TransmitS_Record: *Cannot receive from file", {}, 0}},
      {"RestShort", {[&] { OpenFile("S315000000"); }, "TransmitS_Record: *Incorrect reception from file", {}, 0}},
      {"CountAbove147", {[&] { OpenFile(count_148); }, "TransmitS_Record: *Incorrect reception from file", {}, 0}},
      {"WriteFails",
       {[&] { OpenFile(good); port.fail_writes = true; }, "TransmitS_Record: Cannot transmit to UART", {}, 0}},
      {"WriteShort",
       {[&] { OpenFile(good); port.write_limit = 10; }, "TransmitS_Record: Incorrect transmission to UART", {}, 1}},
      {"Rejected",
       {[&] { OpenFile(good); answers_ = {"SE\r\n"}; }, "Response: Bad S-record transfer.Try Upload again.", {}, 1}},
      {"AnswerUnreadable",
       {[&] { OpenFile(good); on_record = [this] { port.fail_reads = true; }; },
        "ReceiveTargetResponse: Cannot receive from UART", {}, 1}},
      {"AnswerOverlong",
       {[&] { OpenFile(good); on_record = [this] { port.over_report_reads = true; }; },
        "ReceiveTargetResponse: Incorrect reception from UART", {}, 1}},
  };
  const Fault& fault = faults.at(GetParam());
  fault.arrange();
  EXPECT_FALSE(StreamSRecords(state));
  Lines shown = {"status Transmitting target S-records file.."};
  shown.insert(shown.end(), fault.before.begin(), fault.before.end());
  shown.push_back("box " + fault.box);
  shown.push_back(std::string("box ") + kStreamFailedBox);
  EXPECT_EQ(sink.Lines(), shown) << "no percentage and no 100% after the failure";
  EXPECT_EQ(port.writes.size(), fault.writes);
}

INSTANTIATE_TEST_SUITE_P(EachFault, StreamRecordFaultTest,
                         ::testing::Values("NoFile", "HeadUnreadable", "HeadShort", "NoTermination", "RestUnreadable",
                                           "RestShort", "CountAbove147", "WriteFails", "WriteShort", "Rejected",
                                           "AnswerUnreadable", "AnswerOverlong"),
                         [](const auto& fault) { return std::string(fault.param); });

TEST_F(StreamTest, ARecordCountAbove147IsRefusedBeforeTheRestOfTheRecordIsRead) {
  OpenFile("S394" + std::string(kEnd));
  size_t written = 77;
  EXPECT_EQ(TransmitS_Record(state, written, kAnswerSeconds), 0);
  EXPECT_EQ(sink.BoxLines(), Lines{"TransmitS_Record: *Incorrect reception from file"});
  EXPECT_EQ(written, 77u) << "nothing was written";
  // The next head read takes the bytes right after the refused head: nothing else was read.
  EXPECT_EQ(TransmitS_Record(state, written, kAnswerSeconds), 2);
  EXPECT_EQ(Sent(), Lines{kEnd});
}

// Payload files that break the rules the stream relies on make it fail in their own ways.
TEST_F(StreamTest, FilesThatBreakTheRecordRulesFailTheStream) {
  struct Case {
    const char* fault;
    std::string file;
    Lines sent;
  };
  for (const Case& c :
       {Case{"not beginning with a record", "\r\n" + std::string(kHeader) + kEnd, {"\r\nS006", "000048"}},
        Case{"line ends of LF alone", "S00600004844521B\nS70500000000FA\n", {"S00600004844521B\nS"}}}) {
    SCOPED_TRACE(c.fault);
    sink.Clear();
    port.writes.clear();
    OpenFile(c.file);
    EXPECT_FALSE(StreamSRecords(state));
    EXPECT_EQ(sink.BoxLines(), (Lines{"TransmitS_Record: *Incorrect reception from file", kStreamFailedBox}));
    EXPECT_EQ(Sent(), c.sent) << "records are taken from the wrong bytes; the termination record never goes out";
  }
}

TEST(HexDigitValue, ReadsEitherCaseAndOnlyTheLowByte) {
  for (const auto& [c, value] : std::map<int, int>{{'0', 0}, {'9', 9}, {'A', 10}, {'f', 15}, {'G', 0}, {0x100 + 'B', 11}, {-1, 0}}) {
    EXPECT_EQ(HexDigitValue(c), value) << c;
  }
}

}  // namespace
}  // namespace larkspan::testing
