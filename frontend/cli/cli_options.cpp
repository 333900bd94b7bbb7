#include "frontend/cli/cli_options.h"

#include <sys/stat.h>

#include <CLI/CLI.hpp>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string_view>


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

// How many single-letter edits turn `a` into `b`.
size_t EditDistance(std::string_view a, std::string_view b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

constexpr std::string_view kCommands[] = {"upgrade", "version", "repair", "check", "ports", "history"};

// The arguments with the sub-command first, so that options may stand before it as well; or
// the usage error of a word where the sub-command should be that is none.
std::variant<std::vector<std::string>, std::string> CommandFirst(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& word = args[i];
    if (std::ranges::find(kCommands, word) != std::end(kCommands)) {
      std::rotate(args.begin() + 1, args.begin() + static_cast<std::ptrdiff_t>(i), args.begin() + static_cast<std::ptrdiff_t>(i) + 1);
      return args;
    }
    if (word == "--port" || word == "--ports-file" || word == "--root" || word == "--trace") {
      ++i;  // its value
    } else if (!word.starts_with("-")) {
      std::string why = "unknown command '" + word + "'";
      const auto closest = std::ranges::min(kCommands, {}, [&](std::string_view c) { return EditDistance(word, c); });
      if (EditDistance(word, closest) <= 2) why += ": did you mean '" + std::string(closest) + "'?";
      return why;
    }
  }
  return args;
}

}  // namespace

std::variant<CliOptions, int> ParseCliOptions(int argc, char** argv) {
  CliOptions o;
  CLI::App app("Talks to the GPS receiver on COM1: (the device $LARKSPAN_COM1, else /dev/ttyS0). Each command's "
               "options may stand before it or after it; COMMAND --help lists them.", "larkspan-cli");
  app.set_version_flag("--version", "larkspan-cli " LARKSPAN_VERSION);
  app.require_subcommand(1);
  const auto usage = [&](const std::string& why) { return app.exit(CLI::ValidationError(why)) == 0 ? 0 : 2; };
  const auto arranged = CommandFirst(argc, argv);
  if (const auto* why = std::get_if<std::string>(&arranged)) return usage(*why);
  std::vector<std::string> args = std::get<std::vector<std::string>>(arranged);

  // The options the commands share, each added to those that take it.
  const auto port = [&](CLI::App* command, const char* what) {
    command->add_option("--port", o.ports, std::string("use the serial device PATH as COM1: for this run") + what)
        ->type_name("PATH");
  };
  const auto trace = [&](CLI::App* command) {
    command->add_option("--trace", o.trace,
                        "record every byte written and read and every port call into FILE, with time stamps "
                        "(docs/trace-format.md); receiver-sim --replay FILE plays the receiver's side back")
        ->type_name("FILE");
  };
  const auto json = [&](CLI::App* command, const char* what) {
    command->add_flag("--json", o.json, std::string("JSON Lines on standard output, one event a line ") + what);
  };
  constexpr const char* kEvents = "(docs/events.schema.json); the human lines go to standard error";

  std::string ports_file;
  bool no_check = false;
  CLI::App* upgrade = app.add_subcommand(
      "upgrade",
      "Reflash the receiver with the payload files of the device root: reads its version, checks external power "
      "and the files, uploads the flash loader and the firmware, brings the receiver back to NMEA, resets it and "
      "records the new version. About 4 minutes. With several ports, each receiver is upgraded on its own, side by "
      "side: a row of progress each, a table at the end; the status is 0 only when every receiver succeeded, else "
      "that of the failure first in time; the new version is recorded only when every receiver succeeded.");
  port(upgrade, "; more than once for receivers upgraded side by side");
  upgrade->add_option("--ports-file", ports_file, "the ports to use, one device path a line ('#' starts a comment)")
      ->type_name("FILE");
  upgrade->add_option("--root", o.root,
                      "take the payload files from DIR (default: $LARKSPAN_ROOT, else ~/.local/share/larkspan)")
      ->type_name("DIR");
  trace(upgrade);
  json(upgrade, kEvents);
  upgrade->add_flag("-y,--yes", o.yes, "flash without asking first (on a terminal it asks once for the whole run)");
  upgrade->add_flag("--force", o.force, "flash a receiver that already runs the new version, too");
  upgrade->add_flag("--no-check", no_check, "upgrade without checking the payload files first");
  for (const auto& [name, what] :
       {std::pair{"version", "Read the firmware version the receiver reports in its NMEA output at 4800 baud (two "
                             "windows of 12 seconds at most) and print it."},
        {"repair", "Bring a receiver left in SiRF binary mode back to NMEA at 4800 baud: up to two attempts at "
                   "38400 baud, then two at 57600 (about 20 seconds each)."}}) {
    CLI::App* command = app.add_subcommand(name, what);
    port(command, "");
    trace(command);
    json(command, kEvents);
  }
  CLI::App* check = app.add_subcommand(
      "check",
      "Check flash loader images and firmware S-record files: names the first error (what would fail the upload "
      "or write the receiver wrongly) and each warning (harmless to the upload) with its line.");
  check->add_option("FILE", o.files, "a flash loader image or firmware S-record file")->required();
  json(check, "(docs/events.schema.json)");
  CLI::App* ports = app.add_subcommand(
      "ports",
      "List the serial devices of this machine: device, its /dev/serial/by-id name, driver, USB vendor:product "
      "and product, and what holds it open. Opens none of them unless --probe is given.");
  ports->add_flag("--probe", o.probe,
                  "also listen on each free device (never the kernel's console) for the receiver's version at "
                  "4800 baud, all at once, about 14 s");
  json(ports, "(docs/events.schema.json)");
  CLI::App* history = app.add_subcommand(
      "history",
      "Print the upgrade history ($XDG_STATE_HOME/larkspan/history.jsonl, else ~/.local/state/larkspan/): one row "
      "a run, oldest first, in local time; with --json the lines as they are.");
  history->add_flag("--utc", o.utc, "show the times in UTC");
  json(history, "(the history's own lines)");
  // Set once the commands exist, so that it is shown in the main help only.
  app.footer(std::string("Payload files: dlgsp2.bin (flash loader image) and Orvel_GPS_Firmware_R10.s (firmware\n"
                         "S-record file). The new version is recorded as value FW of the registry key\n"
                         "HKEY_LOCAL_MACHINE/SOFTWARE/Apps/Tessan SW under $LARKSPAN_REGISTRY (else\n"
                         "~/.config/larkspan/registry), when that key exists. Messages for the user print as\n"
                         "\"Caption: text\" lines on standard error.\n\n") +
             kExitStatusTable);

  std::ranges::reverse(args);
  args.pop_back();  // the program's name
  try {
    app.parse(args);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : 2;
  }
  o.command = app.get_subcommands().front()->get_name();
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
