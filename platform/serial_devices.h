// The serial devices of the machine, as a user looks for the receiver among them: device node,
// stable /dev/serial/by-id/ name, driver, USB identity, and what holds each open. Found through
// libudev and /proc without opening any device. Any thread.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace larkspan {

// Where the kernel's views of the system lie; tests point them at folders of their own.
struct SystemFiles {
  std::filesystem::path proc = "/proc";
  std::filesystem::path sys = "/sys";
  std::filesystem::path dev = "/dev";
};

// One tty as udev describes it: the raw facts a listing is made from.
struct TtyFacts {
  std::string name;  // the kernel's name: ttyUSB0
  std::string node;  // /dev/ttyUSB0
  dev_t number = 0;
  bool is_virtual = false;  // no hardware behind it: a virtual console, a pty, /dev/console
  std::string driver;       // the driver of the hardware behind it
  int uart_type = -1;       // a serial-core port's sysfs "type"; 0: no UART behind the port
  std::vector<std::string> links;  // the node's other names, as udev made them
  std::string usb_vendor, usb_product, product;  // of the USB device behind it, where there is one
};

// The ttys of the machine as libudev lists them (subsystem "tty").
std::vector<TtyFacts> UdevTtys();

struct PortHolder {
  int pid = 0;
  std::string name;  // the process's command name
};

// Which processes hold which character devices open, from /proc/*/fd, for the devices asked
// about; never this process itself. Processes of other users cannot be seen unless we run as root: `unseen` says whether
// any process's descriptors could not be read.
struct DeviceHolders {
  std::map<dev_t, std::vector<PortHolder>> by_device;
  bool unseen = false;
};
DeviceHolders FindHolders(const std::vector<dev_t>& devices, const SystemFiles& files);

// The character device a path reaches after following links, or nothing.
std::optional<dev_t> CharDevice(const std::filesystem::path& path);

// The /dev/serial/by-id/ name of the device at `node`, or "" when it has none.
std::string ByIdNameOf(const std::string& node, const SystemFiles& files = {});

// Why a device must never be opened as the receiver's port, whatever name reaches it.
enum class BarredPort {
  kNone,
  kConsole,  // the kernel's console: /dev/console, or a tty the kernel writes its console to
  kNoUart,   // a serial-core port with no UART behind it (sysfs "type" 0)
};
BarredPort WhyBarred(dev_t device, const SystemFiles& files);

// Whether a process with this command name runs (ModemManager, gpsd).
bool ProcessRuns(const std::string& name, const SystemFiles& files);

struct SerialDevice {
  std::string node;
  std::string by_id;  // its /dev/serial/by-id/ name, or empty
  std::string driver;
  std::string usb_id;   // vendor:product in hex, or empty when not a USB device
  std::string product;  // the USB device's product string, or empty
  bool console = false;  // the kernel's console: never opened
  dev_t number = 0;
  std::vector<PortHolder> holders;
};

struct SerialDeviceList {
  std::vector<SerialDevice> devices;
  bool holders_unseen = false;  // other users' processes could not be looked into
};

// The serial devices among `ttys`, by node name: pseudo-terminals, virtual consoles and serial
// ports without a UART behind them are left out; the kernel's consoles are marked.
SerialDeviceList ListSerialDevices(const std::vector<TtyFacts>& ttys, const SystemFiles& files);

}  // namespace larkspan
