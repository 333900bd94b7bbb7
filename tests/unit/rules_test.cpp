// Pure rules the transcripts lean on: which lines carry a version and what text each reader
// takes from them, the line buffer's wrap, hex digits of a record, and percentages of large files.
#include <gtest/gtest.h>

#include <map>

#include "receiver/version_reader.h"
#include "tests/fakes/recording_sink.h"
#include "tests/fakes/fake_serial_port.h"
#include "tests/fakes/memory_registry.h"
#include "transfer/loader_upload.h"
#include "transfer/percent_progress.h"
#include "transfer/srecord_stream.h"

namespace larkspan::testing {
namespace {

std::span<const uint8_t> Line(std::string_view text) { return {reinterpret_cast<const uint8_t*>(text.data()), text.size()}; }

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
           Case{"$PSRFTXT,Version:\r", u"", u"PSRFTXT,Version:\r"},
           Case{"$PSRFTXT,Version:", u"", u"PSRFTXT,Version:"},
           // An M line is taken whole first, even with a V at index 9, and keeps its carriage return.
           Case{"$MSG,ABCDVersion:1-2\r", u"MSG,ABCDVersion:1-2\r", u"MSG,ABCDVersion:1-2\r"},
           Case{"$M", u"M", u"M"},
           Case{"x$PSRFTXT,Version: 1-2\r"},  // stray byte before "$"
           Case{"x$MVersion 1\r"}, Case{"$GPGGA,123519,4807.038,N,01131.000,E,1,08\r"},
           Case{"$PSRFTXTV"},  // line feed at index 9: too short
           Case{"$"}, Case{""}, Case{"M"}, Case{"\r"}}) {
    EXPECT_EQ(VersionReaderText(Line(c.line)), c.reader) << c.line;
    EXPECT_EQ(VersionCheckText(Line(c.line)), c.check) << c.line;
  }
}

TEST(VersionLines, LineBufferKeepsTheLast299BytesOfALine) {
  const auto feed = [](const std::string& bytes) {
    LineBuffer buffer;
    for (size_t i = 0; i + 1 < bytes.size(); ++i) EXPECT_FALSE(buffer.Add(static_cast<uint8_t>(bytes[i]))) << i;
    const auto line = buffer.Add(static_cast<uint8_t>(bytes.back()));
    return line ? std::string(line->begin(), line->end()) : std::string("(none)");
  };
  EXPECT_EQ(feed(std::string(300, 'x') + "$MVersion\r\n"), "$MVersion\r");  // the first 300 bytes are lost
  EXPECT_EQ(feed("$M" + std::string(297, 'y') + "\n"), "$M" + std::string(297, 'y'));  // LF at index 299
}

TEST(SRecordRules, HexDigitsInEitherCaseFromTheLowByte) {
  for (const auto& [c, value] : std::map<int, int>{{'0', 0}, {'9', 9}, {'A', 10}, {'f', 15}, {'G', 0}, {0x100 + 'B', 11}, {-1, 0}}) {
    EXPECT_EQ(HexDigitValue(c), value) << c;
  }
}

TEST(PercentRules, ComputedWideEnoughForLargeFiles) {
  EXPECT_EQ(Percentage(1, 14316), 0u);
  EXPECT_EQ(Percentage(144, 14316), 1u);
  EXPECT_EQ(Percentage(50'000'000'000ull, 100'000'000'000ull), 50u);
  EXPECT_EQ(Percentage(0, 0), 0u);
  EXPECT_EQ(LoaderHeader(0x12345678), (std::array<uint8_t, 6>{0x53, 0, 0x12, 0x34, 0x56, 0x78}));
  TestClock clock;
  FakeSerialPorts port(clock);
  RecordingSink sink;
  MemoryRegistry registry;
  ProgramState state(port, clock, sink, registry);
  PercentProgress progress(state);
  progress.Update(45'000'000, 90'000'000);  // 45,000,000 × 100 does not fit 32 bits
  progress.Update(89'999'999, 90'000'000);
  EXPECT_EQ(sink.Lines(), (std::vector<std::string>{"status 50%", "progress step-it", "status 99%", "progress step-it"}));
}

}  // namespace
}  // namespace larkspan::testing
