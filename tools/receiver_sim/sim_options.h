// The receiver-sim command line: the options and their parser. Plain functions of their
// arguments; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/receiver_sim/flash_loader.h"
#include "tools/receiver_sim/receiver_model.h"

namespace larkspan::sim {

struct SimOptions {
  ReceiverOptions receiver;
  LoaderOptions loader;
  std::string firmware;   // the S-record file the flashed image should match
  bool pace = false;      // carry bytes at the line's real rate both ways
  std::string path_file;  // write the slave path here (atomically) instead of to stdout
  std::string link;       // make this a symlink to the slave
  std::string log;        // append the event log here
  double lifetime = 0;    // seconds until a clean exit; 0 = until a signal
  bool log_tx = false;    // also log every transmission
  unsigned seed = 0;      // garbage generator seed; 0 = the fixed default
  std::string replay;     // a wire trace whose receiver side is played back instead
};

// Parses the command line into `options`. Returns the exit status when the run ends here:
// --help or --version (0, printed), a bad command line (2, said why).
std::optional<int> ParseOptions(int argc, char** argv, SimOptions& options);

// Replaces the C escapes \r \n \t \\ and \xHH in `text`. On a bad or unknown escape
// returns false and says why in `error`.
bool Unescape(std::string_view text, std::string& out, std::string* error);

}  // namespace larkspan::sim
