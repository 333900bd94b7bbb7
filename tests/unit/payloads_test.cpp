// The generated payloads (release layout, determinism, pinned digests) and the payload
// checks (each fault named with its line).
#include <gtest/gtest.h>

#include <sys/stat.h>

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
  for (char c : bytes) {
    h ^= static_cast<uint8_t>(c);
    h *= 0x100000001B3;
  }
  return h;
}

std::string AsString(const std::vector<uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

std::string Data(std::initializer_list<uint8_t> bytes) { return std::string(bytes.begin(), bytes.end()); }

std::string Record(int type, uint32_t address, const std::string& data = {}) {
  return FormatSRecord(type, address,
                       std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(data.data()),
                                                data.size()));
}

// Header, three data records of 16 bytes at 0x100, 0x110, 0x120, and the termination.
const std::string kHeader = Record(0, 0, "HDR");
const std::string kData1 = Record(3, 0x100, std::string(16, '\x11'));
const std::string kData2 = Record(3, 0x110, std::string(16, '\x22'));
const std::string kData3 = Record(3, 0x120, std::string(16, '\x33'));
const std::string kEnd = Record(7, 0);
const std::string kSmallFile = kHeader + kData1 + kData2 + kData3 + kEnd;

// The firmware file is large; build it once.
const std::string& Firmware() {
  static const std::string file = BuildFirmwareSRecords();
  return file;
}

// ---------------------------------------------------------------------------------------
// Generation

TEST(FormatSRecord, WritesWellKnownRecordsByteForByte) {
  // Records of the format's classic example, with their published checksums.
  EXPECT_EQ(Record(0, 0, std::string("hello     \0\0", 12)),
            "S00F000068656C6C6F202020202000003C\r\n");
  EXPECT_EQ(Record(1, 0x0038, std::string("Hello world.\n\0", 14)),
            "S111003848656C6C6F20776F726C642E0A0042\r\n");
  EXPECT_EQ(Record(5, 0x0003), "S5030003F9\r\n");
  EXPECT_EQ(Record(9, 0x0000), "S9030000FC\r\n");
  // 24-bit addresses of types 2 and 8.
  EXPECT_EQ(Record(2, 0x123456, Data({0xAB})), "S205123456ABB3\r\n");
  EXPECT_EQ(Record(8, 0x010203), "S804010203F5\r\n");
}

TEST(GeneratedFirmware, HasTheReleaseLayout) {
  const std::string& file = Firmware();
  ASSERT_EQ(file.size(), kFirmwareFileSize);
  EXPECT_EQ(file.size(), 918'698u);

  EXPECT_EQ(file.substr(0, 18), "S00600004844521B\r\n");
  EXPECT_EQ(file.substr(file.size() - 16), "S70500000000FA\r\n");
  const std::string last_data = file.substr(file.size() - 16 - 40, 40);
  EXPECT_EQ(last_data.substr(0, 12), "S3110004AC20");
  EXPECT_EQ(last_data.substr(38), "\r\n");

  // Every record: CR LF only as line ends, the release's length for its kind, upper-case
  // hex, addresses from 0 upward by 0x10.
  size_t records = 0;
  size_t pos = 0;
  uint32_t expected_address = 0;
  while (pos < file.size()) {
    const size_t cr = file.find('\r', pos);
    ASSERT_NE(cr, std::string::npos);
    ASSERT_EQ(file[cr + 1], '\n') << "record " << records;
    const std::string line = file.substr(pos, cr - pos);
    ASSERT_EQ(line.find('\n'), std::string::npos);
    ASSERT_EQ(line.find_first_not_of("S0123456789ABCDEF"), std::string::npos) << line;
    ++records;
    if (records == 1) {
      EXPECT_EQ(line, "S00600004844521B");
    } else if (line.starts_with("S3")) {
      EXPECT_EQ(line.size(), records == kFirmwareRecordCount - 1 ? 38u : 46u) << records;
      EXPECT_EQ(line.substr(2, 2), records == kFirmwareRecordCount - 1 ? "11" : "15");
      EXPECT_EQ(std::stoul(line.substr(4, 8), nullptr, 16), expected_address) << records;
      expected_address += 0x10;
    } else {
      EXPECT_EQ(records, kFirmwareRecordCount);
      EXPECT_EQ(line, "S70500000000FA");
    }
    pos = cr + 2;
  }
  EXPECT_EQ(records, 19'141u);
  EXPECT_EQ(expected_address, 0x0004AC30u);  // one step past the last record's 0x0004AC20
}

TEST(GeneratedFirmware, CarriesTheSeededDataAndPassesTheChecker) {
  const std::string& file = Firmware();
  // The data bytes read back from the records are the seeded data, in order.
  const std::vector<uint8_t> data = BuildFirmwareData();
  ASSERT_EQ(data.size(), kFirmwareDataSize);
  std::vector<uint8_t> read_back;
  for (size_t pos = 18; pos < file.size() - 16;) {
    const size_t count = std::stoul(file.substr(pos + 2, 2), nullptr, 16);
    for (size_t i = 5; i < count; ++i) {
      read_back.push_back(
          static_cast<uint8_t>(std::stoul(file.substr(pos + 2 + 2 * i, 2), nullptr, 16)));
    }
    pos += 4 + 2 * count + 2;
  }
  EXPECT_EQ(read_back, data);

  SRecordChecker checker;
  checker.Feed(file);
  const auto fault = checker.Finish();
  EXPECT_FALSE(fault) << FormatFault(*fault);
  EXPECT_EQ(checker.records(), kFirmwareRecordCount);
  EXPECT_EQ(checker.data_records(), kFirmwareFullRecords + 1);
  EXPECT_EQ(checker.lower_case_line(), 0u);
}

TEST(GeneratedLoaderImage, IsAnArmImageOfTheReleaseSize) {
  const std::vector<uint8_t> image = BuildLoaderImage();
  ASSERT_EQ(image.size(), kLoaderImageSize);
  EXPECT_EQ(image.size(), 0x37ECu);
  auto word = [&](size_t at) {
    return uint32_t{image[at]} | uint32_t{image[at + 1]} << 8 | uint32_t{image[at + 2]} << 16 |
           uint32_t{image[at + 3]} << 24;
  };
  // Eight vectors, each an unconditional branch (little-endian 0xEAxxxxxx); reset goes to
  // 0x40, the others to handlers after the table that branch to themselves.
  for (size_t v = 0; v < 8; ++v) EXPECT_EQ(word(4 * v) >> 24, 0xEAu) << v;
  EXPECT_EQ(word(0), 0xEA00000Eu);
  for (size_t v = 1; v < 8; ++v) {
    const size_t target = 4 * v + 8 + 4 * (word(4 * v) & 0xFFFFFF);
    EXPECT_EQ(word(target), 0xEAFFFFFEu) << v;
  }
  EXPECT_EQ(word(0x40), 0xE10F0000u);  // MRS r0, CPSR
}

TEST(Generation, IsDeterministicAndPinnedByDigest) {
  EXPECT_EQ(BuildLoaderImage(), BuildLoaderImage());
  EXPECT_EQ(BuildFirmwareSRecords(), Firmware());
  // Recorded once from the generator; a change here changes every machine's payloads.
  EXPECT_EQ(Fnv1a64(AsString(BuildLoaderImage())), 0x4221A0065FADDA0Fu);
  EXPECT_EQ(Fnv1a64(Firmware()), 0xF2FBD07B245B3C81u);
}

TEST(WritePayloads, NamesTheFilesAsTheUpdaterOpensThem) {
  EXPECT_STREQ(payloads::kLoaderImageName, larkspan::kLoaderFileName);
  EXPECT_STREQ(payloads::kFirmwareFileName, larkspan::kFirmwareFileName);
}

TEST(WritePayloads, WritesBothFilesAtomicallyAndTheyPassTheChecks) {
  testing::TempFile scratch("");
  const auto dir = scratch.folder() / "payloads" / "nested";
  std::string error;
  ASSERT_TRUE(WritePayloads(dir, &error)) << error;
  ASSERT_TRUE(WritePayloads(dir, &error)) << error;  // replaces the files of the first run

  const auto loader = dir / payloads::kLoaderImageName;
  const auto firmware = dir / payloads::kFirmwareFileName;
  EXPECT_EQ(ReadFile(loader), AsString(BuildLoaderImage()));
  EXPECT_EQ(ReadFile(firmware), Firmware());
  // No temporary file is left beside them, and they are ordinary readable files.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir),
                          std::filesystem::directory_iterator()),
            2);
  struct stat st {};
  ASSERT_EQ(::stat(firmware.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);

  EXPECT_FALSE(CheckLoaderImage(loader));
  EXPECT_FALSE(CheckSRecordFile(firmware));
  const PayloadCheck l = CheckPayloadFile(loader);
  const PayloadCheck f = CheckPayloadFile(firmware);
  EXPECT_EQ(l.kind, PayloadKind::kLoaderImage);
  EXPECT_EQ(f.kind, PayloadKind::kSRecordFile);
  EXPECT_FALSE(l.fault);
  EXPECT_FALSE(f.fault);
  EXPECT_EQ(f.note, "");
}

TEST(WritePayloads, ReportsADirectoryItCannotCreate) {
  testing::TempFile blocker("a file where a directory should go");
  std::string error;
  EXPECT_FALSE(WritePayloads(blocker.path() / "sub", &error));
  EXPECT_NE(error.find(blocker.path().string()), std::string::npos) << error;
}

// ---------------------------------------------------------------------------------------
// The S-record checker

struct FaultCase {
  const char* name;
  std::string bytes;
  size_t line;
  std::string message;  // the whole message, or its start when it ends in "..."
};

void ExpectFault(const FaultCase& c) {
  SCOPED_TRACE(c.name);
  const auto fault = CheckSRecordBytes(c.bytes);
  ASSERT_TRUE(fault) << "no fault found";
  EXPECT_EQ(fault->line, c.line) << FormatFault(*fault);
  if (c.message.ends_with("...")) {
    EXPECT_TRUE(fault->message.starts_with(c.message.substr(0, c.message.size() - 3)))
        << fault->message;
  } else {
    EXPECT_EQ(fault->message, c.message);
  }
  // Fed one byte at a time, the checker finds the same fault.
  SRecordChecker bytewise;
  for (char ch : c.bytes) bytewise.Feed(std::string_view(&ch, 1));
  const auto again = bytewise.Finish();
  ASSERT_TRUE(again);
  EXPECT_EQ(again->line, fault->line);
  EXPECT_EQ(again->message, fault->message);
}

std::string WithLfOnly(std::string s) {
  std::string out;
  for (char c : s) {
    if (c != '\r') out.push_back(c);
  }
  return out;
}

TEST(SRecordChecker, AcceptsWellFormedFiles) {
  EXPECT_FALSE(CheckSRecordBytes(kSmallFile));
  // Type 9 ends the stream as type 7 does; no header is needed; a count record that counts
  // the data records before it; 16- and 24-bit data records.
  EXPECT_FALSE(CheckSRecordBytes(kData1 + Record(9, 0)));
  EXPECT_FALSE(CheckSRecordBytes(Record(1, 0x10, "ab") + Record(2, 0x12, "cd") +
                                 Record(5, 2) + Record(9, 0x10)));
  EXPECT_FALSE(CheckSRecordBytes(kHeader + kEnd));
  // A gap between data records is fine; only overlap or descent is not.
  EXPECT_FALSE(CheckSRecordBytes(kData1 + kData3 + kEnd));
}

TEST(SRecordChecker, TakesCountsUpTo147TheUpdaterBufferHolds) {
  const std::string biggest = Record(3, 0, std::string(142, '\x5A'));  // count 0x93 = 147
  ASSERT_EQ(biggest.substr(0, 4), "S393");
  ASSERT_EQ(biggest.size(), 300u);
  EXPECT_FALSE(CheckSRecordBytes(biggest + kEnd));
  ExpectFault({"count 148", Record(3, 0, std::string(143, '\x5A')) + kEnd, 1,
               "count 94 (148) is above 93 (147), the most the updater's 300-byte record "
               "buffer holds"});
  ExpectFault({"count FF", kHeader + "S3FF" + std::string(510, '0') + "\r\n" + kEnd, 2,
               "count FF (255) is above..."});
}

TEST(SRecordChecker, AcceptsLowerCaseHexButNotesIt) {
  std::string lower = kData2;  // its data digits in lower case
  for (size_t i = 4; i + 2 < lower.size(); ++i) {
    if (lower[i] >= 'A' && lower[i] <= 'F') lower[i] = static_cast<char>(lower[i] - 'A' + 'a');
  }
  ASSERT_NE(lower, kData2);
  SRecordChecker checker;
  checker.Feed(kHeader + kData1 + lower + kEnd);
  EXPECT_FALSE(checker.Finish());
  EXPECT_EQ(checker.lower_case_line(), 3u);

  // Lower-case count digits: a record of count 0x1a (21 data bytes).
  std::string counted = Record(3, 0x200, std::string(21, '\x01'));
  ASSERT_EQ(counted.substr(0, 4), "S31A");
  counted[3] = 'a';
  SRecordChecker count_checker;
  count_checker.Feed(counted + kEnd);
  EXPECT_FALSE(count_checker.Finish());
  EXPECT_EQ(count_checker.lower_case_line(), 1u);

  testing::TempFile file(counted + kEnd, "lower.s");
  const PayloadCheck result = CheckPayloadFile(file.path());
  EXPECT_FALSE(result.fault);
  EXPECT_EQ(result.note, "lower-case hex digits from line 1 on; accepted, though the release "
                         "writes upper case");
}

TEST(SRecordChecker, NamesLineEndFaults) {
  std::string cr_only = kSmallFile;
  cr_only.erase(kHeader.size() + kData1.size() + kData2.size() - 1, 1);  // line 3 loses its LF
  std::string stray_cr = kSmallFile;
  stray_cr.insert(kHeader.size() + kData1.size() - 1, "\r");  // CR CR LF on line 2
  const FaultCase cases[] = {
      {"LF-only file", WithLfOnly(kSmallFile), 1, "line ends with LF only; CR LF expected"},
      {"LF-only line 3", kHeader + kData1 + WithLfOnly(kData2) + kData3 + kEnd, 3,
       "line ends with LF only; CR LF expected"},
      {"CR only", cr_only, 3, "line ends with CR only; CR LF expected"},
      {"stray CR", stray_cr, 2, "stray CR at the line end; CR LF expected"},
      {"no line end at all", kSmallFile.substr(0, kSmallFile.size() - 2), 5,
       "record has no line end; CR LF expected"},
      {"CR at the end of the file", kSmallFile.substr(0, kSmallFile.size() - 1), 5,
       "line ends with CR only; CR LF expected"},
      {"space before CR LF", kHeader + kData1.substr(0, 46) + " \r\n" + kEnd, 2,
       "a space follows the record's checksum; CR LF expected"},
  };
  for (const auto& c : cases) ExpectFault(c);
}

TEST(SRecordChecker, NamesWhatPrecedesOrFollowsTheRecords) {
  const FaultCase cases[] = {
      {"empty", "", 1, "file is empty"},
      {"byte-order mark", "\xEF\xBB\xBF" + kSmallFile, 1,
       "file begins with a byte-order mark; it must begin with a record"},
      {"leading blank line", "\r\n" + kSmallFile, 1,
       "file begins with a blank line; it must begin with a record"},
      {"leading space", " " + kSmallFile, 1,
       "white space before the record; a record begins with 'S'"},
      {"blank line between records", kHeader + kData1 + "\r\n" + kData2 + kEnd, 3,
       "blank line; each record must follow the line end of the one before"},
      {"no termination record", kHeader + kData1 + kData2 + kData3, 5,
       "file ends without a termination record (type 7 or 9)"},
      {"text after the termination", kSmallFile + "S9030000FC\r\n", 6,
       "text after the termination record; nothing may follow it"},
      {"blank line after the termination", kSmallFile + "\r\n", 6,
       "blank line after the termination record; nothing may follow it"},
      {"lone LF after the termination", kSmallFile + "\n", 6,
       "blank line after the termination record; nothing may follow it"},
  };
  for (const auto& c : cases) ExpectFault(c);
}

TEST(SRecordChecker, NamesBrokenRecords) {
  std::string bad_sum = kData2;
  bad_sum[44] = bad_sum[44] == '0' ? '1' : '0';
  const std::string given = bad_sum.substr(44, 2);
  const std::string right = kData2.substr(44, 2);
  std::string bad_digit = kData1;
  bad_digit[11] = 'G';
  const FaultCase cases[] = {
      {"bad checksum", kHeader + kData1 + bad_sum + kData3 + kEnd, 3,
       "record checksum is " + given + ", the record's bytes give " + right},
      {"binary garbage", std::string("\x00\xFF\x13\x80garbage\x01", 12), 1,
       "record begins with byte 0x00, not 'S'"},
      {"garbage after records", kHeader + kData1 + "\x7F\x45LF" + kEnd, 3,
       "record begins with byte 0x7F, not 'S'"},
      {"lower-case mark", "s" + kSmallFile.substr(1), 1, "record begins with 's', not 'S'"},
      {"not a hex digit", kHeader + bad_digit + kEnd, 2,
       "column 12: 'G' is not a hexadecimal digit"},
      {"NUL in a record", kHeader + kData1.substr(0, 20) + '\0' + kData1.substr(21) + kEnd, 2,
       "column 21: byte 0x00 is not a hexadecimal digit"},
      {"bad count digit", kHeader + "S3G5" + kData1.substr(4) + kEnd, 2,
       "count field: 'G' is not a hexadecimal digit"},
      {"type not a digit", kHeader + "SX" + kData1.substr(2) + kEnd, 2,
       "record type 'X' is not a digit"},
      {"type 4", kHeader + "S4" + kData1.substr(2) + kEnd, 2, "type 4 is not a record type"},
      {"cut short within its line", kHeader + kData1.substr(0, 34) + "\r\n" + kEnd, 2,
       "record is cut short: the line ends after 30 of the 42 characters its count 15 gives"},
      {"cut short before the count", kHeader + "S3\r\n" + kEnd, 2,
       "record is cut short: the line ends before its count field is complete"},
      {"cut short by the end of the file", kHeader + kData1.substr(0, 20), 2,
       "record is cut short by the end of the file after 16 of the 42 characters its count 15 "
       "gives"},
      {"file ends after the mark", kHeader + "S", 2,
       "record is cut short by the end of the file before its count field is complete"},
      {"longer than its count", kHeader + kData1.substr(0, 46) + "00\r\n" + kEnd, 2,
       "record is longer than its count 15 says: more than 42 characters follow the count"},
      {"count too small for the address", kHeader + "S30400000000FB\r\n" + kEnd, 2,
       "type 3 record has count 04; its 4 address bytes and checksum need at least 05"},
      {"termination with data", kHeader + Record(7, 0, "x"), 2,
       "type 7 record has count 06; it holds only its 4 address bytes and checksum, count 05"},
  };
  for (const auto& c : cases) ExpectFault(c);
}

TEST(SRecordChecker, NamesRecordsInTheWrongPlaceOrOrder) {
  const FaultCase cases[] = {
      {"type 8 record", kHeader + kData1 + Record(8, 0) + kEnd, 3,
       "type 8 record: the updater does not take it as a termination record..."},
      {"type 8 as the only end", kHeader + kData1 + Record(8, 0), 3,
       "type 8 record: the updater does not take it as a termination record..."},
      {"descending address", kHeader + kData2 + kData1 + kEnd, 3,
       "data address 00000100 lies below the end of the previous data record (00000120); "
       "addresses must ascend without overlap"},
      {"overlap", kHeader + kData1 + Record(3, 0x10F, "overlapping") + kEnd, 3,
       "data address 0000010F lies below the end of the previous data record (00000110); "
       "addresses must ascend without overlap"},
      {"repeated record", kHeader + kData1 + kData1 + kEnd, 3,
       "data address 00000100 lies below..."},
      {"past the 16-bit space", Record(1, 0xFFF8, std::string(16, 'a')) + Record(9, 0), 1,
       "data runs past the top of the 16-bit address space"},
      {"header not first", kData1 + kHeader + kEnd, 2,
       "header record (type 0) after the first record; only the first record may be a "
       "header"},
      {"count record miscounts", kHeader + kData1 + kData2 + Record(5, 3) + kEnd, 4,
       "type 5 record counts 3 data records; 2 precede it"},
  };
  for (const auto& c : cases) ExpectFault(c);
}

// Garbage must never crash or read outside the record buffer: every byte value at every
// position of a small file, and seeded random mutations (run under the sanitizers).
TEST(SRecordChecker, SurvivesEverySingleByteChangeAndRandomNoise) {
  const std::string base = kHeader + kData1 + kEnd;
  for (size_t pos = 0; pos < base.size(); ++pos) {
    for (int value = 0; value < 256; ++value) {
      std::string mutated = base;
      mutated[pos] = static_cast<char>(value);
      if (mutated == base) continue;
      // Every change is caught but those that leave a valid file: a hex letter changing
      // case, or the header or the data record (both at low addresses) turning into a data
      // record of type 1 or 2, whose shorter address leaves the data ascending.
      const char was = base[pos];
      const bool case_change = was >= 'A' && was <= 'F' && value == was - 'A' + 'a';
      const bool header_to_data =
          (pos == 1 || pos == kHeader.size() + 1) && (value == '1' || value == '2');
      const auto fault = CheckSRecordBytes(mutated);
      EXPECT_EQ(!fault, case_change || header_to_data) << pos << " " << value;
    }
  }
  uint64_t state = 12345;
  auto next = [&] {
    state = state * 6364136223846793005u + 1442695040888963407u;
    return static_cast<uint32_t>(state >> 33);
  };
  for (int round = 0; round < 2000; ++round) {
    std::string noise(next() % 400, '\0');
    for (char& c : noise) c = "S0123456789ABCDEFabcdef\r\n\x00\xFF"[next() % 27];
    SRecordChecker checker;
    checker.Feed(noise);
    checker.Finish();
  }
}

// ---------------------------------------------------------------------------------------
// Files

TEST(PayloadFiles, CheckTheFileItselfAndGuessItsKind) {
  testing::TempFile empty("", "dlgsp2.bin");
  testing::TempFile image(AsString(BuildLoaderImage()), "dlgsp2.bin");
  testing::TempFile srec_unnamed(kSmallFile, "firmware");
  testing::TempFile broken_unnamed("\xEF\xBB\xBF" + kSmallFile, "firmware");
  testing::TempFile lf_only(WithLfOnly(kSmallFile), "fw.S19");

  const auto missing = CheckLoaderImage(empty.folder() / "absent.bin");
  ASSERT_TRUE(missing);
  EXPECT_EQ(FormatFault(*missing), "file does not exist");
  const auto dir = CheckLoaderImage(empty.folder());
  ASSERT_TRUE(dir);
  EXPECT_EQ(dir->message, "is a directory, not a file");
  const auto none = CheckLoaderImage(empty.path());
  ASSERT_TRUE(none);
  EXPECT_EQ(none->message, "file is empty");
  EXPECT_EQ(none->line, 0u);
  EXPECT_FALSE(CheckLoaderImage(image.path()));
  const auto not_regular = CheckLoaderImage("/dev/null");
  ASSERT_TRUE(not_regular);
  EXPECT_EQ(not_regular->message, "not a regular file");

  const auto missing_srec = CheckSRecordFile(empty.folder() / "absent.s");
  ASSERT_TRUE(missing_srec);
  EXPECT_EQ(missing_srec->message, "file does not exist");
  const auto empty_srec = CheckSRecordFile(empty.path());
  ASSERT_TRUE(empty_srec);
  EXPECT_EQ(FormatFault(*empty_srec), "line 1: file is empty");

  EXPECT_EQ(GuessPayloadKind(image.path()), PayloadKind::kLoaderImage);
  EXPECT_EQ(GuessPayloadKind(srec_unnamed.path()), PayloadKind::kSRecordFile);
  EXPECT_EQ(GuessPayloadKind(broken_unnamed.path()), PayloadKind::kSRecordFile);
  EXPECT_EQ(GuessPayloadKind(lf_only.path()), PayloadKind::kSRecordFile);
  EXPECT_STREQ(PayloadKindName(PayloadKind::kSRecordFile), "firmware S-record file");

  const PayloadCheck broken = CheckPayloadFile(broken_unnamed.path());
  ASSERT_TRUE(broken.fault);
  EXPECT_EQ(FormatFault(*broken.fault),
            "line 1: file begins with a byte-order mark; it must begin with a record");
  const PayloadCheck lf = CheckPayloadFile(lf_only.path());
  ASSERT_TRUE(lf.fault);
  EXPECT_EQ(FormatFault(*lf.fault), "line 1: line ends with LF only; CR LF expected");
}

TEST(PayloadFiles, StreamsAFileLargerThanOneReadChunk) {
  // A fault far into a file that spans many reads is found on its line.
  std::string big = kHeader;
  uint32_t address = 0;
  for (int i = 0; i < 5000; ++i, address += 0x10) big += Record(3, address, std::string(16, 'z'));
  const size_t bad_line = 5002;  // header, 5000 data records, then this one
  testing::TempFile good(big + kEnd, "big.s");
  testing::TempFile bad(big + Record(3, address - 1, "x") + kEnd, "big.s");
  EXPECT_FALSE(CheckSRecordFile(good.path()));
  const auto fault = CheckSRecordFile(bad.path());
  ASSERT_TRUE(fault);
  EXPECT_EQ(fault->line, bad_line);
}

}  // namespace
}  // namespace larkspan
