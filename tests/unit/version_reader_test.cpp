// The version readers: which lines they accept, what they store, how long their windows
// last on the seconds clock, and the start-up read's retry and message.
#include <gtest/gtest.h>

#include "receiver/version_reader.h"
#include "tests/unit/channel_fixture.h"

namespace larkspan::testing {
namespace {

std::span<const uint8_t> Line(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

TEST(VersionLines, TheReaderAndTheCheckTakeTheirTextOnlyFromVersionLines) {
  struct Case {
    std::string_view line;
    std::optional<WideText> reader = std::nullopt, check = std::nullopt;  // nothing: not accepted
  };
  const std::string stale = "$PSRFTXT,Version 9\n:junk-";  // bytes beyond the line, as left in a reused buffer
  for (const Case& c : {
           // A V line: the text between colon and dash to the reader, the whole line to the check.
           Case{"$PSRFTXT,Version: 2.3.2.03.07-GSW2-2.05\r", u" 2.3.2.03.07", u"PSRFTXT,Version: 2.3.2.03.07-GSW2-2.05\r"},
           // The colon is searched only after index 9, the dash only after the colon.
           Case{"$A-:4567:V-:x-y", u"x", u"A-:4567:V-:x-y"},
           Case{"$PSRFTXT,V:-\r", u"", u"PSRFTXT,V:-\r"},
           // No ":" after index 9: not a version report for the reader, which keeps listening.
           Case{"$PSRFTXT,Version 2.3\r", std::nullopt, u"PSRFTXT,Version 2.3\r"},
           Case{std::string_view(stale).substr(0, stale.find('\n')), std::nullopt, u"PSRFTXT,Version 9"},
           // A ":" but no "-": the text runs to the end of the line, without its carriage return.
           Case{"$PSRFTXT,Version: 2.3.2\r", u" 2.3.2", u"PSRFTXT,Version: 2.3.2\r"},
           Case{"$PSRFTXT,Version:", u"", u"PSRFTXT,Version:"},
           // An M line is taken whole first, even with a V at index 9, and keeps its carriage return.
           Case{"$MSG,ABCDVersion:1-2\r", u"MSG,ABCDVersion:1-2\r", u"MSG,ABCDVersion:1-2\r"},
           Case{"$M", u"M", u"M"},
           Case{"x$PSRFTXT,Version: 1-2\r"},  // stray byte before "$"
           Case{"x$MVersion 1\r"},
           Case{"$GPGGA,123519,4807.038,N,01131.000,E,1,08\r"},
           Case{"$PSRFTXTV"},  // line feed at index 9: too short
           Case{"$"}, Case{""}, Case{"M"}, Case{"\r"}}) {
    EXPECT_EQ(VersionReaderText(Line(c.line)), c.reader) << c.line;
    EXPECT_EQ(VersionCheckText(Line(c.line)), c.check) << c.line;
  }
}

TEST(VersionLines, LineBufferWrapsAtThreeHundredBytes) {
  LineBuffer buffer;
  std::string input(300, 'x');  // the first 300 bytes of an overlong line are lost
  input += "$MVersion\r\n";
  std::optional<std::span<const uint8_t>> line;
  for (char c : input) {
    ASSERT_FALSE(line) << "a line ended early";
    line = buffer.Add(static_cast<uint8_t>(c));
  }
  ASSERT_TRUE(line);
  EXPECT_EQ(std::string(line->begin(), line->end()), "$MVersion\r");

  // A line feed at index 299 still ends a whole 299-byte line.
  LineBuffer full;
  std::string long_line = "$M" + std::string(297, 'y');
  for (char c : long_line) ASSERT_FALSE(full.Add(static_cast<uint8_t>(c)));
  const auto whole = full.Add('\n');
  ASSERT_TRUE(whole);
  EXPECT_EQ(whole->size(), 299u);
}

class VersionReaderTest : public ChannelTest {
 protected:
  void SetUp() override { state.update_channel.Open(); }
  // The receiver says `text` once, then stays silent.
  void SaysOnce(std::string text) {
    port.talk = [said = false, text](uint32_t) mutable {
      if (said) return std::string();
      said = true;
      return text;
    };
  }
  double Elapsed(uint64_t start_us) const {
    return static_cast<double>(clock.NowUs() - start_us) / 1e6;
  }
};

TEST_F(VersionReaderTest, EachStoresTheVersionOfTheFirstAcceptedLine) {
  struct Case {
    std::string talk;
    int (*read)(ProgramState&);
    std::u16string stored;
  };
  for (const Case& c :
       {Case{"$GPGGA,1,2,3\r\nx$PSRFTXT,Version:bad-1\r\n$PSRFTXT,Version: 2.3.2.03.07-GSW2\r\n", ReadVersion,
             u" 2.3.2.03.07"},
        Case{"$GPRMC,1\r\n$PSRFTXT,Version: 2.4-x\r\n", CheckVersion, u"PSRFTXT,Version: 2.4-x\r"},  // the whole line
        Case{std::string(300, '#') + "$MVersion\r\n", ReadVersion, u"MVersion\r"}}) {  // the tail after the wrap
    SCOPED_TRACE(c.talk);
    SaysOnce(c.talk);
    EXPECT_EQ(c.read(state), 1);
    EXPECT_EQ(state.current_version, c.stored);
  }
}

TEST_F(VersionReaderTest, WindowsEndAfterTwelveAndTenSecondsWithoutAVersion) {
  state.current_version = u"kept";
  for (const char* talk : {"", "$GPGGA,123519,4807.038,N,01131.000,E\r\n"}) {
    SCOPED_TRACE(*talk ? "other sentences" : "silence");
    port.talk = [talk](uint32_t) { return std::string(talk); };
    uint64_t start = clock.NowUs();
    EXPECT_EQ(ReadVersion(state), -1);
    EXPECT_GE(Elapsed(start), 12.0);
    EXPECT_LE(Elapsed(start), 14.0);

    start = clock.NowUs();
    EXPECT_EQ(CheckVersion(state), 0);
    EXPECT_GE(Elapsed(start), 10.0);
    EXPECT_LE(Elapsed(start), 12.0);
    EXPECT_EQ(state.current_version, u"kept");
  }
}

TEST_F(VersionReaderTest, AFailedOrOverlongReadEndsAtOnceWithZero) {
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
}

TEST_F(VersionReaderTest, StartupReadTriesTwiceThenSaysReadFailed) {
  const uint64_t start = clock.NowUs();
  EXPECT_EQ(ReadStartupVersion(state), -1);
  EXPECT_GE(Elapsed(start), 24.0);
  EXPECT_LE(Elapsed(start), 28.0);
  EXPECT_EQ(sink.BoxLines(), (Lines{"Larkspan: Read Failed!"}));
  EXPECT_TRUE(state.update_channel.IsOpen());
  EXPECT_EQ(port.baud, 4800u);
}

TEST_F(VersionReaderTest, StartupReadReopensAt4800AndStopsAtTheFirstVersion) {
  state.update_channel.ChangeSpeed(115200);
  int reads = 0;
  port.talk = [&reads](uint32_t baud) {
    ++reads;
    return baud == 4800 ? std::string("$PSRFTXT,Version: 2.3.2.03.07-x\r\n") : std::string();
  };
  EXPECT_EQ(ReadStartupVersion(state), 1);
  EXPECT_EQ(state.current_version, u" 2.3.2.03.07");
  EXPECT_EQ(reads, 1);
  EXPECT_TRUE(sink.Lines().empty());
}

TEST_F(VersionReaderTest, StartupReadMakesNoSecondRunAfterAnError) {
  port.open_error = EBUSY;
  EXPECT_EQ(ReadStartupVersion(state), 0);
  // The failed open is the only message; the read on the closed channel ends the run.
  EXPECT_EQ(sink.BoxLines(), (Lines{"Message: COM1 can't be opened."}));
}

}  // namespace
}  // namespace larkspan::testing
