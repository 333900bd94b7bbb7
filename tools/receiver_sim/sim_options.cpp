#include "tools/receiver_sim/sim_options.h"

#include "platform/hex.h"

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
    "  --refuse-nmea-at SPEED ignore the switch-to-NMEA frame when it arrives at SPEED\n"
    "                         (may be given more than once)\n"
    "  --pace                 carry bytes at the line's real rate (10 bits a byte) in both\n"
    "                         directions; default: at once\n"
    "\n"
    "Flash update (after the flash-update and loader-speed frames, at 115200):\n"
    "  --firmware FILE        S-record file the flashed image is compared with at the\n"
    "                         termination record (flash-end ... match=yes|no); without it\n"
    "                         match=unknown\n"
    "  --log-records          log every S-record (record n=N type=T answer=S5|SE|none)\n"
    "  --reject-record N      answer SE to record N (1-based; the header record is 1)\n"
    "  --silent-after-record N  answer no record after record N, and stay in the loader\n"
    "  --answer-prefix TEXT   send TEXT before every answer; C escapes \\r \\n \\t \\\\ \\xHH\n"
    "  --answer-char C        accept records with S and C (default 5; A is also valid)\n"
    "  --after-flash-speed SPEED  the new firmware starts in SiRF binary at SPEED\n"
    "                         (115200 default, 57600 or 38400)\n"
    "  --new-version TEXT     version text of the new firmware (default \" 2.4.13.03.10\")\n"
    "  --lose-version-after-flash  the new firmware never sends a version line\n"
    "  --help                 show this help\n";

namespace {

bool ParseWhole(const std::string& text, long long& value) {
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return !text.empty() && ec == std::errc() && ptr == end;
}

bool ParseSpeed(const std::string& text, int& speed) {
  long long n = 0;
  if (!ParseWhole(text, n) || !ReceiverModel::ValidSpeed(static_cast<int>(n))) return false;
  speed = static_cast<int>(n);
  return true;
}

}  // namespace

bool Unescape(std::string_view text, std::string& out, std::string* error) {
  out.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (++i == text.size()) {
      if (error) *error = "a lone backslash at the end";
      return false;
    }
    switch (text[i]) {
      case 'r': out += '\r'; break;
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      case '\\': out += '\\'; break;
      case 'x': {
        const int hi = i + 1 < text.size() ? HexValue(text[i + 1]) : -1;
        const int lo = i + 2 < text.size() ? HexValue(text[i + 2]) : -1;
        if (hi < 0 || lo < 0) {
          if (error) *error = "\\x needs two hex digits";
          return false;
        }
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
        break;
      }
      default:
        if (error) *error = std::string("unknown escape \\") + text[i];
        return false;
    }
  }
  return true;
}

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
    } else if (name == "--pace" && flag()) {
      o.pace = true;
    } else if (name == "--log-records" && flag()) {
      o.loader.log_records = true;
    } else if (name == "--lose-version-after-flash" && flag()) {
      o.loader.version_after_flash = false;
    } else if (name == "--firmware") {
      if (!take(o.firmware) || o.firmware.empty()) return fail("--firmware needs a file");
    } else if (name == "--reject-record") {
      if (!take(v) || !ParseWhole(v, n) || n < 1) {
        return fail("--reject-record needs a record number, 1 or more");
      }
      o.loader.reject_record = static_cast<uint64_t>(n);
    } else if (name == "--silent-after-record") {
      if (!take(v) || !ParseWhole(v, n) || n < 0) {
        return fail("--silent-after-record needs a record number, 0 or more");
      }
      o.loader.silent_after_record = static_cast<uint64_t>(n);
    } else if (name == "--answer-prefix") {
      if (!take(v)) return fail("--answer-prefix needs a text");
      std::string why;
      if (!Unescape(v, o.loader.answer_prefix, &why)) return fail("--answer-prefix: " + why);
    } else if (name == "--answer-char") {
      if (!take(v) || v.size() != 1 || v[0] == '\r' || v[0] == '\n') {
        return fail("--answer-char needs one character, such as 5 or A");
      }
      o.loader.answer_char = v[0];
    } else if (name == "--after-flash-speed") {
      if (!take(v) || !ParseSpeed(v, o.loader.after_flash_speed)) {
        return fail("--after-flash-speed needs a speed: 115200, 57600 or 38400");
      }
    } else if (name == "--new-version") {
      if (!take(o.loader.new_version)) return fail("--new-version needs a text");
    } else if (name == "--refuse-nmea-at") {
      int speed = 0;
      if (!take(v) || !ParseSpeed(v, speed)) {
        return fail("--refuse-nmea-at needs a speed: 4800, 9600, 19200, 38400, 57600 or 115200");
      }
      o.receiver.refuse_nmea_at.push_back(speed);
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
