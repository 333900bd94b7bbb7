#include "platform/serial_devices.h"

#include <libudev.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <sstream>

namespace larkspan {

namespace fs = std::filesystem;

namespace {

std::string Text(const char* value) { return value ? value : ""; }

std::string FirstLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

bool IsPid(const std::string& name) {
  return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Calls `visit(pid folder, pid)` for every process in /proc.
template <typename Visit>
void ForEachProcess(const SystemFiles& files, Visit visit) {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(files.proc, error)) {
    const std::string name = entry.path().filename().string();
    if (IsPid(name)) visit(entry.path(), std::stoi(name));
  }
}

// The kernel's consoles by tty name: the ones it writes to now, and the ones it registered.
std::set<std::string> KernelConsoles(const SystemFiles& files) {
  std::set<std::string> names;
  std::istringstream active(FirstLine(files.sys / "class/tty/console/active"));
  for (std::string name; active >> name;) names.insert(name);
  std::ifstream registered(files.proc / "consoles");
  for (std::string line; std::getline(registered, line);) {
    std::istringstream fields(line);
    std::string name;
    if (fields >> name) names.insert(name);
  }
  return names;
}

// "4:64" as a device number, as /proc/consoles and sysfs write it.
std::optional<dev_t> DeviceNumber(const std::string& text) {
  unsigned int major_number = 0, minor_number = 0;
  char end = 0;
  if (std::sscanf(text.c_str(), "%u:%u%c", &major_number, &minor_number, &end) != 2) return std::nullopt;
  return makedev(major_number, minor_number);
}

// The device numbers of the kernel's consoles: the ones it writes to now (by name, through
// sysfs) and the ones it registered (with their numbers).
std::set<dev_t> KernelConsoleNumbers(const SystemFiles& files) {
  std::set<dev_t> numbers;
  for (const std::string& name : KernelConsoles(files)) {
    if (const auto number = DeviceNumber(FirstLine(files.sys / "class/tty" / name / "dev"))) numbers.insert(*number);
  }
  std::ifstream registered(files.proc / "consoles");
  for (std::string line; std::getline(registered, line);) {
    std::istringstream fields(line);
    std::string last;
    for (std::string field; fields >> field;) last = field;
    if (const auto number = DeviceNumber(last)) numbers.insert(*number);
  }
  return numbers;
}

// The device's /dev/serial/by-id/ name: one of udev's links, else one found in that folder
// (udev's database may be missing, as in a container).
std::string ByIdName(const TtyFacts& tty, const SystemFiles& files) {
  for (const std::string& link : tty.links) {
    if (link.starts_with("/dev/serial/by-id/")) return link;
  }
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(files.dev / "serial/by-id", error)) {
    if (CharDevice(entry.path()) == tty.number) return entry.path().string();
  }
  return {};
}

struct UdevDeleter {
  void operator()(udev* u) const { udev_unref(u); }
  void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
  void operator()(udev_device* d) const { udev_device_unref(d); }
};
template <typename T>
using UdevPtr = std::unique_ptr<T, UdevDeleter>;

TtyFacts FactsOf(udev_device* device) {
  TtyFacts tty;
  tty.name = Text(udev_device_get_sysname(device));
  tty.node = Text(udev_device_get_devnode(device));
  tty.number = udev_device_get_devnum(device);
  tty.is_virtual = Text(udev_device_get_devpath(device)).starts_with("/devices/virtual/");
  if (const char* type = udev_device_get_sysattr_value(device, "type")) tty.uart_type = std::atoi(type);
  udev_list_entry* link = nullptr;
  udev_list_entry_foreach(link, udev_device_get_devlinks_list_entry(device)) {
    tty.links.push_back(Text(udev_list_entry_get_name(link)));
  }
  // The driver is that of the nearest parent that has one, past the serial core's own port
  // devices; the USB identity is that of the USB device above the interface.
  for (udev_device* parent = udev_device_get_parent(device); parent; parent = udev_device_get_parent(parent)) {
    const std::string subsystem = Text(udev_device_get_subsystem(parent));
    if (tty.driver.empty() && subsystem != "serial-base") tty.driver = Text(udev_device_get_driver(parent));
    if (subsystem == "usb" && Text(udev_device_get_devtype(parent)) == "usb_device") {
      tty.usb_vendor = Text(udev_device_get_sysattr_value(parent, "idVendor"));
      tty.usb_product = Text(udev_device_get_sysattr_value(parent, "idProduct"));
      tty.product = Text(udev_device_get_sysattr_value(parent, "product"));
      break;
    }
  }
  return tty;
}

}  // namespace

std::optional<dev_t> CharDevice(const fs::path& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) return std::nullopt;
  return info.st_rdev;
}

std::vector<TtyFacts> UdevTtys() {
  std::vector<TtyFacts> ttys;
  const UdevPtr<udev> context(udev_new());
  if (!context) return ttys;
  const UdevPtr<udev_enumerate> enumerate(udev_enumerate_new(context.get()));
  if (!enumerate || udev_enumerate_add_match_subsystem(enumerate.get(), "tty") < 0 ||
      udev_enumerate_scan_devices(enumerate.get()) < 0) {
    return ttys;
  }
  udev_list_entry* entry = nullptr;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
    const UdevPtr<udev_device> device(udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
    if (device && udev_device_get_devnode(device.get())) ttys.push_back(FactsOf(device.get()));
  }
  return ttys;
}

DeviceHolders FindHolders(const std::vector<dev_t>& devices, const SystemFiles& files) {
  DeviceHolders holders;
  const std::set<dev_t> wanted(devices.begin(), devices.end());
  ForEachProcess(files, [&](const fs::path& folder, int pid) {
    if (pid == getpid()) return;  // what this program holds is its own business
    std::error_code error;
    fs::directory_iterator descriptors(folder / "fd", error);
    if (error) {
      // A process that ended meanwhile is no loss; one of another user's is.
      if (error == std::errc::permission_denied) holders.unseen = true;
      return;
    }
    std::set<dev_t> held;
    for (const auto& descriptor : descriptors) {
      const auto device = CharDevice(descriptor.path());
      if (device && wanted.contains(*device)) held.insert(*device);
    }
    if (held.empty()) return;
    const PortHolder holder{pid, FirstLine(folder / "comm")};
    for (dev_t device : held) holders.by_device[device].push_back(holder);
  });
  return holders;
}

std::string ByIdNameOf(const std::string& node, const SystemFiles& files) {
  const auto number = CharDevice(node);
  if (!number) return {};
  TtyFacts tty;
  tty.number = *number;
  return ByIdName(tty, files);
}

BarredPort WhyBarred(dev_t device, const SystemFiles& files) {
  const dev_t kDevConsole = makedev(5, 1);
  if (device == kDevConsole || KernelConsoleNumbers(files).contains(device)) return BarredPort::kConsole;
  const std::string number = std::to_string(major(device)) + ":" + std::to_string(minor(device));
  if (FirstLine(files.sys / "dev/char" / number / "type") == "0") return BarredPort::kNoUart;
  return BarredPort::kNone;
}

bool ProcessRuns(const std::string& name, const SystemFiles& files) {
  bool runs = false;
  ForEachProcess(files, [&](const fs::path& folder, int) { runs = runs || FirstLine(folder / "comm") == name; });
  return runs;
}

SerialDeviceList ListSerialDevices(const std::vector<TtyFacts>& ttys, const SystemFiles& files) {
  SerialDeviceList list;
  const std::set<std::string> consoles = KernelConsoles(files);
  std::vector<dev_t> numbers;
  for (const TtyFacts& tty : ttys) {
    // A serial-core port with no UART behind it (type 0) is one of the 8250 driver's
    // placeholders: there is nothing to talk to.
    if (tty.is_virtual || tty.node.empty() || tty.uart_type == 0) continue;
    SerialDevice device;
    device.node = tty.node;
    device.by_id = ByIdName(tty, files);
    device.driver = tty.driver;
    if (!tty.usb_vendor.empty()) device.usb_id = tty.usb_vendor + ":" + tty.usb_product;
    device.product = tty.product;
    device.console = consoles.contains(tty.name);
    device.number = tty.number;
    numbers.push_back(tty.number);
    list.devices.push_back(std::move(device));
  }
  DeviceHolders holders = FindHolders(numbers, files);
  for (SerialDevice& device : list.devices) device.holders = std::move(holders.by_device[device.number]);
  list.holders_unseen = holders.unseen;
  std::sort(list.devices.begin(), list.devices.end(),
            [](const SerialDevice& a, const SerialDevice& b) { return a.node < b.node; });
  return list;
}

}  // namespace larkspan
