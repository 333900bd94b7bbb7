// Whole upgrades: larkspan-cli upgrade against receiver-sim with the generated payloads, in
// real time (about a minute each), run side by side by CTest.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <sstream>
#include <thread>

#include "tests/e2e/process.h"

namespace larkspan::e2e {
namespace {

namespace fs = std::filesystem;

const fs::path kPayloads = PAYLOAD_DIR;
const fs::path kFirmware = kPayloads / "Orvel_GPS_Firmware_R10.s";

// A device root with a copy of the payloads (the updater holds its payload files for
// exclusive use, so runs side by side need their own), and a registry folder with the
// installed-version key.
struct Device {
  TempDir dir;
  fs::path root = dir.path() / "root";
  fs::path value = dir.path() / "registry" / "HKEY_LOCAL_MACHINE" / "SOFTWARE" / "Apps" / "Tessan SW" / "FW";
  Device() {
    fs::create_directories(value.parent_path());
    fs::create_directories(root);
    fs::copy(kPayloads / "dlgsp2.bin", root);
    fs::copy(kFirmware, root);
  }
};

RunResult Upgrade(const SimProcess& sim, const Device& device) {
  return Run({LARKSPAN_CLI, "--port", sim.device(), "--root", device.root.string(), "upgrade"}, 400,
             {"LARKSPAN_REGISTRY=" + (device.dir.path() / "registry").string()});
}

std::string LastStatus(const std::string& out);

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> Statuses(const std::string& out) {
  std::vector<std::string> statuses;
  for (const auto& line : Lines(out)) {
    if (!line.empty() && !std::isdigit(static_cast<unsigned char>(line[0])) && !line.starts_with("Current") &&
        !line.starts_with("The new")) {
      statuses.push_back(line);
    }
  }
  return statuses;
}

std::string LastStatus(const std::string& out) {
  const auto statuses = Statuses(out);
  return statuses.empty() ? std::string("(no status)") : statuses.back();
}

TEST(Upgrade, AWholeUpgradeFlashesTheFirmwareAndRecordsTheNewVersion) {
  SimProcess sim({"--firmware", kFirmware.string()});
  Device device;
  const RunResult run = Upgrade(sim, device);
  EXPECT_EQ(run.exit_status, 0) << run.out << run.err;

  const auto lines = Lines(run.out);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "Current Firmware version: 2.3.2.03.07");
  EXPECT_EQ(lines[1], "The new version after upgrade: 2.4.13.03.10");
  EXPECT_EQ(Statuses(run.out),
            (std::vector<std::string>{"Switch to SiRF Binary protocal...", "Sending update command...",
                                      "Transmitting target loader binary file..", "Waiting...",
                                      "Transmitting target S-records file..", "Switch to NMEA mode.wait...",
                                      "Firmware upgrade finished.", "Reset GPS module...", "Finished!"}));
  // Percentages 1 to 100 for the loader, then 1 to 99 and "100%" for the stream.
  for (int p = 1; p <= 100; ++p) EXPECT_EQ(Count(run.out, "\n" + std::to_string(p) + "%\n"), 2u) << p;
  EXPECT_EQ(run.err,
            "Warning: In order to upgrade the GPS-Firmware correctly, please stop ALL applications and apply "
            "external power to the device. It may take about 5 minutes for upgrading.\n");

  const std::string log = sim.Log();
  // The switch-to-binary sentence twice at 4800: the receiver obeys the first and, already at
  // 38400, hears the second as 27 bytes of garbage.
  EXPECT_EQ(Count(log, "rx-sentence speed=4800 checksum=ok text=$PSRF100,0,38400,8,1,0*3C"), 1u) << log;
  EXPECT_EQ(Count(log, "rx-garbled host=4800 sim=38400 bytes=27"), 1u) << log;
  EXPECT_EQ(Count(log, "rx-frame speed=38400 len=9 mid=0x94 checksum=ok"), 1u);
  EXPECT_EQ(Count(log, "rx-frame speed=38400 len=10 mid=0x53 checksum=ok"), 1u);
  EXPECT_EQ(Count(log, "loader-header speed=115200 hex=5300000037ec"), 1u) << log;
  EXPECT_EQ(Count(log, "flash-end records=19141 data-bytes=306220 match=yes"), 1u) << log;
  EXPECT_EQ(Count(log, "rx-frame speed=115200 len=32 mid=0x81 checksum=ok"), 1u);
  EXPECT_EQ(Count(log, "rx-sentence speed=4800 checksum=ok text=$PSRF103,4,0,1,1*21"), 1u);
  EXPECT_EQ(Count(log, "rx-sentence speed=4800 checksum=ok text=$PSRF101,-2686700,-4304200,3851624,75000,497260,921,12,8*29"), 1u);
  EXPECT_EQ(ReadFile(device.value), std::string(" \0" "2\0.\0" "4\0.\0" "1\0" "3\0.\0" "0\0" "3\0.\0" "1\0" "0\0\0\0", 28));
}

TEST(Upgrade, ARejectedRecordFailsTheRunAndRecordsNothing) {
  SimProcess sim({"--reject-record", "200"});
  Device device;
  const RunResult run = Upgrade(sim, device);
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_NE(run.err.find("Response: Bad S-record transfer.Try Upload again.\nUpdate: Firmware update failed!\n"),
            std::string::npos) << run.err;
  EXPECT_EQ(LastStatus(run.out), "Firmware update failed!");
  EXPECT_EQ(Count(run.out, "Finished!"), 0u);
  EXPECT_FALSE(fs::exists(device.value)) << "nothing recorded after a failed stream";
  // The revert and the reset still run; the receiver, left in its loader at 115200, hears
  // the 61-byte reset sentence as garbage.
  EXPECT_EQ(Count(sim.Log(), "rx-garbled host=4800 sim=115200 bytes=61"), 1u) << sim.Log();
}

TEST(Upgrade, ALoaderThatFallsSilentEndsTheUpdaterWithAFailure) {
  SimProcess sim({"--silent-after-record", "100"});
  Device device;
  const RunResult run = Upgrade(sim, device);
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_TRUE(run.err.ends_with("Time Out: Cannot receive data from GPS module. Please restart application again!\n"))
      << run.err;
  EXPECT_FALSE(fs::exists(device.value));
}

TEST(Upgrade, ANewFirmwareAt38400IsFoundByTheThirdRevertAttempt) {
  SimProcess sim({"--after-flash-speed", "38400"});
  Device device;
  const RunResult run = Upgrade(sim, device);
  EXPECT_EQ(run.exit_status, 0) << run.out << run.err;
  const std::string log = sim.Log();
  EXPECT_EQ(Count(log, "rx-frame speed=38400 len=32 mid=0x81 checksum=ok"), 1u) << log;
  EXPECT_EQ(ReadFile(device.value).size(), 28u);
}

TEST(Upgrade, AProbeThatCannotOpenEndsWithSerialNotOpened) {
  SimProcess sim({});
  Device device;
  // Once flashing has ended, take the port as soon as the revert lets it go.
  std::atomic<bool> done{false};
  std::thread holder([&] {
    while (!done && sim.Log().find("flash-end") == std::string::npos) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const int fd = open(sim.device().c_str(), O_RDWR | O_NOCTTY);
    while (!done && flock(fd, LOCK_EX | LOCK_NB) != 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    close(fd);
  });
  const RunResult run = Upgrade(sim, device);
  done = true;
  holder.join();
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_TRUE(run.err.ends_with("Error: Unable to open COM1:, Error No.=11\n")) << run.err;
  EXPECT_EQ(LastStatus(run.out), "serial not opened.");
  EXPECT_FALSE(fs::exists(device.value));
}

}  // namespace
}  // namespace larkspan::e2e
