#include "tools/receiver_sim/sim_options.h"

#include <CLI/CLI.hpp>

#include <cstdio>

#include "platform/command_line.h"
#include "platform/hex.h"

namespace larkspan::sim {

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

std::optional<int> ParseOptions(int argc, char** argv, SimOptions& o) {
  CLI::App app("A simulated SiRF GPS receiver on a pseudo-terminal. Prints the slave path as the first line on "
               "stdout (unless --path-file) and runs until SIGTERM or SIGINT. SIGUSR1 cycles its power.",
               "receiver-sim");
  app.set_version_flag("--version", "receiver-sim " LARKSPAN_VERSION);
  const auto speeds = CLI::IsMember({4800, 9600, 19200, 38400, 57600, 115200});
  app.add_option("--path-file", o.path_file, "write \"PATH\\n\" of the slave to FILE (atomically) when ready, "
                 "instead of printing it")->type_name("FILE");
  app.add_option("--link", o.link, "make PATH a symlink to the slave (replaces an existing link)")->type_name("PATH");
  app.add_option("--log", o.log, "append one line per event to FILE")->type_name("FILE");
  app.add_flag("--log-tx", o.log_tx, "also log every transmission (tx speed=N bytes=N)");
  app.add_option("--lifetime", o.lifetime, "exit (status 0) after SECONDS; default: no limit")
      ->type_name("SECONDS")->check(CLI::PositiveNumber);
  int binary = 0;
  app.add_option("--binary", binary, "start in SiRF binary mode at SPEED (default: NMEA at 4800)")
      ->type_name("SPEED")->check(speeds);
  app.add_flag("--silent", o.receiver.silent, "send nothing at all, but still receive and obey");
  app.add_option("--reports-version", o.receiver.version_text, "the version text it reports (default \" 2.3.2.03.07\")")
      ->type_name("TEXT");
  std::string form = "v";
  app.add_option("--version-form", form, "v: $PSRFTXT,Version:TEXT-GSW2-2.05.024 (default); m: $MVersion:TEXT")
      ->check(CLI::IsMember({"v", "m"}));
  app.add_option("--version-period", o.receiver.version_period, "send the version line every N seconds (default 1)")
      ->type_name("N")->check(CLI::Range(1, 3600));
  bool no_version = false;
  app.add_flag("--no-version", no_version, "never send the version line");
  app.add_option("--seed", o.seed, "seed of the garbage sent at a mismatched speed")->type_name("N");
  app.add_option("--refuse-nmea-at", o.receiver.refuse_nmea_at,
                 "ignore the switch-to-NMEA frame when it arrives at SPEED (may be given more than once)")
      ->type_name("SPEED")->check(speeds);
  app.add_option("--refuse-nmea-times", o.receiver.refuse_nmea_times,
                 "ignore it there only the first N times (default: every time)")
      ->type_name("N")->check(CLI::PositiveNumber);
  app.add_option("--replay", o.replay,
                 "play back the receiver's side of a wire trace that larkspan-cli --trace recorded, instead of "
                 "simulating a receiver (docs/trace-format.md)")->type_name("FILE");
  app.add_flag("--pace", o.pace, "carry bytes at the line's real rate (10 bits a byte) in both directions; "
               "default: at once");
  auto* flash = "Flash update (after the flash-update and loader-speed frames, at 115200)";
  app.add_option("--firmware", o.firmware, "S-record file the flashed image is compared with at the termination "
                 "record (flash-end ... match=yes|no); without it match=unknown")->type_name("FILE")->group(flash);
  app.add_flag("--log-records", o.loader.log_records, "log every S-record (record n=N type=T answer=S5|SE|none)")
      ->group(flash);
  app.add_option("--reject-record", o.loader.reject_record,
                 "answer SE to record N (1-based; the header record is 1) in the first flash update")
      ->type_name("N")->check(CLI::PositiveNumber)->group(flash);
  app.add_option("--silent-after-record", o.loader.silent_after_record,
                 "answer no record after record N of the first flash update, and stay in the loader")->type_name("N")->group(flash);
  std::string prefix;
  app.add_option("--answer-prefix", prefix, "send TEXT before every answer; C escapes \\r \\n \\t \\\\ \\xHH")
      ->type_name("TEXT")->group(flash)->check([](const std::string& text) {
        std::string unescaped, why;
        return Unescape(text, unescaped, &why) ? std::string() : why;
      });
  std::string answer_char = "5";
  app.add_option("--answer-char", answer_char, "accept records with S and C (default 5; A is also valid)")
      ->type_name("C")->group(flash)->check([](const std::string& c) {
        return c.size() == 1 && c != "\r" && c != "\n" ? std::string() : std::string("one character, such as 5 or A");
      });
  app.add_option("--after-flash-speed", o.loader.after_flash_speed,
                 "the new firmware starts in SiRF binary at SPEED (115200 default, 57600 or 38400)")
      ->type_name("SPEED")->check(speeds)->group(flash);
  app.add_option("--new-version", o.loader.new_version,
                 "version text of the new firmware (default \" 2.4.13.03.10\")")->type_name("TEXT")->group(flash);
  bool lose_version = false;
  app.add_flag("--lose-version-after-flash", lose_version, "the new firmware never sends a version line")->group(flash);
  if (const auto ended = ParseCommandLine(app, argc, argv)) return ended;
  if (binary != 0) {
    o.receiver.start_mode = Mode::kBinary;
    o.receiver.start_speed = binary;
  }
  o.receiver.version_form = form == "m" ? VersionForm::kM : VersionForm::kV;
  if (no_version) o.receiver.send_version = false;
  if (lose_version) o.loader.version_after_flash = false;
  if (!prefix.empty()) Unescape(prefix, o.loader.answer_prefix, nullptr);
  o.loader.answer_char = answer_char[0];
  return std::nullopt;
}

}  // namespace larkspan::sim
