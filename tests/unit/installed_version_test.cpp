// The installed-version record through the file registry, the power status read from a
// sysfs-like folder, and the atomic replace both lean on.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "frontend/installed_version.h"
#include "platform/power_status.h"
#include "tests/e2e/process.h"
#include "tests/fakes/memory_registry.h"

namespace larkspan {
namespace {

namespace fs = std::filesystem;
using e2e::ReadFile;
using e2e::TempDir;

const std::string kRecordBytes("\x20\0\x32\0\x2e\0\x34\0\x2e\0\x31\0\x33\0\x2e\0\x30\0\x33\0\x2e\0\x31\0\x30\0\0\0", 28);

TEST(InstalledVersion, WritesTheTwentyEightBytesIntoAnExistingKeyAndReplacesThem) {
  TempDir root;
  const fs::path key = root.path() / "HKEY_LOCAL_MACHINE" / "SOFTWARE" / "Apps" / "Tessan SW";
  fs::create_directories(key);
  std::ofstream(key / "FW") << "an older, longer value than the new one";
  FileRegistry registry(root.path());

  RecordInstalledVersion(registry);
  EXPECT_EQ(ReadFile(key / "FW"), kRecordBytes);
  RecordInstalledVersion(registry);
  EXPECT_EQ(ReadFile(key / "FW"), kRecordBytes);
  EXPECT_EQ(std::distance(fs::directory_iterator(key), fs::directory_iterator()), 1) << "no temporary left";
}

TEST(InstalledVersion, AMissingKeyIsNeverCreated) {
  TempDir root;
  fs::create_directories(root.path() / "HKEY_LOCAL_MACHINE" / "SOFTWARE" / "Apps");
  FileRegistry registry(root.path());
  RecordInstalledVersion(registry);
  EXPECT_FALSE(fs::exists(root.path() / "HKEY_LOCAL_MACHINE" / "SOFTWARE" / "Apps" / "Tessan SW"));
  EXPECT_EQ(registry.OpenKey(u"HKEY_LOCAL_MACHINE", u"SOFTWARE\\..\\SOFTWARE"), nullptr) << "no climbing out";
  EXPECT_EQ(registry.OpenKey(u"HKEY_LOCAL_MACHINE", u""), nullptr);
}

TEST(InstalledVersion, WriteVersionValueWidensAndReportsFailure) {
  testing::MemoryRegistry registry;
  registry.CreateKey(u"HKEY_LOCAL_MACHINE", u"K");
  auto key = registry.OpenKey(u"HKEY_LOCAL_MACHINE", u"K");
  ASSERT_TRUE(key);
  EXPECT_EQ(WriteVersionValue(*key, u"FW", "AB"), 1);
  EXPECT_EQ(registry.Value(u"HKEY_LOCAL_MACHINE", u"K", u"FW"), (std::vector<uint8_t>{'A', 0, 'B', 0, 0, 0}));
  EXPECT_EQ(WriteVersionValue(*key, u"FW", std::string(300, 'x')), 1);
  EXPECT_EQ(registry.Value(u"HKEY_LOCAL_MACHINE", u"K", u"FW")->size(), 512u) << "255 characters kept";
  registry.fail_writes = true;
  EXPECT_EQ(WriteVersionValue(*key, u"FW", "AB"), 0);
}

TEST(InstalledVersion, AValueIsNeverTornWhateverMomentTheWriterIsKilled) {
  TempDir root;
  const fs::path key = root.path() / "HKEY_LOCAL_MACHINE" / "K";
  fs::create_directories(key);
  // Two values that differ in every byte and take a while to write, so that kills land inside.
  const std::vector<uint8_t> a(1 << 20, 'a'), b(1 << 20, 'b');
  int complete = 0;
  for (int round = 0; round < 10; ++round) {
    const pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
      FileRegistry registry(root.path());
      auto open_key = registry.OpenKey(u"HKEY_LOCAL_MACHINE", u"K");
      for (int i = 0;; ++i) open_key->SetStringValue(u"FW", i % 2 ? b : a);
    }
    // From 20 ms up, so that most kills land after a first value reached the disk.
    usleep(static_cast<useconds_t>(20'000 + 37'919 * round % 250'000));
    kill(writer, SIGKILL);
    waitpid(writer, nullptr, 0);
    if (!fs::exists(key / "FW")) continue;
    const std::string value = ReadFile(key / "FW");
    EXPECT_TRUE(value == std::string(a.begin(), a.end()) || value == std::string(b.begin(), b.end()))
        << "torn value of " << value.size() << " bytes";
    ++complete;
  }
  EXPECT_GT(complete, 0);
}

TEST(PowerStatus, ReadsMainsSuppliesAndCallsAnEmptyListUnknown) {
  TempDir sys;
  SysfsPowerStatus power(sys.path());
  EXPECT_EQ(power.AcLineStatus(), 255);
  auto supply = [&](const std::string& name, const std::string& type, const std::string& online) {
    fs::create_directories(sys.path() / name);
    std::ofstream(sys.path() / name / "type") << type << "\n";
    std::ofstream(sys.path() / name / "online") << online << "\n";
  };
  supply("BAT0", "Battery", "1");
  EXPECT_EQ(power.AcLineStatus(), 255);
  supply("AC", "Mains", "0");
  EXPECT_EQ(power.AcLineStatus(), 0);
  supply("ADP1", "Mains", "1");
  EXPECT_EQ(power.AcLineStatus(), 1);
  EXPECT_EQ(SysfsPowerStatus(sys.path() / "missing").AcLineStatus(), 255);
}

}  // namespace
}  // namespace larkspan
