// The payloads make-payloads writes (the release's layout under the names the updater opens)
// and the payload checks: each file's verdict, a fault named with its line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <tuple>

#include "tests/e2e/process.h"
#include "tests/unit/scenario_rig.h"
#include "tests/unit/temp_file.h"
#include "tools/make_payloads/payload_maker.h"
#include "transfer/payload_check.h"
#include "transfer/payload_files.h"

namespace larkspan {
namespace {

namespace fs = std::filesystem;

uint64_t Fnv1a64(std::string_view bytes) {
  uint64_t h = 0xCBF29CE484222325;
  for (char c : bytes) h = (h ^ static_cast<uint8_t>(c)) * 0x100000001B3;
  return h;
}

std::string Record(int type, uint32_t address, const std::string& data = {}) {
  return payloads::FormatSRecord(type, address, {reinterpret_cast<const uint8_t*>(data.data()), data.size()});
}

// A file's verdict with the line (0 for the whole file) and message of its error, or else of
// its first warning.
enum class Verdict { kAccepted, kWarning, kFault };
using enum Verdict;
using Outcome = std::tuple<Verdict, size_t, std::string>;
Outcome Of(const PayloadCheck& check) {
  if (check.fault) return {kFault, check.fault->line, check.fault->message};
  if (check.warnings.empty()) return {kAccepted, 0, ""};
  return {kWarning, check.warnings[0].line, check.warnings[0].message};
}

// A header, two adjacent data records of 16 bytes at 0x100 and 0x110, and the termination.
const std::string kHeader = Record(0, 0, "HDR");
const std::string kData1 = Record(3, 0x100, std::string(16, '\x11'));
const std::string kData2 = Record(3, 0x110, std::string(16, '\x22'));
const std::string kEnd = Record(7, 0);
const std::string kSmallFile = kHeader + kData1 + kData2 + kEnd;
const Outcome kOk{kAccepted, 0, ""};

// What a shell command prints on its standard output.
std::string Output(const std::string& command) {
  std::string out;
  if (std::FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    ::pclose(pipe);
  }
  return out;
}

TEST(PayloadFiles, MakePayloadsWritesTheReleaseLayoutUnderTheNamesTheUpdaterOpens) {
  const testing::TempFile scratch("");
  const fs::path dir = scratch.folder() / "payloads" / "nested";
  std::string error;
  ASSERT_TRUE(payloads::WritePayloads(dir, &error) && payloads::WritePayloads(dir, &error)) << error;
  testing::Rig rig;
  OpenPayloadFiles(rig.state, dir);  // as the updater opens them
  EXPECT_EQ(rig.state.loader_file.Size(), 14'316);
  EXPECT_EQ(rig.state.srecord_file.Size(), 918'698);

  // Recorded once from the generator; a change here changes every machine's payloads.
  const std::string firmware = e2e::ReadFile(dir / "Orvel_GPS_Firmware_R10.s");
  EXPECT_EQ(Fnv1a64(e2e::ReadFile(dir / "dlgsp2.bin")), 0x4221A0065FADDA0Fu);
  EXPECT_EQ(Fnv1a64(firmware), 0xF2FBD07B245B3C81u);
  // The release's 19,141 records: the header; 19,138 of 48 bytes (16 data bytes) from address
  // 0 up by 0x10; one of 40 bytes (12 data bytes) at 0x0004AC20; the 16-byte termination.
  EXPECT_EQ(std::ranges::count(firmware, '\n'), 19'141);
  EXPECT_TRUE(firmware.starts_with("S00600004844521B\r\nS31500000000")) << firmware.substr(0, 30);
  EXPECT_EQ(firmware.substr(firmware.size() - 57, 13), "\nS3110004AC20");
  EXPECT_TRUE(firmware.ends_with("\r\nS70500000000FA\r\n"));
  EXPECT_EQ(Of(CheckPayloadFile(dir / kFirmwareFileName)), kOk);  // every record's checksum, no gap, no warning
  EXPECT_EQ(std::string(PayloadKindName(CheckPayloadFile(dir / kFirmwareFileName).kind)) + ", " +
                PayloadKindName(CheckPayloadFile(dir / kLoaderFileName).kind),
            "firmware S-record file, flash loader image");
  // Debian's srecord reads the same file as one range of data.
  const std::string info = Output("srec_info '" + (dir / kFirmwareFileName).string() + "'");
  EXPECT_NE(info.find("Header: \"HDR\"\nExecution Start Address: 00000000\nData:   000000 - 04AC2B\n"), std::string::npos) << info;
  EXPECT_FALSE(CheckSRecordBytes(firmware));
  EXPECT_EQ(Of(CheckPayloadFile(dir / "absent.s")), (Outcome{kFault, 0, "file does not exist"}));
  EXPECT_EQ(Of(CheckPayloadFile(dir)), (Outcome{kFault, 0, "is a directory, not a file"}));
  EXPECT_EQ(Of(CheckPayloadFile("/dev/null")), (Outcome{kFault, 0, "not a regular file"}));
}

// Files written by Debian's srecord (srec_cat), an S-record writer independent of ours: the
// verdict is what the upload makes of them, whatever order, line length or end record they use.
TEST(SRecordChecker, JudgesFilesThatSrecCatWritesByWhatTheUploadMakesOfThem) {
  std::string bytes;
  for (int i = 0; i < 300; ++i) bytes += static_cast<char>(i * 37 + 11);
  const testing::TempFile blob(bytes);
  const std::string in = " '" + blob.path().string() + "' -binary -offset ";
  const auto cat = [&](const std::string& args) {
    return Output("srec_cat" + args + " -o - -motorola -line-termination=crlf -execution-start-address=0");
  };
  // Blocks in the order given, each written by srec_cat on its own (it sorts what it is given).
  const auto blocks = [&](std::initializer_list<const char*> offsets) {
    std::string file = kHeader;
    for (const char* offset : offsets) {
      const std::string block = cat(in + offset + " -address-length=4 -disable=header -disable=data-count");
      file += block.substr(0, block.rfind("S7"));
    }
    return file + kEnd;
  };
  const struct { const char* what; std::string file; Verdict verdict; } cases[] = {
      {"S1 data, S5 count, S9 end", cat(in + "0x100 -address-length=2"), kAccepted},
      {"S3 data, S7 end, 16 bytes a line", cat(in + "0x1000 -address-length=4 -obs=16"), kAccepted},
      {"S3 data, S7 end, 64 bytes a line", cat(in + "0x1000 -address-length=4 -obs=64"), kAccepted},
      {"S2 data, S8 end", cat(in + "0x1000 -address-length=3"), kFault},
      {"two blocks with a gap", cat(in + "0x100" + in + "0x4000 -address-length=4"), kWarning},
      {"blocks in descending order", blocks({"0x8000", "0x1000"}), kWarning},
      {"a block written twice", blocks({"0x8000", "0x1000", "0x8000"}), kFault},
      {"a blank line after the end", cat(in + "0x1000 -address-length=4") + "\r\n", kWarning},
      {"text after the end", cat(in + "0x1000 -address-length=4") + "; made by srec_cat\r\n", kWarning},
  };
  for (const auto& c : cases) {
    const testing::TempFile file(c.file, "firmware.s");
    EXPECT_EQ(std::get<Verdict>(Of(CheckPayloadFile(file.path()))), c.verdict) << c.what << "\n" << c.file;
  }
}

TEST(SRecordChecker, GivesEachFileItsVerdictWithTheLineAndMessage) {
  const Outcome lower{kWarning, 2, "lower-case hex digits from this line on; the loader takes them, though the "
                                   "release writes upper case"};
  const std::string kRecord = kData1.substr(0, 46);  // a data record without its line end
  // The extension of a file's name decides its kind; "fw" has none, so its content does.
  const struct { std::string bytes; Outcome expected; std::string name = "firmware.s"; } cases[] = {
      {kSmallFile, kOk},
      // A header without data; data records with 2- and 3-byte addresses; record counts; type 9 ends it.
      {Record(0, 0) + Record(1, 0x10, "ab") + Record(2, 0x12, "cd") + Record(5, 2) + Record(6, 2) + Record(9, 0), kOk},
      {Record(3, 0, std::string(142, 'Z')) + kEnd, kOk},  // count 147, the most the updater holds
      {Record(3, 0x200) + Record(1, 0xFFF0, std::string(16, 'a')) + kEnd, kOk},  // no data bytes; data to the top
      {kHeader + "S30a00000000121212121499\r\n" + kEnd, lower},  // only the count in lower case
      {kHeader + "S30500002931a0\r\nS305000029329f\r\n" + kEnd, lower},
      {"", {kFault, 1, "file is empty"}},
      {"\xEF\xBB\xBF" + kSmallFile, {kFault, 1, "file begins with a byte-order mark; it must begin with a record"},
       "fw"},
      {" \t\r\n" + kSmallFile, {kFault, 1, "white space before the record; a record begins with 'S'"}, "fw"},
      {"S9\r\n", {kFault, 1, "record is cut short: the line ends before its count field is complete"}, "fw"},
      {"\x7F", {kFault, 1, "record begins with byte 0x7F, not 'S'"}, "Firmware.SREC"},
      {"\r\n" + kSmallFile, {kFault, 1, "file begins with a blank line; it must begin with a record"}},
      {kHeader + "\r\n" + kEnd, {kFault, 2, "blank line; each record must follow the line end of the one before"}},
      {"S!", {kFault, 1, "record type '!' is not a digit"}},
      {"S\r\n", {kFault, 1, "record is cut short: the line ends before its count field is complete"}},
      {"S4", {kFault, 1, "type 4 is not a record type"}},
      {"S3~", {kFault, 1, "count field: '~' is not a hexadecimal digit"}},
      {"S3150000010G", {kFault, 1, "column 12: 'G' is not a hexadecimal digit"}},
      {kRecord.substr(0, 34) + "\r\n",
       {kFault, 1, "record is cut short: the line ends after 30 of the 42 characters its count 15 gives"}},
      {kRecord + "\n", {kFault, 1, "line ends with LF only; CR LF expected"}},
      {kRecord + "00\r\n",
       {kFault, 1, "record is longer than its count 15 says: more than 42 characters follow the count"}},
      {kRecord + " \r\n", {kFault, 1, "a space follows the record's checksum; CR LF expected"}},
      {kRecord + "\r\r\n", {kFault, 1, "stray CR at the line end; CR LF expected"}},
      {kRecord + "\r" + kEnd, {kFault, 1, "line ends with CR only; CR LF expected"}},
      {kSmallFile.substr(0, kSmallFile.size() - 1), {kFault, 4, "line ends with CR only; CR LF expected"}},
      {kSmallFile.substr(0, kSmallFile.size() - 2), {kFault, 4, "record has no line end; CR LF expected"}},
      {kHeader + kData1, {kFault, 3, "file ends without a termination record (type 7 or 9)"}},
      {"S31", {kFault, 1, "record is cut short by the end of the file before its count field is complete"}},
      {kRecord.substr(0, 20),
       {kFault, 1, "record is cut short by the end of the file after 16 of the 42 characters its count 15 gives"}},
      {kSmallFile + "S9030000FC\r\n", {kWarning, 5, "text after the termination record; the updater never reads or sends it"}},
      {kSmallFile + "\n" + kEnd, {kWarning, 5, "blank line after the termination record; the updater never reads or sends it"}},
      {"S394", {kFault, 1, "count 94 (148) is above 93 (147), the most the updater's 300-byte record buffer holds"}},
      {"S304", {kFault, 1, "type 3 record has count 04; its 4 address bytes and checksum need at least 05"}},
      {"S504", {kFault, 1, "type 5 record has count 04; it holds only its 2 address bytes and checksum, count 03"}},
      {"S30500000000FB\r\n", {kFault, 1, "record checksum is FB, the record's bytes give FA"}},
      {kData1 + kHeader + kEnd,
       {kWarning, 2, "header record (type 0) after the first record; it is sent and answered as any other"}},
      {kData2 + kData1 + kEnd, {kWarning, 2, "data address 00000100 lies below the end of the previous data record "
                                             "(00000120): out of address order, which the loader takes"}},
      {kData1 + Record(3, 0x200, "x") + kEnd, {kWarning, 2, "gap of 240 bytes: nothing is written from 00000110 up to 00000200"}},
      {kData1 + Record(3, 0x10F, "overlap"),
       {kFault, 2, "data at 0000010F is written by this record and by line 1; no byte may be written twice"}},
      // Far apart and in descending order: the byte is found in the ranges written so far.
      {Record(3, 0x8000, std::string(16, 'a')) + Record(3, 0x1000, "b") + kData1 + Record(2, 0x7FF0, std::string(17, 'c')),
       {kFault, 4, "data at 008000 is written by this record and by line 1; no byte may be written twice"}},
      {Record(1, 0xFFF8, std::string(16, 'a')), {kFault, 1, "data runs past the top of the 16-bit address space"}},
      {Record(2, 0xFFFFF8, std::string(16, 'a')), {kFault, 1, "data runs past the top of the 24-bit address space"}},
      {kData1 + kData2 + Record(5, 3) + kEnd, {kWarning, 3, "type 5 record counts 3 data records; 2 precede it"}},
      {kData1 + Record(8, 0),
       {kFault, 2, "type 8 record: the updater does not take it as a termination record (it would send it as "
                   "data and wait for an answer)"}},
      // The flash loader image: any bytes, judged as a whole file.
      {"", {kFault, 0, "file is empty"}, "dlgsp2.bin"},
      {std::string(70'000, '\xEA'), kOk, "loader"},  // more than one read
  };
  for (const auto& c : cases) {
    const testing::TempFile file(c.bytes, c.name);
    EXPECT_EQ(Of(CheckPayloadFile(file.path())), c.expected) << c.name << " " << ::testing::PrintToString(c.bytes);
  }
}

}  // namespace
}  // namespace larkspan
