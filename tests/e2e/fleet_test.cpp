// One larkspan-cli upgrade for three receiver-sims side by side, in real time: two flashed
// whole, one whose loader rejects record 500. What only real ptys and processes show: each
// simulator hears only its own port's traffic, the boxes and lines name their ports, the exit
// status, the table, the JSON events and the files left behind. (The command line's rules for
// several ports are tested with the other options, in tests/unit/cli_test.cpp.)
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/e2e/mock_logind.h"
#include "tests/e2e/process.h"

namespace larkspan::e2e {
namespace {

namespace fs = std::filesystem;

TEST(Fleet, ThreeReceiversOneRejectingARecordFailOnlyThatOneAndRecordNothing) {
  const TempDir dir;
  const fs::path key = dir.path() / "registry/HKEY_LOCAL_MACHINE/SOFTWARE/Apps/Tessan SW";
  fs::create_directories(key);
  fs::copy(PAYLOAD_DIR, dir.path() / "root");
  const std::string firmware = (dir.path() / "root/Orvel_GPS_Firmware_R10.s").string();
  const SimProcess good1({"--firmware", firmware}), bad({"--firmware", firmware, "--reject-record", "500"}),
      good2({"--firmware", firmware});
  const MockLogind logind;
  const RunResult run = e2e::Run({LARKSPAN_CLI, "upgrade", "--json", "--root", dir.path() / "root", "--port", good1.device(),
                             "--port", bad.device(), "--port", good2.device()},
                            400,
                            {"LARKSPAN_REGISTRY=" + (dir.path() / "registry").string(),
                             "XDG_STATE_HOME=" + (dir.path() / "state").string(),
                             "DBUS_SYSTEM_BUS_ADDRESS=" + logind.address()});
  EXPECT_EQ(run.exit_status, 1) << run.err;

  EXPECT_EQ(Count(run.err, "[" + bad.device() + "] Response: Bad S-record transfer.Try Upload again.\n"), 1u)
      << run.err;
  EXPECT_NE(run.err.find("\n" + bad.device() + " "), std::string::npos) << "the table's row: " << run.err;
  EXPECT_FALSE(fs::exists(key / "FW")) << "the record is written only when every receiver succeeded";

  EXPECT_EQ(SchemaErrors(run.out), "");
  EXPECT_EQ(Count(run.out, "\",\"port\":\""), Count(run.out, "\n")) << "every event names its port: " << run.out;
  for (const SimProcess* sim : {&good1, &bad, &good2}) {
    EXPECT_EQ(Count(sim->Log(), "flash-end records=19141 data-bytes=306220 match=yes"), sim == &bad ? 0u : 1u);
    EXPECT_EQ(Count(run.out, "{\"event\":\"result\",\"port\":\"" + sim->device() + "\",\"ok\":" +
                                 (sim == &bad ? "false" : "true")), 1u) << run.out;
  }
  EXPECT_EQ(Count(ReadFile(dir.path() / "state/larkspan/history.jsonl"), "\"port\":"), 3u);
}

}  // namespace
}  // namespace larkspan::e2e
