// larkspan-cli's command line, on CLI11: the sub-commands and their options (which may stand
// before or after the sub-command), --help and --version, and the table of exit statuses.
#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "frontend/session/exit_status.h"

namespace larkspan {

inline constexpr char kExitStatusTable[] =
    "Exit status (of the first failure in time):\n"
    "  0  success (upgrade: after \"Finished!\")\n"
    "  1  the upgrade failed after the receiver was touched (the loader falling silent included)\n"
    "  2  usage error\n"
    "  3  the port cannot be opened\n"
    "  4  payload files refused: a failed check, or test data for a port that is no pseudo-terminal\n"
    "  5  the receiver does not answer before anything is flashed (no version heard, repair failed)\n"
    "  6  the firmware went in, but the receiver could not be brought back to NMEA\n"
    "  7  the upgrade was not confirmed: nothing was sent\n";

struct CliOptions {
  std::string command;  // upgrade, version, repair, check, ports or history
  std::vector<std::string> ports;  // --port and --ports-file, in order: COM1: for this run
  std::optional<std::string> root, trace;
  bool json = false;
  bool check_payloads = true;     // upgrade
  bool yes = false;               // upgrade: no confirmation asked
  bool force = false;             // upgrade: a receiver that runs the new version is flashed again
  bool utc = false;               // history
  bool probe = false;             // ports
  std::vector<std::string> files;  // check
};

// The options, or the exit status when the run ends here (help, version, a usage error).
std::variant<CliOptions, int> ParseCliOptions(int argc, char** argv);

}  // namespace larkspan
