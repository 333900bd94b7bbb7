// The installed-version record through the file registry and the atomic replace it leans on,
// the power status read from a sysfs-like folder, and the folders taken from the environment.
#include <pwd.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>

#include "platform/device_root.h"
#include "platform/port_names.h"
#include "platform/power_status.h"
#include "tests/e2e/process.h"
#include "transfer/installed_version.h"

namespace larkspan {
namespace {

namespace fs = std::filesystem;

// " 2.4.13.03.10" in UTF-16LE and its 2-byte terminator: what every upgrade leaves behind.
const std::string kValueBytes("\x20\0\x32\0\x2e\0\x34\0\x2e\0\x31\0\x33\0\x2e\0\x30\0\x33\0\x2e\0\x31\0\x30\0\0\0", 28);

TEST(InstalledVersion, GoesOnlyIntoAnExistingKeyAndAValueThatCannotBeSetGivesZero) {
  const e2e::TempDir root;
  const fs::path key = root.path() / "HKEY_LOCAL_MACHINE" / "SOFTWARE" / "Apps" / "Tessan SW";
  FileRegistry registry(root.path());
  fs::create_directories(key.parent_path());
  EXPECT_TRUE(RecordInstalledVersion(registry)) << "a missing key is no failure";
  EXPECT_FALSE(fs::exists(key)) << "a missing key is never created";
  for (const char16_t* path : {u"", u"SOFTWARE\\", u"SOFTWARE\\..\\SOFTWARE\\Apps"})
    EXPECT_EQ(registry.OpenKey(kInstalledVersionRoot, path), nullptr) << "no empty part, no climbing out";

  fs::create_directory(key);
  std::ofstream(key / "FW") << "an older, longer value than the new one";
  for (int upgrade = 0; upgrade < 2; ++upgrade) {
    RecordInstalledVersion(registry);
    EXPECT_EQ(e2e::ReadFile(key / "FW"), kValueBytes);
  }
  const auto open = registry.OpenKey(kInstalledVersionRoot, kInstalledVersionKey);
  ASSERT_TRUE(open);
  EXPECT_EQ(WriteVersionValue(*open, u"V", std::string_view("A\0B", 3)), 1);
  EXPECT_EQ(e2e::ReadFile(key / "V"), std::string("A\0\0\0", 4)) << "the text ends at its first NUL";
  EXPECT_EQ(WriteVersionValue(*open, u"V", std::string(300, 'x')), 1);
  EXPECT_EQ(e2e::ReadFile(key / "V").size(), 512u) << "255 characters and the terminator";
  fs::create_directory(key / "W");  // a value that cannot be replaced
  EXPECT_EQ(WriteVersionValue(*open, u"W", "AB"), 0);
  EXPECT_EQ(std::distance(fs::directory_iterator(key), {}), 3) << "FW, V and W, no temporary file left";
}

TEST(PowerStatus, MainsOrUsbOnlineIsExternalPowerABatteryAloneIsOfflineAndNoSupplyUnknown) {
  const e2e::TempDir sys;
  SysfsPowerStatus power(sys.path());
  EXPECT_EQ(power.AcLineStatus(), 255);
  // Supplies appear one by one; the status after each.
  const struct { const char *name, *type, *online; int status; } supplies[] = {
      {"hidpp_battery_0", "Wireless", "1", 255}, {"BAT0", "Battery", "1", 0}, {"AC", "Mains", "0", 0},
      {"ucsi-source-psy-USBC000:001", "USB", "1", 1}, {"ADP1", "Mains", "1", 1}};
  for (const auto& s : supplies) {
    fs::create_directories(sys.path() / s.name);
    std::ofstream(sys.path() / s.name / "type") << s.type << "\n";
    std::ofstream(sys.path() / s.name / "online") << s.online << "\n";
    EXPECT_EQ(power.AcLineStatus(), s.status) << s.name;
  }
  EXPECT_EQ(SysfsPowerStatus(sys.path() / "AC" / "type").AcLineStatus(), std::nullopt) << "a failed query";
}

// Every folder and the port path are absolute, whatever the environment holds: a relative
// root is taken against the working folder, a relative XDG folder is ignored, and with no
// usable HOME the password database names the home folder.
TEST(DeviceRoot, IsAbsoluteWhateverTheEnvironmentHolds) {
  const e2e::TempDir dir;
  const fs::path was_in = fs::current_path();
  fs::current_path(dir.path());
  const fs::path home = getpwuid(getuid())->pw_dir;
  const char* names[] = {"LARKSPAN_ROOT", "XDG_DATA_HOME", "HOME", "LARKSPAN_COM1"};
  std::vector<std::optional<std::string>> saved;
  for (const char* name : names) saved.push_back(std::getenv(name) ? std::optional<std::string>(std::getenv(name)) : std::nullopt);
  struct Case { const char *root, *xdg, *home; fs::path expected; };
  for (const Case& c : {Case{"device/./root", "/data", "/h", dir.path() / "device/root"},
                        {nullptr, "relative-data", "/h", "/h/.local/share/larkspan"},
                        {nullptr, "/data", "/h", "/data/larkspan"},
                        {nullptr, nullptr, nullptr, home / ".local/share/larkspan"},
                        {nullptr, nullptr, "relative-home", home / ".local/share/larkspan"}}) {
    for (const auto& [name, value] : {std::pair{"LARKSPAN_ROOT", c.root}, {"XDG_DATA_HOME", c.xdg}, {"HOME", c.home}}) {
      value ? setenv(name, value, 1) : unsetenv(name);
    }
    EXPECT_EQ(DeviceRoot(), c.expected) << (c.root ? c.root : "") << (c.xdg ? c.xdg : "") << (c.home ? c.home : "");
  }
  setenv("LARKSPAN_COM1", "pts/7", 1);
  EXPECT_EQ(PortNames::FromEnvironment().com1_path, (dir.path() / "pts/7").string());
  for (size_t i = 0; i < saved.size(); ++i) saved[i] ? setenv(names[i], saved[i]->c_str(), 1) : unsetenv(names[i]);
  fs::current_path(was_in);
}

}  // namespace
}  // namespace larkspan
