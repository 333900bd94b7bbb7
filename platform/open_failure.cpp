#include "platform/open_failure.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/text.h"

namespace larkspan {

namespace {

// "crw-rw----", as ls shows it.
std::string ModeText(mode_t mode) {
  std::string text = S_ISCHR(mode) ? "c" : S_ISDIR(mode) ? "d" : "-";
  const char* letters = "rwxrwxrwx";
  for (int bit = 0; bit < 9; ++bit) text += (mode & (0400 >> bit)) ? letters[bit] : '-';
  return text;
}

std::string GroupName(gid_t gid) {
  group entry{};
  group* found = nullptr;
  char buffer[4096];
  if (getgrgid_r(gid, &entry, buffer, sizeof buffer, &found) == 0 && found) return found->gr_name;
  return std::to_string(gid);
}

bool InGroup(gid_t gid) {
  if (getegid() == gid) return true;
  const int count = getgroups(0, nullptr);
  if (count <= 0) return false;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  const int got = getgroups(count, groups.data());
  return std::find(groups.begin(), groups.begin() + std::max(got, 0), gid) != groups.begin() + std::max(got, 0);
}

std::string PermissionDenied(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return path + ": permission denied.\n";
  const std::string group = GroupName(info.st_gid);
  const std::string owners = path + " belongs to group " + group + " (" + ModeText(info.st_mode) + ")";
  if ((info.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP) && !InGroup(info.st_gid)) {
    return path + ": permission denied: " + owners + ", and this user is not in group " + group +
           ". Add the user to it, then log out and in again:\n  sudo usermod -aG " + group + " $USER\n";
  }
  return path + ": permission denied: " + owners + "; this user may not read and write it.\n";
}

std::string Held(const std::string& path, dev_t device, const SystemFiles& files) {
  const DeviceHolders holders = FindHolders({device}, files);
  const auto found = holders.by_device.find(device);
  if (found == holders.by_device.end()) {
    return path + " is held by a process of another user; this shows which:\n  sudo fuser -v " + path + "\n";
  }
  std::string names, pids;
  bool gpsd = false;
  for (const PortHolder& holder : found->second) {
    names += (names.empty() ? "" : ", ") + holder.name + " (pid " + std::to_string(holder.pid) + ")";
    pids += " " + std::to_string(holder.pid);
    gpsd = gpsd || holder.name == "gpsd";
  }
  std::string text = path + " is held by " + names +
                     ": only one program at a time may use the receiver. Close it for the upgrade, or stop it:\n";
  text += gpsd ? "  sudo systemctl stop gpsd.socket gpsd.service\n" : "  kill" + pids + "\n";
  return text;
}

std::string NoSuchDevice(const std::string& path, const std::vector<TtyFacts>& ttys, const SystemFiles& files) {
  const SerialDeviceList list = ListSerialDevices(ttys, files);
  std::string text = path + ": no such device.";
  if (list.devices.empty()) return text + " This machine shows no serial devices: is the receiver connected?\n";
  text += " The serial devices of this machine (larkspan-cli ports tells more):\n";
  for (const SerialDevice& device : list.devices) {
    std::string about = device.driver;
    if (!device.product.empty()) about += ", " + device.product;
    if (device.console) about += ", the kernel's console";
    text += "  " + device.node + (about.empty() ? "" : " (" + about + ")") + "\n";
  }
  return text;
}

// ModemManager opens every new serial port to look for a modem; on a USB adapter it may hold
// the port or send it AT commands while the updater wants it.
std::string ModemManagerNote(dev_t device, const std::vector<TtyFacts>& ttys, const SystemFiles& files) {
  const auto tty = std::find_if(ttys.begin(), ttys.end(), [&](const TtyFacts& t) { return t.number == device; });
  if (tty == ttys.end() || tty->usb_vendor.empty() || !ProcessRuns("ModemManager", files)) return {};
  return tty->node + " is a USB adapter and ModemManager is running: it probes new serial ports and may hold "
         "or disturb it. To make it leave the adapter alone, add this udev rule (for example as "
         "/etc/udev/rules.d/99-larkspan.rules) and plug the adapter in again, or stop it for the upgrade "
         "(sudo systemctl stop ModemManager):\n  ATTRS{idVendor}==\"" + tty->usb_vendor + "\", ATTRS{idProduct}==\"" +
         tty->usb_product + "\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"\n";
}

}  // namespace

std::string ExplainOpenFailure(const std::string& path, int error, const std::vector<TtyFacts>& ttys,
                               const SystemFiles& files) {
  struct stat info {};
  const bool exists = stat(path.c_str(), &info) == 0;
  const BarredPort barred = exists && S_ISCHR(info.st_mode) ? WhyBarred(info.st_rdev, files) : BarredPort::kNone;
  std::string text;
  if (barred != BarredPort::kNone) {
    // Told before any other cause: a failed open of the console would otherwise send the
    // user after the getty that holds it.
    return path + (barred == BarredPort::kConsole ? " is the kernel's console" : " is a serial port with no UART behind it") +
           ", never the receiver, and is not opened. Find the receiver's port with 'larkspan-cli ports', then "
           "name it with --port PATH or LARKSPAN_COM1=PATH.\n";
  } else if (error == EACCES || error == EPERM) {
    text = PermissionDenied(path);
  } else if ((error == EBUSY || error == EWOULDBLOCK) && exists) {
    text = Held(path, info.st_rdev, files);
  } else if (error == ENOENT || error == ENODEV || error == ENXIO) {
    text = NoSuchDevice(path, ttys, files);
  } else {
    text = path + " cannot be opened: " + std::strerror(error) + "\n";
  }
  if (exists && S_ISCHR(info.st_mode)) text += ModemManagerNote(info.st_rdev, ttys, files);
  return text;
}

void TellCtsLow(const char* program, const std::string& path, std::FILE* err) {
  std::fprintf(err,
               "%s: %s shows CTS low, as a receiver wired with TX, RX and ground alone does: the frames that bring "
               "the receiver back to NMEA go out without CTS flow control.\n",
               program, path.c_str());
  std::fflush(err);
}

void TellOpenFailure(const char* program, const std::string& path, int error, std::FILE* err) {
  PrintLines(err, std::string(program) + ": ", ExplainOpenFailure(path, error, UdevTtys()));
}

}  // namespace larkspan
