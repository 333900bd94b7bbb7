#include "tools/receiver_sim/sim_options.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace larkspan::sim {

const char kUsage[] =
    "Usage: receiver-sim [OPTION]...\n"
    "A simulated SiRF GPS receiver on a pseudo-terminal. Prints the slave path as the first\n"
    "line on stdout (unless --path-file) and runs until SIGTERM or SIGINT.\n"
    "\n"
    "  --path-file FILE       write \"PATH\\n\" of the slave to FILE (atomically) when ready,\n"
    "                         instead of printing it\n"
    "  --link PATH            make PATH a symlink to the slave (replaces an existing link)\n"
    "  --log FILE             append one line per event to FILE\n"
    "  --log-tx               also log every transmission (tx speed=N bytes=N)\n"
    "  --lifetime SECONDS     exit (status 0) after SECONDS; default: no limit\n"
    "  --binary SPEED         start in SiRF binary mode at SPEED (default: NMEA at 4800)\n"
    "  --silent               send nothing at all, but still receive and obey\n"
    "  --version TEXT         version text (default \" 2.3.2.03.07\")\n"
    "  --version-form v|m     v: $PSRFTXT,Version:TEXT-GSW2-2.05.024 (default)\n"
    "                         m: $MVersion:TEXT\n"
    "  --version-period N     send the version line every N seconds (default 1)\n"
    "  --no-version           never send the version line\n"
    "  --seed N               seed of the garbage sent at a mismatched speed\n"
    "  --help                 show this help\n";

namespace {

bool ParseWhole(const std::string& text, long long& value) {
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return !text.empty() && ec == std::errc() && ptr == end;
}

}  // namespace

bool ParseOptions(const std::vector<std::string>& args, SimOptions& o, std::string* error) {
  const auto fail = [error](std::string why) {
    if (error) *error = std::move(why);
    return false;
  };
  for (size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::string value;
    bool has_value = false;
    if (const size_t eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
      has_value = true;
    }
    const auto take = [&](std::string& out) {
      if (!has_value) {
        if (i + 1 >= args.size()) return false;
        value = args[++i];
      }
      out = value;
      return true;
    };
    const auto flag = [&]() { return !has_value; };
    std::string v;
    long long n = 0;
    if (name == "--help" || name == "-h") {
      o.help = true;
    } else if (name == "--silent" && flag()) {
      o.receiver.silent = true;
    } else if (name == "--no-version" && flag()) {
      o.receiver.send_version = false;
    } else if (name == "--log-tx" && flag()) {
      o.log_tx = true;
    } else if (name == "--path-file") {
      if (!take(o.path_file) || o.path_file.empty()) return fail("--path-file needs a file");
    } else if (name == "--link") {
      if (!take(o.link) || o.link.empty()) return fail("--link needs a path");
    } else if (name == "--log") {
      if (!take(o.log) || o.log.empty()) return fail("--log needs a file");
    } else if (name == "--lifetime") {
      if (!take(v)) return fail("--lifetime needs seconds");
      char* end = nullptr;
      o.lifetime = std::strtod(v.c_str(), &end);
      if (v.empty() || *end != '\0' || !std::isfinite(o.lifetime) || o.lifetime <= 0) {
        return fail("--lifetime: not a positive number of seconds: " + v);
      }
    } else if (name == "--binary") {
      if (!take(v) || !ParseWhole(v, n) || !ReceiverModel::ValidSpeed(static_cast<int>(n))) {
        return fail("--binary needs a speed: 4800, 9600, 19200, 38400, 57600 or 115200");
      }
      o.receiver.start_mode = Mode::kBinary;
      o.receiver.start_speed = static_cast<int>(n);
    } else if (name == "--version") {
      if (!take(o.receiver.version_text)) return fail("--version needs a text");
    } else if (name == "--version-form") {
      if (!take(v) || (v != "v" && v != "m")) return fail("--version-form needs v or m");
      o.receiver.version_form = v == "m" ? VersionForm::kM : VersionForm::kV;
    } else if (name == "--version-period") {
      if (!take(v) || !ParseWhole(v, n) || n < 1 || n > 3600) {
        return fail("--version-period needs a whole number of seconds, 1 to 3600");
      }
      o.receiver.version_period = static_cast<int>(n);
    } else if (name == "--seed") {
      if (!take(v) || !ParseWhole(v, n) || n < 0 || n > 0xFFFFFFFFLL) {
        return fail("--seed needs a number from 0 to 4294967295");
      }
      o.seed = static_cast<unsigned>(n);
    } else {
      return fail("unknown option " + args[i]);
    }
  }
  return true;
}

}  // namespace larkspan::sim
