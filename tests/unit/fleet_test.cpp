// Receivers upgraded side by side on fakes, each worker on its own thread: one flashed whole,
// one whose loader rejects records, one whose loader falls silent. A failure stays with its
// receiver, each reads the one payload file through a view of its own, and the installed-
// version record waits until it is committed. Run under ThreadSanitizer in CI.
#include <gtest/gtest.h>

#include <cstdio>
#include <deque>

#include "frontend/cli/fleet_board.h"
#include "frontend/cli/fleet_upgrade.h"
#include "platform/registry.h"
#include "tests/e2e/process.h"
#include "tests/fakes/fake_receiver.h"
#include "tests/fakes/memory_registry.h"
#include "tests/unit/temp_file.h"
#include "transfer/installed_version.h"
#include "transfer/srecord_format.h"

namespace larkspan {
namespace {

using testing::FakeReceiver;
using testing::FakeSerialPorts;
using testing::TestClock;

struct FakeBench {
  FakeBench(const std::string& port, FleetBoard& board, Registry& registry,
            std::optional<std::filesystem::path> history = std::nullopt)
      : row(board.AddRow(port)), receiver(ports), state(ports, clock, row, registry),
        run(port, SessionSettings{state, awake, {}, port, history, GeneratedPayloadDigests(),
                                  [this](const std::string& lines) { told += lines; }, nullptr, "run1"}) {
    run.watch = [this](ProgressMeter* meter) { row.Watch(meter); };
  }
  // The S-record stream: the records written at 115200 (the loader's header has six bytes).
  std::string Stream() const {
    std::string sent;
    for (const auto& write : ports.writes) {
      if (write.baud == 115200 && write.bytes.size() > 6 && write.bytes[0] == 'S') sent += testing::Text(write.bytes);
    }
    return sent;
  }
  FleetBoard::Row& row;
  TestClock clock;
  FakeSerialPorts ports{clock};
  FakeReceiver receiver;
  ProgramState state;
  NoSleepInhibitor awake;
  std::string told;  // the session's lines beside the boxes
  ReceiverRun run;
};

TEST(Fleet, AFailingReceiverEndsAloneAndTheRecordWaitsForTheCommit) {
  std::string firmware = "S00600004844521B\r\n";
  for (uint32_t i = 0; i < 40; ++i) firmware += FormatSRecord(3, i * 4, std::vector<uint8_t>(4, static_cast<uint8_t>(i)));
  firmware += "S70500000000FA\r\n";
  const testing::TempFile loader_file(std::string(300, '\x5A'), "dlgsp2.bin"), firmware_file(firmware, "firmware.s");
  ReadOnlyFile loader, records;
  ASSERT_TRUE(loader.Open(loader_file.path()));
  ASSERT_TRUE(records.Open(firmware_file.path()));

  std::FILE *out = std::tmpfile(), *err = std::tmpfile();
  FleetBoard board(out, err, /*terminal=*/true, 100);
  testing::MemoryRegistry registry;
  registry.CreateKey(kInstalledVersionRoot, kInstalledVersionKey);
  HeldRegistry held(registry);
  std::deque<FakeBench> benches;
  const testing::TempFile history("", "history.jsonl");
  for (const char* port : {"/dev/ok", "/dev/rejects", "/dev/silent", "/dev/new"}) {
    benches.emplace_back(port, board, held, history.path());
  }
  benches[3].receiver.version_line = "$PSRFTXT,Version: 2.4.13.03.10-GSW2\r\n";
  benches[1].receiver.reject_records = true;
  benches[2].receiver.answered_records = 20;
  std::vector<ReceiverRun*> runs;
  for (auto& bench : benches) runs.push_back(&bench.run);

  std::string asked;
  UpgradeSideBySide(runs, {{loader, records}, 42, "/root", false, [&](const std::vector<ReceiverRun*>& waiting) {
                             for (const ReceiverRun* run : waiting) asked += run->to_flash ? run->port + " " : "";
                             return true; }});
  EXPECT_EQ(asked, "/dev/ok /dev/rejects /dev/silent ") << "asked once, for all but the one that runs the new version";

  EXPECT_NE(benches[0].Stream().find(firmware.substr(0, firmware.size() - 16)), std::string::npos)
      << "the whole file but its end record, in order, from this receiver's own view";
  for (size_t i : {1, 2}) EXPECT_GT(benches[i].run.failed_at_us, 0) << i;  // their outcomes: the table below
  EXPECT_EQ(benches[2].run.session.telemetry().stage.load(), WorkerStage::kFirmware) << "ended where the loader fell silent";
  EXPECT_EQ(FirstFailureStatus(runs), 1);
  EXPECT_EQ(e2e::Count(e2e::ReadFile(history.path()), "\n"), 4u) << "one history line a receiver";
  const std::string boxes = testing::TakeText(err);
  EXPECT_NE(boxes.find("[/dev/rejects] Response: Bad S-record transfer.Try Upload again.\n"), std::string::npos);
  EXPECT_NE(boxes.find("[/dev/silent] Time Out: Cannot receive data from GPS module. Please restart application "
                       "again!\n"), std::string::npos) << boxes;
  EXPECT_EQ(e2e::Count(boxes, "[/dev/ok] "), 1u) << "the warning only: " << boxes;
  EXPECT_EQ(benches[0].told, "") << "a held record is no failure";
  const std::string rows = testing::TakeText(out);
  EXPECT_NE(rows.find("\r/dev/ok       [########............] firmware 42% "), std::string::npos)
      << "its row with the stage, percent and rate: " << rows;
  EXPECT_EQ(ResultTable(runs),
            "PORT          BEFORE        AFTER         RESULT                       TIME\n"
            "/dev/ok       2.3.2.03.07   2.4.13.03.10  ok                           0:00\n"
            "/dev/rejects  2.3.2.03.07   unknown       failed (firmware, status 1)  0:00\n"
            "/dev/silent   2.3.2.03.07   unknown       failed (firmware, status 1)  0:00\n"
            "/dev/new      2.4.13.03.10  unknown       skipped                      0:00\n");
  EXPECT_NE(benches[1].run.hint.find("(record 1 of 42 was not taken), and its flash loader no longer answers"),
            std::string::npos) << benches[1].run.hint;

  EXPECT_FALSE(registry.Value(kInstalledVersionRoot, kInstalledVersionKey, kInstalledVersionValue));
  registry.fail_writes = true;
  EXPECT_FALSE(held.Commit()) << "a value that cannot be written fails the commit";
  registry.fail_writes = false;
  EXPECT_TRUE(held.Commit());
  EXPECT_EQ(registry.Value(kInstalledVersionRoot, kInstalledVersionKey, kInstalledVersionValue).value_or(
                std::vector<uint8_t>()).size(), 28u);
}

// A view needs an open file and reads from its own position; its close ends the view only, and
// the file stays held while any view is open.
TEST(Fleet, PayloadViewsReadApartAndKeepTheFileHeld) {
  const testing::TempFile file("abcdef");
  ReadOnlyFile owner, first, second, other;
  EXPECT_FALSE(first.OpenView(owner) || owner.Open(file.path().string() + ".missing"));
  ASSERT_TRUE(owner.Open(file.path()) && first.OpenView(owner) && second.OpenView(owner));
  uint8_t bytes[8];
  size_t got = 0;
  ASSERT_TRUE(first.Read({bytes, 4}, got) && second.Read({bytes, 8}, got));
  EXPECT_EQ(std::string(bytes, bytes + got), "abcdef");
  first.Close();
  owner.Close();
  EXPECT_FALSE(other.Open(file.path())) << "a view still holds the file";
}

}  // namespace
}  // namespace larkspan
