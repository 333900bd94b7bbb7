// The payloads make-payloads writes (the release's layout under the names the updater opens)
// and the payload checks: each file's verdict, a fault named with its line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "tests/e2e/process.h"
#include "tests/golden.h"
#include "tests/unit/scenario_rig.h"
#include "tests/unit/temp_file.h"
#include "tools/make_payloads/payload_maker.h"
#include "transfer/payload_check.h"
#include "transfer/payload_files.h"
#include "transfer/test_payloads.h"

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

// A file's findings as the reviewed list has them: its error with its line (none for the whole
// file), or "ok", then each warning with its line.
std::string Findings(const PayloadCheck& check) {
  const auto finding = [](const char* level, const PayloadFault& f) {
    return std::string(level) + (f.line ? "line " + std::to_string(f.line) + ": " : "") + f.message + "\n";
  };
  std::string findings = check.fault ? finding("error: ", *check.fault) : "ok\n";
  for (const PayloadFault& warning : check.warnings) findings += finding("  warning: ", warning);
  return findings;
}
// Only the gravest: "error", "warning" or "ok".
std::string Verdict(const PayloadCheck& check) {
  return check.fault ? "error" : check.warnings.empty() ? "ok" : "warning";
}

// A header and a termination record.
const std::string kHeader = Record(0, 0, "HDR");
const std::string kEnd = Record(7, 0);

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
  // 0 up by 0x10; one of 40 bytes (12 data bytes) at 0x0004AC20; the 16-byte termination. The
  // count and the size above, and srec_info's range below, pin that layout.
  EXPECT_EQ(std::ranges::count(firmware, '\n'), 19'141);
  EXPECT_EQ(Findings(CheckPayloadFile(dir / kFirmwareFileName)), "ok\n");  // every checksum, no gap, no warning
  // Debian's srecord reads the same file as one range of data.
  const std::string info = Output("srec_info '" + (dir / kFirmwareFileName).string() + "'");
  EXPECT_NE(info.find("Header: \"HDR\"\nExecution Start Address: 00000000\nData:   000000 - 04AC2B\n"), std::string::npos) << info;
  EXPECT_FALSE(CheckSRecordBytes(firmware));
  EXPECT_EQ(Findings(CheckPayloadFile(dir / "absent.s")), "error: file does not exist\n");
  EXPECT_EQ(Findings(CheckPayloadFile(dir)), "error: is a directory, not a file\n");
  EXPECT_EQ(Findings(CheckPayloadFile("/dev/null")), "error: not a regular file\n");
}

// The generated files are random bytes: flashed into a real receiver they would leave it
// without firmware. Refused, before the port is opened, on anything but a pseudo-terminal; a
// file changed in one byte is a release's, and a refusal leaves the read position alone.
TEST(PayloadFiles, TheGeneratedFilesReachOnlyAPseudoTerminal) {
  const GeneratedPayloads generated = payloads::BuildPayloads();
  struct Case { bool pty; bool loader_changed; bool firmware_changed; bool refused; };
  for (const Case c : {Case{false, false, false, true}, {true, false, false, false}, {false, false, true, true},
                       {false, true, false, true}, {false, true, true, false}}) {
    SCOPED_TRACE(::testing::Message() << c.pty << c.loader_changed << c.firmware_changed);
    std::string loader(generated.loader.begin(), generated.loader.end()), firmware = generated.firmware;
    if (c.loader_changed) loader[7'000] ^= 0x01;
    if (c.firmware_changed) firmware[firmware.size() / 2] = firmware[firmware.size() / 2] == 'A' ? 'B' : 'A';
    const testing::TempFile loader_file(loader, kLoaderFileName), firmware_file(firmware, kFirmwareFileName);
    fs::copy(firmware_file.path(), loader_file.folder());
    testing::Rig rig;
    rig.port.pseudo_terminal = c.pty;
    OpenPayloadFiles(rig.state, loader_file.folder());
    EXPECT_EQ(RefuseTestPayloads(rig.state, payloads::BuildPayloads), c.refused);
    EXPECT_EQ(rig.transcript.Text(), c.refused ? "   0.000000 box Update: These files are test data made by make-payloads, "
                                                 "not firmware for a real receiver. [icon warning, owner dialog]\n"
                                               : "");
    EXPECT_EQ(rig.state.srecord_file.IsOpen(), !c.refused);
    EXPECT_EQ(rig.state.loader_file.IsOpen(), !c.refused);
    if (c.refused) continue;
    std::string start(8, '\0');
    size_t got = 0;
    ASSERT_TRUE(rig.state.srecord_file.Read({reinterpret_cast<uint8_t*>(start.data()), start.size()}, got));
    EXPECT_EQ(start, firmware.substr(0, 8));
  }
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
  const struct { const char* what; std::string file; const char* verdict; } cases[] = {
      {"S1 data, S5 count, S9 end", cat(in + "0x100 -address-length=2"), "ok"},
      {"S3 data, S7 end, 16 bytes a line", cat(in + "0x1000 -address-length=4 -obs=16"), "ok"},
      {"S3 data, S7 end, 64 bytes a line", cat(in + "0x1000 -address-length=4 -obs=64"), "ok"},
      {"S2 data, S8 end", cat(in + "0x1000 -address-length=3"), "error"},
      {"two blocks with a gap", cat(in + "0x100" + in + "0x4000 -address-length=4"), "warning"},
      {"blocks in descending order", blocks({"0x8000", "0x1000"}), "warning"},
      {"a block written twice", blocks({"0x8000", "0x1000", "0x8000"}), "error"},
      {"a blank line after the end", cat(in + "0x1000 -address-length=4") + "\r\n", "warning"},
      {"text after the end", cat(in + "0x1000 -address-length=4") + "; made by srec_cat\r\n", "warning"},
  };
  for (const auto& c : cases) {
    const testing::TempFile file(c.file, "firmware.s");
    EXPECT_EQ(Verdict(CheckPayloadFile(file.path())), c.verdict) << c.what << "\n" << c.file;
  }
}

// Each file under tests/data/payload_checks (its name's extension decides its kind, or its
// content where it has none) against its reviewed verdict: the error with its line, or ok, then
// every warning with its line.
TEST(SRecordChecker, GivesEachFileItsVerdictWithTheLineAndMessage) {
  std::vector<fs::path> files(fs::directory_iterator(testing::DataFile("payload_checks")), {});
  std::ranges::sort(files);
  std::string verdicts;
  for (const fs::path& file : files) {
    const PayloadCheck check = CheckPayloadFile(file);
    verdicts += file.filename().string() + ": " + PayloadKindName(check.kind) + ": " + Findings(check);
  }
  testing::ExpectGolden("payload_checks.txt", verdicts);
}

}  // namespace
}  // namespace larkspan
