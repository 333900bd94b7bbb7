// The generated payloads (release layout, pinned digests) and the payload checks (each
// fault named with its line).
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/e2e/process.h"
#include "tests/unit/temp_file.h"
#include "tools/make_payloads/payload_maker.h"
#include "transfer/payload_check.h"
#include "transfer/payload_files.h"

namespace larkspan {
namespace {

using namespace payloads;
using e2e::ReadFile;

uint64_t Fnv1a64(std::string_view bytes) {
  uint64_t h = 0xCBF29CE484222325;
  for (char c : bytes) h = (h ^ static_cast<uint8_t>(c)) * 0x100000001B3;
  return h;
}

std::string AsString(const std::vector<uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

std::string Record(int type, uint32_t address, const std::string& data = {}) {
  return FormatSRecord(type, address, {reinterpret_cast<const uint8_t*>(data.data()), data.size()});
}

std::string WithLfOnly(std::string s) {
  std::erase(s, '\r');
  return s;
}

// Header, three data records of 16 bytes at 0x100, 0x110, 0x120, and the termination.
const std::string kHeader = Record(0, 0, "HDR");
const std::string kData1 = Record(3, 0x100, std::string(16, '\x11'));
const std::string kData2 = Record(3, 0x110, std::string(16, '\x22'));
const std::string kData3 = Record(3, 0x120, std::string(16, '\x33'));
const std::string kEnd = Record(7, 0);
const std::string kSmallFile = kHeader + kData1 + kData2 + kData3 + kEnd;

const std::string& Firmware() {
  static const std::string file = BuildFirmwareSRecords();
  return file;
}

// ---------------------------------------------------------------------------------------
// Generation

TEST(GeneratedFirmware, HasTheReleaseLayout) {
  const std::string& file = Firmware();
  ASSERT_EQ(file.size(), 918'698u);
  // Each record ends in CR LF; data records (type 3) hold 16 bytes (the last one 12) at
  // addresses from 0 upward by 0x10; the first is the header, the last the termination.
  size_t records = 0;
  uint32_t address = 0;
  for (size_t pos = 0, cr; pos < file.size(); pos = cr + 2) {
    cr = file.find("\r\n", pos);
    ASSERT_NE(cr, std::string::npos);
    const std::string line = file.substr(pos, cr - pos);
    ASSERT_EQ(line.find_first_not_of("S0123456789ABCDEF"), std::string::npos) << line;
    ++records;
    if (records == 1) {
      EXPECT_EQ(line, "S00600004844521B");
    } else if (records == 19'141) {
      EXPECT_EQ(line, "S70500000000FA");
    } else {
      const bool last = records == 19'140;
      EXPECT_EQ(line.substr(0, 4), last ? "S311" : "S315") << records;
      EXPECT_EQ(line.size(), last ? 38u : 46u) << records;
      EXPECT_EQ(std::stoul(line.substr(4, 8), nullptr, 16), address) << records;
      address += 0x10;
    }
  }
  EXPECT_EQ(records, 19'141u);
  EXPECT_EQ(address, 0x0004AC30u);  // one step past the last record's 0x0004AC20
}

TEST(Generation, IsPinnedByDigest) {
  // Recorded once from the generator; a change here changes every machine's payloads.
  EXPECT_EQ(BuildLoaderImage().size(), 0x37ECu);
  EXPECT_EQ(Fnv1a64(AsString(BuildLoaderImage())), 0x4221A0065FADDA0Fu);
  EXPECT_EQ(Fnv1a64(Firmware()), 0xF2FBD07B245B3C81u);
}

TEST(WritePayloads, WritesBothFilesUnderTheNamesTheUpdaterOpens) {
  testing::TempFile scratch("");
  const auto dir = scratch.folder() / "payloads" / "nested";
  std::string error;
  ASSERT_TRUE(WritePayloads(dir, &error)) << error;
  ASSERT_TRUE(WritePayloads(dir, &error)) << error;  // replaces the files of the first run
  EXPECT_EQ(ReadFile(dir / kLoaderFileName), AsString(BuildLoaderImage()));
  EXPECT_EQ(ReadFile(dir / larkspan::kFirmwareFileName), Firmware());
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 2);  // no leftovers
  const PayloadCheck loader = CheckPayloadFile(dir / kLoaderFileName);
  const PayloadCheck firmware = CheckPayloadFile(dir / larkspan::kFirmwareFileName);
  EXPECT_EQ(loader.kind, PayloadKind::kLoaderImage);
  EXPECT_EQ(firmware.kind, PayloadKind::kSRecordFile);
  EXPECT_FALSE(loader.fault);
  EXPECT_FALSE(firmware.fault);
  EXPECT_EQ(firmware.note, "");
}

TEST(WritePayloads, ReportsADirectoryItCannotCreate) {
  testing::TempFile blocker("a file where a directory should go");
  std::string error;
  EXPECT_FALSE(WritePayloads(blocker.path() / "sub", &error));
  EXPECT_NE(error.find(blocker.path().string()), std::string::npos) << error;
}

// ---------------------------------------------------------------------------------------
// The S-record checker

TEST(SRecordChecker, AcceptsWellFormedFiles) {
  const std::string good[] = {
      kSmallFile,
      kData1 + Record(9, 0),  // type 9 ends as type 7 does; no header needed
      Record(1, 0x10, "ab") + Record(2, 0x12, "cd") + Record(5, 2) + Record(9, 0x10),
      kHeader + kEnd,
      kData1 + kData3 + kEnd,                      // a gap between data records
      Record(3, 0, std::string(142, 'Z')) + kEnd,  // count 147, the most the updater holds
  };
  for (const std::string& bytes : good) EXPECT_FALSE(CheckSRecordBytes(bytes)) << bytes;

  // Lower-case hex digits pass, with a note naming the first such line.
  std::string lower = kData2;
  for (size_t i = 4; i + 2 < lower.size(); ++i)
    lower[i] = static_cast<char>(std::tolower(lower[i]));
  SRecordChecker checker;
  checker.Feed(kHeader + kData1 + lower + kEnd);
  EXPECT_FALSE(checker.Finish());
  EXPECT_EQ(checker.lower_case_line(), 3u);
  testing::TempFile file(kHeader + lower + kEnd, "lower.s");
  EXPECT_EQ(CheckPayloadFile(file.path()).note,
            "lower-case hex digits from line 2 on; accepted, though the release writes upper "
            "case");
}

TEST(SRecordChecker, NamesEachFaultWithItsLine) {
  std::string bad_sum = kData2;
  bad_sum[44] = '0';  // its checksum is B9
  const struct {
    std::string bytes;
    size_t line;
    std::string message_start;
  } cases[] = {
      {"", 1, "file is empty"},
      {"\xEF\xBB\xBF" + kSmallFile, 1, "file begins with a byte-order mark"},
      {"\r\n" + kSmallFile, 1, "file begins with a blank line"},
      {kHeader + kData1 + WithLfOnly(kData2) + kData3 + kEnd, 3, "line ends with LF only"},
      {kSmallFile.substr(0, kSmallFile.size() - 1), 5, "line ends with CR only"},
      {kHeader + kData1.substr(0, 46) + "\r\r\n" + kEnd, 2, "stray CR at the line end"},
      {kSmallFile.substr(0, kSmallFile.size() - 2), 5, "record has no line end"},
      {kHeader + kData1.substr(0, 46) + " \r\n" + kEnd, 2, "a space follows the record's"},
      {kHeader + kData1 + "\r\n" + kData2 + kEnd, 3, "blank line; each record must follow"},
      {kHeader + kData1 + kData2 + kData3, 5, "file ends without a termination record"},
      {kSmallFile + "S9030000FC\r\n", 6, "text after the termination record"},
      {kSmallFile + "\n", 6, "blank line after the termination record"},
      {kHeader + kData1 + bad_sum + kData3 + kEnd, 3,
       "record checksum is 09, the record's bytes give B9"},
      {kHeader + kData1 + "\x7F\x45LF" + kEnd, 3, "record begins with byte 0x7F, not 'S'"},
      {kHeader + kData1.substr(0, 11) + "G" + kData1.substr(12) + kEnd, 2, "column 12: 'G' is not"},
      {kHeader + "S4" + kData1.substr(2) + kEnd, 2, "type 4 is not a record type"},
      {kHeader + kData1.substr(0, 34) + "\r\n" + kEnd, 2,
       "record is cut short: the line ends after 30 of the 42"},
      {kHeader + kData1.substr(0, 20), 2, "record is cut short by the end of the file after 16"},
      {kHeader + kData1.substr(0, 46) + "00\r\n" + kEnd, 2, "record is longer than its count"},
      {Record(3, 0, std::string(143, 'Z')) + kEnd, 1, "count 94 (148) is above 93 (147)"},
      {kHeader + "S30400000000FB\r\n" + kEnd, 2, "type 3 record has count 04; its 4 address"},
      {kHeader + Record(7, 0, "x"), 2, "type 7 record has count 06; it holds only"},
      {kHeader + kData1 + Record(8, 0) + kEnd, 3, "type 8 record: the updater does not take"},
      {kHeader + kData1 + Record(3, 0x10F, "overlap") + kEnd, 3,
       "data address 0000010F lies below the end of the previous data record (00000110)"},
      {Record(1, 0xFFF8, std::string(16, 'a')) + Record(9, 0), 1, "data runs past the top"},
      {kData1 + kHeader + kEnd, 2, "header record (type 0) after the first record"},
      {kHeader + kData1 + kData2 + Record(5, 3) + kEnd, 4,
       "type 5 record counts 3 data records; 2 precede it"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message_start);
    const auto fault = CheckSRecordBytes(c.bytes);
    ASSERT_TRUE(fault) << "no fault found";
    EXPECT_EQ(fault->line, c.line) << FormatFault(*fault);
    EXPECT_TRUE(fault->message.starts_with(c.message_start)) << fault->message;
    // Fed one byte at a time, the checker finds the same fault.
    SRecordChecker bytewise;
    for (char ch : c.bytes) bytewise.Feed(std::string_view(&ch, 1));
    const auto again = bytewise.Finish();
    ASSERT_TRUE(again);
    EXPECT_EQ(again->line, fault->line);
    EXPECT_EQ(again->message, fault->message);
  }
}

// ---------------------------------------------------------------------------------------
// Files

TEST(PayloadFiles, NameFaultsOfTheFileItself) {
  testing::TempFile empty("", "dlgsp2.bin");
  testing::TempFile lf_only(WithLfOnly(kSmallFile), "firmware");
  EXPECT_EQ(FormatFault(*CheckLoaderImage(empty.folder() / "absent.bin")), "file does not exist");
  EXPECT_EQ(CheckLoaderImage(empty.folder())->message, "is a directory, not a file");
  EXPECT_EQ(CheckLoaderImage("/dev/null")->message, "not a regular file");
  EXPECT_EQ(FormatFault(*CheckLoaderImage(empty.path())), "file is empty");
  EXPECT_EQ(FormatFault(*CheckSRecordFile(empty.path())), "line 1: file is empty");
  // A file named neither way is judged by its content.
  const PayloadCheck lf = CheckPayloadFile(lf_only.path());
  EXPECT_EQ(lf.kind, PayloadKind::kSRecordFile);
  ASSERT_TRUE(lf.fault);
  EXPECT_EQ(FormatFault(*lf.fault), "line 1: line ends with LF only; CR LF expected");
}

TEST(PayloadFiles, StreamsAFileLargerThanOneReadChunk) {
  // A fault far into a file that spans many reads is found on its line.
  std::string big = kHeader;
  uint32_t address = 0;
  for (int i = 0; i < 5000; ++i, address += 0x10) big += Record(3, address, std::string(16, 'z'));
  testing::TempFile good(big + kEnd, "big.s");
  testing::TempFile bad(big + Record(3, address - 1, "x") + kEnd, "big.s");
  EXPECT_FALSE(CheckSRecordFile(good.path()));
  const auto fault = CheckSRecordFile(bad.path());
  ASSERT_TRUE(fault);
  EXPECT_EQ(fault->line, 5002u);  // header, 5000 data records, then this one
}

}  // namespace
}  // namespace larkspan
