// Finding the receiver's port on a machine laid out in folders of the test's own: which ttys
// are listed and how, and what a user is told when the port cannot be opened.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>

#include "frontend/cli/ports_command.h"
#include "platform/open_failure.h"
#include "platform/serial_devices.h"
#include "tests/e2e/process.h"
#include "tests/golden.h"

namespace larkspan::testing {
namespace {

namespace fs = std::filesystem;

dev_t NumberOf(const char* node) {
  struct stat info {};
  EXPECT_EQ(stat(node, &info), 0);
  return info.st_rdev;
}

void Write(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file) << text;
}

// /dev/null stands in for an FTDI adapter that gpsd holds, /dev/full for a port ModemManager
// holds, /dev/zero for a u-blox module on cdc_acm with no udev database (its by-id name found
// in the folder), beside the kernel's console on ttyS0, an 8250 placeholder without a UART, a
// virtual console and an old pty.
struct Machine {
  Machine() {
    Write(root.path() / "proc/consoles", "ttyS0                -W- (EC  p a)    4:64\n");
    Write(root.path() / "sys/class/tty/console/active", "ttyS0\n");
    Write(root.path() / "proc/812/comm", "gpsd\n");
    fs::create_directories(root.path() / "proc/812/fd");
    fs::create_symlink("/dev/null", root.path() / "proc/812/fd/5");
    Write(root.path() / "proc/640/comm", "ModemManager\n");
    fs::create_directories(root.path() / "proc/640/fd");
    fs::create_symlink("/dev/full", root.path() / "proc/640/fd/3");
    fs::create_directories(root.path() / "dev/serial/by-id");
    fs::create_symlink("/dev/zero", root.path() / "dev/serial/by-id/usb-u-blox_AG_GNSS_receiver-if00");
  }
  e2e::TempDir root;
  SystemFiles files{root.path() / "proc", root.path() / "sys", root.path() / "dev"};
  std::vector<TtyFacts> ttys{
      {"ttyUSB0", "/dev/ttyUSB0", NumberOf("/dev/null"), false, "ftdi_sio", -1,
       {"/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"}, "0403", "6001", "FT232R USB UART"},
      {"ttyACM0", "/dev/ttyACM0", NumberOf("/dev/zero"), false, "cdc_acm", -1, {}, "1546", "01a7",
       "u-blox GNSS receiver"},
      {"ttyS0", "/dev/ttyS0", makedev(4, 64), false, "serial", 4, {}, "", "", ""},
      {"ttyS1", "/dev/ttyS1", makedev(4, 65), false, "serial", 0, {}, "", "", ""},
      {"tty1", "/dev/tty1", makedev(4, 1), true, "", -1, {}, "", "", ""},
      {"ttyp0", "/dev/ttyp0", makedev(3, 0), true, "", -1, {}, "", "", ""}};
};

// The listing as a table, with a probe's column, and as JSON lines; then what each open
// failure tells the user. Reviewed in tests/data/serial_devices.txt.
TEST(SerialDevices, ListingsAndOpenFailuresOnAMachineOfFolders) {
  const Machine machine;
  const std::string root = machine.root.path().string();
  SerialDeviceList list = ListSerialDevices(machine.ttys, machine.files);
  for (SerialDevice& device : list.devices) {
    if (device.by_id.starts_with(root)) device.by_id.replace(0, root.size(), "<root>");
  }
  const ProbeResults probe{{"/dev/ttyACM0", {"GSW2.3.2.03.07", ""}},
                           {"/dev/ttyUSB0", {"", "not probed: held by another process"}},
                           {"/dev/ttyS0", {"", "not probed: the kernel's console"}}};
  std::string seen = PortsTable(list, nullptr) + "\n" + PortsTable(list, &probe) + "\n" + PortsJsonLines(list, nullptr) +
                     PortsJsonLines(list, &probe) + "\n";

  const fs::path node = machine.root.path() / "ttyUSB9";
  Write(node, "");
  ASSERT_EQ(chown(node.c_str(), 0, 20), 0);
  fs::permissions(node, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::group_write);
  for (const auto& [path, error] : {std::pair<std::string, int>{"/dev/null", EWOULDBLOCK}, {"/dev/zero", EBUSY},
                                    {"/dev/full", EBUSY}, {"/dev/ttyUSB7", ENOENT}, {node.string(), EACCES},
                                    {"/dev/null", EIO}}) {
    seen += ExplainOpenFailure(path, error, machine.ttys, machine.files) + "\n";
  }
  ASSERT_EQ(setegid(20), 0);  // in the group by the effective group alone, not the supplementary ones
  seen += ExplainOpenFailure(node.string(), EACCES, machine.ttys, machine.files) + "\n";
  ASSERT_EQ(setegid(getgid()), 0);
  for (std::size_t at; (at = seen.find(root)) != std::string::npos;) seen.replace(at, root.size(), "<root>");
  ExpectGolden("serial_devices.txt", seen);
}

}  // namespace
}  // namespace larkspan::testing
