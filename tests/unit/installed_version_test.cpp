// The installed-version record through the file registry, the power status read from a
// sysfs-like folder, and the atomic replace both lean on.
#include <gtest/gtest.h>

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
