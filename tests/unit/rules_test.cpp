// Pure rules the transcripts lean on: which lines carry a version and what text each reader
// takes from them, the line buffer's wrap, hex digits of a record, and percentages of large files.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "receiver/version_reader.h"
#include "tests/golden.h"
#include "tests/unit/scenario_rig.h"
#include "transfer/loader_upload.h"
#include "transfer/percent_progress.h"
#include "transfer/srecord_stream.h"

namespace larkspan::testing {
namespace {

std::span<const uint8_t> Line(std::string_view text) { return {reinterpret_cast<const uint8_t*>(text.data()), text.size()}; }

// The lines of tests/data/version_lines.txt, each read with bytes after it, and what the reader
// and the check take from each.
TEST(VersionLines, TheReaderAndTheCheckTakeTheirTextOnlyFromVersionLines) {
  const auto text = [](const std::optional<WideText>& taken) {
    return taken ? "'" + Transcript::Escaped(ToUtf8(*taken)) + "'" : std::string("none");
  };
  std::istringstream in(e2e::ReadFile(DataFile("version_lines.txt")));
  std::string seen;
  for (std::string entry; std::getline(in, entry);) {
    const size_t end = entry.find('\'', 1);
    if (entry.starts_with('#')) seen += entry + "\n";
    if (entry.starts_with('#') || end == std::string::npos) continue;
    std::string bytes = entry.substr(1, end - 1);
    for (size_t at = 0; (at = bytes.find("\\x", at)) != std::string::npos; ++at) {
      bytes.replace(at, 4, 1, static_cast<char>(std::stoi(bytes.substr(at + 2, 2), nullptr, 16)));
    }
    const size_t length = bytes.size();
    bytes += "\n:junk-";  // as a reused buffer holds them
    const auto line = Line(std::string_view(bytes).substr(0, length));
    seen += entry.substr(0, end + 1) + " reader " + text(VersionReaderText(line)) + " check " +
            text(VersionCheckText(line)) + "\n";
  }
  ExpectGolden("version_lines.txt", seen);
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

// (The loader's percentages are pinned by the upload transcripts; its header's high bytes only here.)
TEST(PercentRules, ComputedWideEnoughForLargeFiles) {
  EXPECT_EQ(Percentage(50'000'000'000ull, 100'000'000'000ull), 50u);
  EXPECT_EQ(Percentage(0, 0), 0u);
  EXPECT_EQ(LoaderHeader(0x12345678), (std::array<uint8_t, 6>{0x53, 0, 0x12, 0x34, 0x56, 0x78}));
  Rig rig;
  PercentProgress progress(rig.state);
  progress.Update(45'000'000, 90'000'000);  // 45,000,000 × 100 does not fit 32 bits
  progress.Update(89'999'999, 90'000'000);
  EXPECT_EQ(rig.sink.Lines(), (std::vector<std::string>{"status 50%", "progress step-it", "status 99%", "progress step-it"}));
}

}  // namespace
}  // namespace larkspan::testing
