// The payloads make-payloads writes (the release's layout under the names the updater opens)
// and the payload checks: each file's verdict, a fault named with its line.
#include <gtest/gtest.h>

#include <algorithm>

#include "frontend/session/upgrade_session.h"
#include "frontend/cli/upgrade_steps.h"
#include "platform/file_digest.h"
#include "tests/e2e/process.h"
#include "tests/golden.h"
#include "tests/unit/scenario_rig.h"
#include "tests/unit/temp_file.h"
#include "tools/make_payloads/payload_maker.h"
#include "transfer/payload_file_check.h"
#include "transfer/payload_files.h"
#include "transfer/test_payloads.h"

namespace larkspan {
namespace {

namespace fs = std::filesystem;

// A file's findings as larkspan-cli check prints them: its error with its line (none for the
// whole file), or "ok", then each warning with its line; each line after `prefix`.
std::string Findings(const PayloadCheck& check, const std::string& prefix = "") {
  std::FILE* out = std::tmpfile();
  PrintFindings(out, prefix, check, /*say_ok=*/true);
  return testing::TakeText(out);
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

  // Recorded once from the generator (sha256sum); a change here changes every machine's payloads.
  const std::string firmware = e2e::ReadFile(dir / "Orvel_GPS_Firmware_R10.s");
  EXPECT_EQ(Sha256OfFile(dir / "dlgsp2.bin"), "f523c68a4e742341308ddb19fff9a28b4fa0964ed3c784ee2c3afef63abdeb00");
  EXPECT_EQ(Sha256OfFile(dir / kFirmwareFileName), "b80e72bbb3640c21fe11cf1ab2ef1e936571bc3a3e44390374904bea2b839773");
  EXPECT_EQ(Sha256OfFile(dir / "absent"), std::nullopt);
  // The release's 19,141 records: the header; 19,138 of 48 bytes (16 data bytes) from address
  // 0 up by 0x10; one of 40 bytes (12 data bytes) at 0x0004AC20; the 16-byte termination. The
  // count and the size above, and srec_info's range below, pin that layout.
  EXPECT_EQ(std::ranges::count(firmware, '\n'), 19'141);
  EXPECT_EQ(Findings(CheckPayloadFile(dir / kFirmwareFileName)), "ok\n");  // every checksum, no gap, no warning
  // Debian's srecord reads the same file as one range of data.
  const std::string info = e2e::Run({"/usr/bin/srec_info", dir / kFirmwareFileName}, 30).out;
  EXPECT_NE(info.find("Header: \"HDR\"\nExecution Start Address: 00000000\nData:   000000 - 04AC2B\n"), std::string::npos) << info;
  SRecordChecker checker;  // what the updater sends ends with the termination record's line
  checker.Feed(firmware + "S1 after the end\r\n");
  EXPECT_TRUE(checker.Finish() && checker.records_end() == firmware.size());
  EXPECT_EQ(Findings(CheckPayloadFile(dir / "absent.s")) + Findings(CheckPayloadFile(dir)) + Findings(CheckPayloadFile("/dev/null")),
            "error: file does not exist\nerror: is a directory, not a file\nerror: not a regular file\n");
}

// The generated files are random bytes: flashed into a real receiver they would leave it
// without firmware. Refused, before the port is opened, on anything but a pseudo-terminal; a
// file changed in one byte is a release's, and a refusal leaves the read position alone. The
// programs know them by the digests the build wrote, not by making them.
TEST(PayloadFiles, TheGeneratedFilesReachOnlyAPseudoTerminal) {
  const payloads::GeneratedPayloads generated = payloads::BuildPayloads();
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
    EXPECT_EQ(RefuseTestPayloads(rig.state, GeneratedPayloadDigests()), c.refused);
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

// Each file under tests/data/payload_checks (its name's extension decides its kind, or its
// content where it has none) against its reviewed verdict: the error with its line, or ok, then
// every warning with its line. The files named srec-cat were written by Debian's srec_cat, an
// S-record writer independent of ours, in each of its record layouts and block orders.
TEST(SRecordChecker, GivesEachFileItsVerdictWithTheLineAndMessage) {
  std::vector<fs::path> files(fs::directory_iterator(testing::DataFile("payload_checks")), {});
  std::ranges::sort(files);
  std::string verdicts;
  for (const fs::path& file : files) {
    const PayloadCheck check = CheckPayloadFile(file);
    verdicts += Findings(check, file.filename().string() + ": " + PayloadKindName(check.kind) + ": ");
  }
  testing::ExpectGolden("payload_checks.txt", verdicts);
}

}  // namespace
}  // namespace larkspan
