// Broken payload files through the programs themselves: `larkspan-cli check` names the
// first fault with its line, and `upgrade` refuses the files before it touches the receiver.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/e2e/process.h"

namespace larkspan::e2e {
namespace {

namespace fs = std::filesystem;

const fs::path kPayloads = PAYLOAD_DIR;
constexpr char kHeader[] = "S00600004844521B\r\n";
constexpr char kData[] = "S3150000000000112233445566778899AABBCCDDEEFFF2\r\n";
constexpr char kEnd[] = "S70500000000FA\r\n";

struct BadFile {
  const char* name;
  std::string content;
  const char* says;  // part of the message naming the fault
};

std::vector<BadFile> BadFiles() {
  std::string garbage;
  for (int i = 0; i < 4096; ++i) garbage.push_back(static_cast<char>((i * 73 + 11) % 256));
  return {
      {"empty", "", "empty"},
      {"LF-only line ends", "S00600004844521B\n" + std::string(kEnd), "line 1"},
      {"count above 147", std::string(kHeader) + "S394" + std::string(2 * 0x94 + 2, '0') + "\r\n" + kEnd, "line 2"},
      {"binary garbage", garbage, "line 1"},
      {"no termination record", std::string(kHeader) + kData, "termination"},
      {"text after the termination record", std::string(kHeader) + kData + kEnd + "hello\r\n", "line 4"},
  };
}

TEST(BadPayloads, CheckNamesEachFaultAndUpgradeRefusesItWithoutTouchingTheReceiver) {
  for (const BadFile& bad : BadFiles()) {
    SCOPED_TRACE(bad.name);
    TempDir root;
    fs::copy(kPayloads / "dlgsp2.bin", root.path());
    const fs::path firmware = root.path() / "Orvel_GPS_Firmware_R10.s";
    std::ofstream(firmware, std::ios::binary) << bad.content;

    const RunResult check = e2e::Run({LARKSPAN_CLI, "check", firmware.string()}, 30);
    EXPECT_EQ(check.exit_status, 1) << check.out << check.err;
    EXPECT_NE(check.out.find(firmware.string() + ": firmware S-record file: "), std::string::npos) << check.out;
    EXPECT_NE(check.out.find(bad.says), std::string::npos) << check.out;

    const RunResult upgrade =
        e2e::Run({LARKSPAN_CLI, "--port", "/nonexistent/receiver", "--root", root.path().string(), "upgrade"}, 30);
    EXPECT_EQ(upgrade.exit_status, 1);
    EXPECT_NE(upgrade.err.find("refusing to upgrade"), std::string::npos) << upgrade.err;
    EXPECT_EQ(upgrade.err.find("COM1 can't be opened."), std::string::npos) << "the receiver was not touched";
  }
}

TEST(BadPayloads, AFileOverAHundredMegabytesIsCheckedToItsEnd) {
  TempDir root;
  const fs::path firmware = root.path() / "huge.s";
  {
    std::ofstream out(firmware, std::ios::binary);
    out << kHeader;
    char record[64];
    // 2.4 million full data records at ascending addresses: 115 MB.
    for (uint32_t i = 0; i < 2'400'000; ++i) {
      const uint32_t address = i * 16;
      unsigned sum = 0x15 + (address >> 24) + ((address >> 16) & 0xFF) + ((address >> 8) & 0xFF) + (address & 0xFF);
      std::snprintf(record, sizeof record, "S315%08X%s%02X\r\n", address, "00000000000000000000000000000000",
                    ~sum & 0xFF);
      out << record;
    }
    out << kEnd << "trailing text\r\n";
  }
  ASSERT_GT(fs::file_size(firmware), 100u << 20);
  const RunResult check = e2e::Run({LARKSPAN_CLI, "check", firmware.string()}, 120);
  EXPECT_EQ(check.exit_status, 1) << check.err;
  EXPECT_NE(check.out.find("line 2400003"), std::string::npos) << check.out;
}

}  // namespace
}  // namespace larkspan::e2e
