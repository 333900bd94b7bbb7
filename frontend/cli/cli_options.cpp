#include "frontend/cli/cli_options.h"

#include <sys/stat.h>

#include <CLI/CLI.hpp>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "platform/command_line.h"

namespace larkspan {

namespace {

namespace fs = std::filesystem;

// A list of ports is a few lines; anything larger is some other file.
constexpr std::uintmax_t kMaxPortsFileSize = 1 << 20;

// Whether two port paths reach one device: the device they open after following links (so a
// by-id name and its ttyUSB node, or /dev/pts/0 and /dev/pts//0, are one), else, where a path
// names nothing yet, the same path once made absolute and normal.
bool SameDevice(const std::string& a, const std::string& b) {
  struct stat first {}, second {};
  if (stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0) {
    if (S_ISCHR(first.st_mode) && S_ISCHR(second.st_mode)) return first.st_rdev == second.st_rdev;
    return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
  }
  std::error_code error;
  return fs::absolute(a, error).lexically_normal() == fs::absolute(b, error).lexically_normal();
}

}  // namespace

std::variant<CliOptions, int> ParseCliOptions(int argc, char** argv) {
  CliOptions o;
  CLI::App app("Talks to the GPS receiver on COM1: (the device $LARKSPAN_COM1, else /dev/ttyS0).", "larkspan-cli");
  app.set_version_flag("--version", "larkspan-cli " LARKSPAN_VERSION);
  app.require_subcommand(1);
  app.fallthrough();  // the options below may also stand after the sub-command
  app.add_option("--port", o.ports,
                 "use the serial device PATH as COM1: for this run; upgrade takes it more than once, for receivers "
                 "upgraded side by side")
      ->type_name("PATH");
  std::string ports_file;
  app.add_option("--ports-file", ports_file, "upgrade: the ports to use, one device path a line ('#' starts a comment)")
      ->type_name("FILE");
  app.add_option("--root", o.root,
                 "take the payload files from DIR (default: $LARKSPAN_ROOT, else ~/.local/share/larkspan)")
      ->type_name("DIR");
  app.add_option("--trace", o.trace,
                 "record every byte written and read and every port call into FILE, with time stamps "
                 "(docs/trace-format.md); receiver-sim --replay FILE plays the receiver's side back")
      ->type_name("FILE");
  app.add_flag("--json", o.json,
               "JSON Lines on standard output, one event a line (docs/events.schema.json); the human lines go "
               "to standard error");
  app.footer(std::string("Payload files: dlgsp2.bin (flash loader image) and Orvel_GPS_Firmware_R10.s (firmware\n"
                         "S-record file). The new version is recorded as value FW of the registry key\n"
                         "HKEY_LOCAL_MACHINE/SOFTWARE/Apps/Tessan SW under $LARKSPAN_REGISTRY (else\n"
                         "~/.config/larkspan/registry), when that key exists. Messages for the user print as\n"
                         "\"Caption: text\" lines on standard error.\n\n") +
             kExitStatusTable);

  bool no_check = false;
  CLI::App* upgrade = app.add_subcommand(
      "upgrade",
      "Reflash the receiver with the payload files of the device root: reads its version, checks external power "
      "and the files, uploads the flash loader and the firmware, brings the receiver back to NMEA, resets it and "
      "records the new version. About 4 minutes. With several ports, each receiver is upgraded on its own, side by "
      "side: a row of progress each, a table at the end; the status is 0 only when every receiver succeeded, else "
      "that of the failure first in time; the new version is recorded only when every receiver succeeded.");
  upgrade->add_flag("--no-check", no_check, "upgrade without checking the payload files first");
  app.add_subcommand("version",
                     "Read the firmware version the receiver reports in its NMEA output at 4800 baud (two windows "
                     "of 12 seconds at most) and print it.");
  app.add_subcommand("repair",
                     "Bring a receiver left in SiRF binary mode back to NMEA at 4800 baud: up to two attempts at "
                     "38400 baud, then two at 57600 (about 20 seconds each).");
  CLI::App* check = app.add_subcommand(
      "check",
      "Check flash loader images and firmware S-record files: names the first error (what would fail the upload "
      "or write the receiver wrongly) and each warning (harmless to the upload) with its line.");
  check->add_option("FILE", o.files, "a flash loader image or firmware S-record file")->required();
  CLI::App* ports = app.add_subcommand(
      "ports",
      "List the serial devices of this machine: device, its /dev/serial/by-id name, driver, USB vendor:product "
      "and product, and what holds it open. Opens none of them unless --probe is given.");
  app.add_subcommand("history",
                     "Print the upgrade history ($XDG_STATE_HOME/larkspan/history.jsonl, else "
                     "~/.local/state/larkspan/): one row a run, oldest first; with --json the lines as they are.");
  ports->add_flag("--probe", o.probe,
                  "also listen on each free device (never the kernel's console) for the receiver's version at "
                  "4800 baud, all at once, about 14 s");

  if (const auto ended = ParseCommandLine(app, argc, argv)) return *ended;
  o.command = app.get_subcommands().front()->get_name();
  const auto usage = [&](const std::string& why) { return app.exit(CLI::ValidationError(why)) == 0 ? 0 : 2; };
  if (!ports_file.empty()) {
    // Looked at before it is opened: a FIFO would hang the open, a device never end.
    std::error_code error;
    const fs::file_status kind = fs::status(ports_file, error);
    if (!fs::exists(kind)) return app.exit(CLI::FileError::Missing(ports_file)) == 0 ? 0 : 2;
    if (!fs::is_regular_file(kind)) return usage("the ports file " + ports_file + " is not a regular file");
    if (fs::file_size(ports_file, error) > kMaxPortsFileSize) {
      return usage("the ports file " + ports_file + " is larger than 1 MiB: not a list of ports");
    }
    std::ifstream in(ports_file);
    if (!in) return app.exit(CLI::FileError::Missing(ports_file)) == 0 ? 0 : 2;
    const size_t given = o.ports.size();
    for (std::string line; std::getline(in, line);) {
      line.erase(std::min(line.size(), line.find('#')));
      line.erase(0, line.find_first_not_of(" \t\r"));
      line.erase(line.find_last_not_of(" \t\r") + 1);
      if (!line.empty()) o.ports.push_back(line);
    }
    if (o.ports.size() == given) return usage("the ports file " + ports_file + " names no port");
  }
  if (o.ports.size() > 1 && o.command != "upgrade") return usage("only upgrade takes more than one port");
  if (o.ports.size() > 1 && o.trace) return usage("--trace records one port: give one --port");
  for (size_t i = 0; i < o.ports.size(); ++i) {
    for (size_t j = 0; j < i; ++j) {
      if (o.ports[j] == o.ports[i]) return usage("the port " + o.ports[i] + " is given twice");
      if (SameDevice(o.ports[j], o.ports[i])) {
        return usage("the ports " + o.ports[j] + " and " + o.ports[i] + " are one device: give each receiver once");
      }
    }
  }
  o.check_payloads = !no_check;
  return o;
}

}  // namespace larkspan
