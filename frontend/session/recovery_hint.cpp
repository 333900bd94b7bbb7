#include "frontend/session/recovery_hint.h"

#include <algorithm>
#include <cctype>

#include "transfer/payload_files.h"

namespace larkspan {

namespace {

// A word as a shell takes it: as it is when it holds nothing a shell reads otherwise, else in
// single quotes.
std::string Quoted(const std::string& word) {
  constexpr std::string_view kPlain = "_./:@%+=,-";
  const bool plain = !word.empty() && std::ranges::all_of(word, [&](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || kPlain.find(c) != std::string_view::npos;
  });
  if (plain) return word;
  std::string quoted = "'";
  for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

bool Is(const Outcome& outcome, std::string_view stage) {
  return outcome.failed_stage && stage == outcome.failed_stage;
}

// Where a stream that did not end stopped, as " (record 12 of 1,400 was rejected)".
std::string WhereTheStreamEnded(const Outcome& outcome, const HintPlace& place, const WorkerTelemetry& telemetry) {
  if (!Is(outcome, "firmware")) return "";
  const uint64_t record = telemetry.done_when_failed.load() + 1;
  std::string where = " (record " + std::to_string(record);
  if (place.firmware_records > 0) where += " of " + std::to_string(place.firmware_records);
  if (outcome.ending == Ending::kStopped) return where + " was the next to go when it was stopped)";
  if (telemetry.loader_silent.load()) return where + " got no answer from the loader)";
  return where + " was not taken)";
}

}  // namespace

std::string CommandLine(const HintPlace& place, std::string_view command) {
  const std::string root = command == "upgrade" ? " --root " + Quoted(place.root.string()) : "";
  return "larkspan-cli --port " + Quoted(place.port) + root + " " + std::string(command);
}

std::string RecoveryHint(const Outcome& outcome, const HintPlace& place, const WorkerTelemetry* telemetry) {
  const auto run = [&](std::string_view command) { return CommandLine(place, command); };
  constexpr char kUntouched[] = "the receiver was not flashed and still runs its old firmware";
  switch (outcome.ending) {
    case Ending::kSucceeded:
    case Ending::kSkipped: return "";
    case Ending::kDeclined: return std::string(kUntouched) + ". To flash it, run: " + run("upgrade");
    case Ending::kRefused:
      return std::string(kUntouched) + ". Mend the payload files, then run: " + run("upgrade") +
             " (larkspan-cli check " + Quoted((place.root / kLoaderFileName).string()) + " " +
             Quoted((place.root / kFirmwareFileName).string()) + " names what is wrong)";
    case Ending::kPortUnavailable:
      return "nothing was sent: " + place.port + " cannot be opened (see above). 'larkspan-cli ports' lists this "
             "machine's serial devices and what holds them";
    case Ending::kReceiverSilent:
      if (Is(outcome, "repair")) {
        return "the receiver answered neither at 38400 nor at 57600 baud. Check its cable and power, switch it off "
               "and on, then run: " + run("version");
      }
      return "no version was heard at 4800 baud. Check the receiver's cable and power; a receiver left in SiRF "
             "binary comes back with: " + run("repair");
    case Ending::kNotBackToNmea:
      return "the new firmware is in, but the receiver was not heard in NMEA again: it runs the new firmware in "
             "SiRF binary. Bring it back with: " + run("repair");
    default: break;
  }
  if (Is(outcome, "power")) return std::string(kUntouched) + ". Plug in external power, then run: " + run("upgrade");
  const bool flashing = telemetry && telemetry->flash_update_sent.load() &&
                        (Is(outcome, "flash-mode") || Is(outcome, "loader") || Is(outcome, "firmware"));
  if (flashing) {
    return "the receiver has no working firmware" + WhereTheStreamEnded(outcome, place, *telemetry) +
           ", and its flash loader no longer answers this tool. Switch the receiver off and on, then run: " +
           run("upgrade") + ". If it is not heard after that either, it needs a service flash";
  }
  if (Is(outcome, "flash-mode")) {
    return "the receiver still runs its old firmware, in SiRF binary. Bring it back to NMEA with: " + run("repair");
  }
  if (Is(outcome, "revert")) {
    return "the receiver may be left in SiRF binary. Bring it back to NMEA with: " + run("repair");
  }
  return std::string(kUntouched) + ". To flash it, run: " + run("upgrade");
}

}  // namespace larkspan
