// The upgrade session on the fakes: what it refuses before anything opens a payload file, and
// the outcome, versions and history line of runs that end badly.
#include <sys/stat.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>

#include "frontend/session/upgrade_session.h"
#include "tests/unit/scenario_rig.h"
#include "transfer/installed_version.h"
#include "transfer/payload_files.h"

namespace larkspan::testing {
namespace {

namespace fs = std::filesystem;

// A FIFO linked as the firmware would hang whatever opened it: refused at once, checked or not.
TEST(Session, RefusesAPayloadThatIsNoRegularFileBeforeAnythingOpensIt) {
  Rig rig;
  const TempFile loader(std::string(20, '\x7F'), kLoaderFileName);
  ASSERT_EQ(mkfifo((loader.folder() / kFirmwareFileName).c_str(), 0600), 0);
  for (const bool check : {true, false}) {
    const auto refused = CheckPayloadFiles(loader.folder(), check, rig.sink, [](const std::string&) {});
    EXPECT_EQ(refused.value_or(Outcome{}).status, exit_status::kPayloadsRefused);
  }
  EXPECT_NE(rig.transcript.Text().find(".s cannot be sent: not a regular file. [icon warning, owner dialog] x2"),
            std::string::npos) << rig.transcript.Text();
}

// A receiver never heard in NMEA after the flash: status 6, no version after, a history line
// that says so; an installed-version record refused is said. A loader that falls silent: nothing more is
// sent after its box, and the run ends with status 1 at the firmware stage (their hints:
// tests/e2e/guidance_test.cpp).
TEST(Session, NotBackInNmeaIsStatus6AndASilentLoaderEndsTheRun) {
  std::string results;
  for (const bool silent_loader : {false, true}) {
    Rig rig;
    FakeReceiver& receiver = rig.Receiver();
    receiver.new_firmware_speed = 9600;  // the new firmware talks where no attempt listens
    if (silent_loader) receiver.answered_records = 1;  // the header's answer, then silence
    rig.registry.CreateKey(kInstalledVersionRoot, kInstalledVersionKey);
    rig.registry.fail_writes = true;
    const TempFile loader(std::string(20, '\x7F'), kLoaderFileName), firmware(Records(3), kFirmwareFileName);
    fs::copy(firmware.path(), loader.folder());
    NoSleepInhibitor awake;
    std::string told;
    UpgradeSession session({rig.state, awake, loader.folder(), "/dev/ttyUSB0", loader.folder() / "history.jsonl",
                            GeneratedPayloadDigests(), [&](const std::string& t) { told += t; }});
    session.NoteVersionBefore("2.3.2.03.07");
    ASSERT_FALSE(session.Prepare());
    const Outcome outcome = session.Run();
    const auto line = nlohmann::json::parse(e2e::ReadFile(loader.folder() / "history.jsonl"));
    results += std::to_string(outcome.status) + " " + line.value("result", "") + " " + line.value("failed_stage", "") +
               " " + line.value("version_before", "") + " after=" + line["version_after"].dump() + " last write " +
               Text(rig.port.writes.back().bytes).substr(0, 2) +
               (told.find(kRecordUnwritten) == std::string::npos ? "; " : ", record told; ");
  }
  EXPECT_EQ(results, "6 not-back-in-nmea revert 2.3.2.03.07 after=null last write $P, record told; "
                     "1 failed firmware 2.3.2.03.07 after=null last write S3; ");
}

// A line torn by a full disk or a power loss keeps to itself; a port path that is not UTF-8
// and a version with a NUL and an escape byte are written, read back and shown escaped; the
// table gives local time (or UTC), the run and a failed run's reason, and an older line
// without them; a folder in the file's place is refused.
TEST(History, LinesStayWholeAndReadableWhateverTheFileAndTheTextHold) {
  const TempFile file("{\"started\":\"2026-01-02T03:04:05Z\",\"port\":\"/dev/ttyS0\",\"result\":\"ok\"}\n"
                      "{\"port\":\"/dev/ttyS1\",\"resu", "history.jsonl");
  Rig rig;
  const UpgradeRecorder recorder("/dev/\xFF", "0000abcd");
  std::string error;
  ASSERT_TRUE(AppendHistory(file.path(), recorder.Line(rig.telemetry, 0, "ok", nullptr, std::string("2.3\0\x1B[2J", 8), {}),
                            &error)) << error;
  ASSERT_TRUE(AppendHistory(file.path(), recorder.Line(rig.telemetry, 1, "failed", "firmware", {}, {}, "Bad S-record."),
                            &error));
  const std::string text = e2e::ReadFile(file.path());
  size_t bad = 0;
  EXPECT_EQ(e2e::Count(HistoryJsonLines(text, bad), "\"version_before\":\"2.3\\u0000\\u001b[2J\""), 1u) << text;
  setenv("TZ", "EET-2", 1);  // two hours east of UTC, without summer time
  tzset();
  const std::string table = HistoryTable(text);
  EXPECT_TRUE(bad == 1 && table.find("0000abcd  /dev/\xEF\xBF\xBD    2.3\\x00\\x1B[2J") != std::string::npos &&
              table.find('\x1B') == std::string::npos) << table;
  EXPECT_NE(table.find("2026-01-02 05:04:05  -         /dev/ttyS0  -"), std::string::npos) << "an old line, in local time";
  EXPECT_TRUE(table.ends_with("  failed  firmware  0        Bad S-record.\n")) << table;
  EXPECT_NE(HistoryTable(text, /*utc=*/true).find("2026-01-02T03:04:05Z"), std::string::npos);
  EXPECT_FALSE(AppendHistory(file.folder(), recorder.Line(rig.telemetry, 0, "ok", nullptr, {}, {}), &error));
  EXPECT_NE(error.find("Is a directory"), std::string::npos) << error;
}

}  // namespace
}  // namespace larkspan::testing
