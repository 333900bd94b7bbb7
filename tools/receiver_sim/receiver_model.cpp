#include "tools/receiver_sim/receiver_model.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <type_traits>
#include <utility>

#include "receiver/command_frames.h"
#include "tools/receiver_sim/line_model.h"
#include "tools/receiver_sim/sim_log.h"

namespace larkspan::sim {
namespace {

constexpr int kNmeaSpeed = 4800;      // the receiver's speed after a reset
constexpr int kLoaderSpeed = 115200;  // loader-speed argument 2

// A whole decimal field, or nothing (empty, sign only, trailing bytes).
bool ParseInt(std::string_view field, int& value) {
  if (field.empty()) return false;
  const char* end = field.data() + field.size();
  const auto [ptr, ec] = std::from_chars(field.data(), end, value);
  return ec == std::errc() && ptr == end;
}

// The broken-down UTC time of `utc`.
std::tm Utc(std::time_t utc) {
  std::tm tm{};
  gmtime_r(&utc, &tm);
  return tm;
}

std::string HourMinuteSecond(const std::tm& tm) {
  return Format("%02d%02d%02d.000", tm.tm_hour, tm.tm_min, tm.tm_sec);
}

// One fixed position, near the one the updater's reset sentence seeds the receiver with.
constexpr std::string_view kPosition = "3723.2475,N,12158.3416,W";

std::string Gga(const std::tm& tm) {
  return ReceiverModel::Sentence("GPGGA," + HourMinuteSecond(tm) + "," + std::string(kPosition) +
                                 ",1,07,1.0,9.0,M,,,,0000");
}

// The status field 'A' stands at index 18: index 9 is a digit of the time, so the line can
// never pass for a V version line.
std::string Rmc(const std::tm& tm) {
  return ReceiverModel::Sentence(
      "GPRMC," + HourMinuteSecond(tm) + ",A," + std::string(kPosition) + ",0.13,309.62," +
      Format("%02d%02d%02d", tm.tm_mday, tm.tm_mon + 1, tm.tm_year % 100) + ",,");
}

std::string Gsa() {
  return ReceiverModel::Sentence("GPGSA,A,3,07,02,26,27,09,04,15,,,,,,1.8,1.0,1.5");
}

// Message 4 (measured tracker data) cut down to its header with no channels: GPS week
// (10 bits, as the receivers of this family count it), time of week in 1/100 s.
std::vector<uint8_t> TrackerFrame(std::time_t utc) {
  constexpr std::time_t kGpsEpoch = 315964800;  // 1980-01-06 00:00:00 UTC
  constexpr std::time_t kLeapSeconds = 18;
  const std::time_t gps = utc > kGpsEpoch ? utc - kGpsEpoch + kLeapSeconds : 0;
  const auto week = static_cast<uint32_t>((gps / 604800) % 1024);
  const auto tow = static_cast<uint32_t>((gps % 604800) * 100);
  const uint8_t payload[] = {0x04,
                             static_cast<uint8_t>(week >> 8),
                             static_cast<uint8_t>(week),
                             static_cast<uint8_t>(tow >> 24),
                             static_cast<uint8_t>(tow >> 16),
                             static_cast<uint8_t>(tow >> 8),
                             static_cast<uint8_t>(tow),
                             0x00};
  return ReceiverModel::Frame(payload);
}

}  // namespace

std::string_view ModeName(Mode mode) {
  switch (mode) {
    case Mode::kNmea: return "nmea";
    case Mode::kBinary: return "binary";
    case Mode::kFlashUpdate: return "flash-update";
    case Mode::kLoader: return "loader";
  }
  return "?";
}

ReceiverModel::ReceiverModel(const ReceiverOptions& options, SimLog& log)
    : log_(log), options_(options), version_text_(options.version_text),
      send_version_(options.send_version), mode_(options.start_mode),
      speed_(options.start_speed) {}

bool ReceiverModel::ValidSpeed(int baud) {
  switch (baud) {
    case 4800: case 9600: case 19200: case 38400: case 57600: case 115200: return true;
    default: return false;
  }
}

std::string ReceiverModel::Sentence(std::string_view body) {
  return Format("$%.*s*%02X\r\n", static_cast<int>(body.size()), body.data(),
                unsigned{frames::NmeaChecksum(body)});
}

std::string ReceiverModel::VersionLine(VersionForm form, std::string_view text) {
  // Version text lines carry no checksum, as the receiver's own boot texts do not.
  if (form == VersionForm::kM) return "$MVersion:" + std::string(text) + "\r\n";
  return "$PSRFTXT,Version:" + std::string(text) + "-GSW2-2.05.024\r\n";
}

std::vector<uint8_t> ReceiverModel::Frame(std::span<const uint8_t> payload) {
  const size_t n = payload.size();
  const uint16_t sum = frames::SirfChecksum(payload);
  std::vector<uint8_t> f = {frames::kStart1, frames::kStart2, static_cast<uint8_t>(n >> 8),
                            static_cast<uint8_t>(n)};
  f.insert(f.end(), payload.begin(), payload.end());
  f.insert(f.end(), {static_cast<uint8_t>(sum >> 8), static_cast<uint8_t>(sum), frames::kEnd1,
                     frames::kEnd2});
  return f;
}

std::string ReceiverModel::NmeaSecond(uint64_t tick, std::time_t utc) const {
  const std::tm tm = Utc(utc);
  const auto due = [tick](int period) {
    return period > 0 && tick % static_cast<uint64_t>(period) == 0;
  };
  std::string out;
  if (due(gga_period_)) out += Gga(tm);
  if (due(rmc_period_)) out += Rmc(tm);
  if (due(gsa_period_)) out += Gsa();
  if (send_version_ && due(options_.version_period)) {
    out += VersionLine(options_.version_form, version_text_);
  }
  return out;
}

// ---- Output

void ReceiverModel::Send(std::span<const uint8_t> bytes) {
  if (options_.silent || no_firmware_ || bytes.empty()) return;
  if (output_.empty() || output_.back().speed != speed_) output_.push_back({{}, speed_});
  output_.back().bytes.insert(output_.back().bytes.end(), bytes.begin(), bytes.end());
}

std::vector<Transmission> ReceiverModel::TakeOutput() { return std::exchange(output_, {}); }

void ReceiverModel::Tick(std::time_t utc) {
  const uint64_t tick = ticks_++;
  last_utc_ = utc;
  switch (mode_) {
    case Mode::kNmea:
      Send(frames::Bytes(NmeaSecond(tick, utc)));
      break;
    case Mode::kBinary:
      Send(TrackerFrame(utc));
      break;
    case Mode::kFlashUpdate:
      break;  // navigation has stopped
    case Mode::kLoader:
      if (hook_) hook_->Tick(*this);  // the flash loader speaks only when spoken to
      break;
  }
}

// ---- Input

void ReceiverModel::Log(std::string_view line) {
  FlushJunk();
  log_.Write(line);
}

void ReceiverModel::FlushJunk() {
  if (junk_ == 0) return;
  log_.Write(Format("rx-junk speed=%d bytes=%zu", speed_, junk_));
  junk_ = 0;
}

void ReceiverModel::SwitchMode(Mode mode, int speed) {
  FlushJunk();
  mode_ = mode;
  speed_ = speed;
  nmea_.Reset();
  frames_.Reset();
  Log(Format("mode %.*s speed=%d", static_cast<int>(ModeName(mode).size()),
             ModeName(mode).data(), speed));
}

void ReceiverModel::RunNewFirmware(int speed, std::string version_text, bool send_version) {
  no_firmware_ = false;
  version_text_ = std::move(version_text);
  send_version_ = send_version;
  Log("new-firmware version=\"" + Printable(version_text_) + "\" version-lines=" +
      (send_version_ ? "on" : "off"));
  SwitchMode(Mode::kBinary, speed);
}

void ReceiverModel::PowerCycle() {
  Log("power-cycle");
  output_.clear();
  rmc_period_ = kDefaultRmcPeriod;
  gga_period_ = kDefaultGgaPeriod;
  gsa_period_ = kDefaultGsaPeriod;
  no_firmware_ = hook_ && hook_->PowerCycle(*this);
  if (no_firmware_) {
    Log("boot no-firmware: waiting for the flash-update command");
    SwitchMode(Mode::kBinary, 38400);
  } else {
    SwitchMode(options_.start_mode, options_.start_speed);
  }
}

void ReceiverModel::Receive(std::span<const uint8_t> bytes, int host_speed) {
  size_t i = 0;
  while (i < bytes.size()) {
    // Judged per byte, since a command just obeyed may have moved the receiver to another
    // speed while the rest of the host's bytes are still at the old one.
    if (!LineModel::Agree(host_speed, speed_)) {
      Log(Format("rx-garbled host=%d sim=%d bytes=%zu", host_speed, speed_, bytes.size() - i));
      // A real UART would have lost whatever it was in the middle of.
      nmea_.Reset();
      frames_.Reset();
      return;
    }
    if (mode_ == Mode::kLoader && hook_) {
      const size_t rest = bytes.size() - i;
      i += std::clamp<size_t>(hook_->Receive(*this, bytes.subspan(i)), 1, rest);
      continue;
    }
    ReceiveByte(bytes[i++]);
  }
  FlushJunk();
}

void ReceiverModel::ReceiveByte(uint8_t byte) {
  const Mode mode = mode_;
  const int speed = speed_;
  // Events after one that switched protocol or speed came from bytes the receiver no longer
  // reads the same way; they are dropped with the rest of the half-read input.
  const auto switched = [&] { return mode_ != mode || speed_ != speed; };
  // Feeds the byte to the reader of the current protocol and handles what it completes.
  const auto feed = [&](auto& reader, auto& events, auto handle) {
    using Event = typename std::decay_t<decltype(events)>::value_type;
    events.clear();
    reader.Push(byte, events);
    for (const Event& e : events) {
      if (e.kind == Event::Kind::kJunk) {
        junk_ += e.junk;
      } else {
        handle(e);
      }
      if (switched()) break;
    }
  };
  if (mode_ == Mode::kNmea) {
    feed(nmea_, nmea_events_, [this](const NmeaEvent& e) { HandleSentence(e); });
  } else {
    feed(frames_, frame_events_, [this](const FrameEvent& e) { HandleFrame(e); });
  }
}

void ReceiverModel::HandleSentence(const NmeaEvent& e) {
  Log(Format("rx-sentence speed=%d checksum=%s text=", speed_, e.checksum_ok ? "ok" : "bad") +
      Printable(e.text));
  if (!e.checksum_ok) {
    Log("ignored sentence: bad or missing checksum");
    return;
  }
  const std::vector<std::string_view> f = NmeaFields(e.text);
  if (f[0] == "PSRF100") {
    HandleSetSerialPort(f);
  } else if (f[0] == "PSRF103") {
    HandleRateControl(f);
  } else if (f[0] == "PSRF101") {
    HandleReset();
  } else {
    Log("ignored sentence: not understood");
  }
}

// $PSRF100,<protocol>,<baud>,<data bits>,<stop bits>,<parity>
void ReceiverModel::HandleSetSerialPort(const std::vector<std::string_view>& f) {
  int protocol = 0, baud = 0, data = 0, stop = 0, parity = 0;
  if (f.size() != 6 || !ParseInt(f[1], protocol) || !ParseInt(f[2], baud) ||
      !ParseInt(f[3], data) || !ParseInt(f[4], stop) || !ParseInt(f[5], parity)) {
    Log("ignored PSRF100: malformed");
    return;
  }
  if ((protocol != 0 && protocol != 1) || !ValidSpeed(baud)) {
    Log(Format("ignored PSRF100: protocol %d at %d baud", protocol, baud));
    return;
  }
  // The line is always 8 data bits, 1 stop bit, no parity (a pty knows no other format).
  if (data != 8 || stop != 1 || parity != 0) {
    Log(Format("ignored PSRF100: format %d,%d,%d", data, stop, parity));
    return;
  }
  SwitchMode(protocol == 0 ? Mode::kBinary : Mode::kNmea, baud);
}

void ReceiverModel::SetRate(int& period, std::string_view name, int value) {
  period = value;
  Log(Format("%.*s-rate %d", static_cast<int>(name.size()), name.data(), value));
}

// $PSRF103,<message>,<mode>,<rate>,<checksum enable>; message 0 GGA, 2 GSA, 4 RMC;
// mode 0 sets the period in seconds (0 = off), mode 1 asks for one sentence now.
void ReceiverModel::HandleRateControl(const std::vector<std::string_view>& f) {
  int message = 0, query = 0, rate = 0, checksum = 0;
  if (f.size() != 5 || !ParseInt(f[1], message) || !ParseInt(f[2], query) ||
      !ParseInt(f[3], rate) || !ParseInt(f[4], checksum) || query < 0 || query > 1 ||
      rate < 0 || rate > 255) {
    Log("ignored PSRF103: malformed");
    return;
  }
  int* period = nullptr;
  std::string_view name;
  std::string once;
  const std::tm tm = Utc(last_utc_);
  switch (message) {
    case 0: period = &gga_period_; name = "gga"; once = Gga(tm); break;
    case 2: period = &gsa_period_; name = "gsa"; once = Gsa(); break;
    case 4: period = &rmc_period_; name = "rmc"; once = Rmc(tm); break;
    default:
      Log(Format("ignored PSRF103: message %d not simulated", message));
      return;
  }
  if (query == 1) {
    Send(frames::Bytes(once));
  } else {
    SetRate(*period, name, rate);
  }
}

// $PSRF101: navigation initialisation. Whatever its fields, the receiver restarts as after
// power-up: NMEA at 4800 with the default sentence periods.
void ReceiverModel::HandleReset() {
  Log("reset");
  gga_period_ = kDefaultGgaPeriod;
  gsa_period_ = kDefaultGsaPeriod;
  rmc_period_ = kDefaultRmcPeriod;
  SwitchMode(Mode::kNmea, kNmeaSpeed);
}

void ReceiverModel::HandleFrame(const FrameEvent& e) {
  const int mid = e.mid();
  Log(Format("rx-frame speed=%d len=%zu mid=", speed_, e.frame.size()) +
      (mid < 0 ? std::string("none") : Format("0x%02x", mid)) +
      " checksum=" + (e.checksum_ok ? "ok" : "bad") + " hex=" + Hex(e.frame));
  if (!e.checksum_ok) {
    Log("ignored frame: bad checksum");
    return;
  }
  const std::span<const uint8_t> p = e.payload();
  if (no_firmware_ && mid != 0x94) {
    Log("ignored frame: no firmware");
  } else if (mode_ == Mode::kBinary && mid == 0x81 &&
             std::ranges::find(options_.refuse_nmea_at, speed_) != options_.refuse_nmea_at.end() &&
             (options_.refuse_nmea_times == 0 || nmea_refused_ < options_.refuse_nmea_times)) {
    ++nmea_refused_;
    Log(Format("ignored switch-to-nmea at %d: refused by option", speed_));
  } else if (mode_ == Mode::kBinary && mid == 0x81) {
    // Switch to NMEA: byte pairs (period, checksum flag) for GGA, GLL, GSA, GSV, RMC, ...
    // and the NMEA speed in bytes 22-23.
    if (p.size() < 24) {
      Log("ignored frame: switch to NMEA too short");
      return;
    }
    const int baud = (p[22] << 8) | p[23];
    if (!ValidSpeed(baud)) {
      Log(Format("ignored frame: switch to NMEA at %d baud", baud));
      return;
    }
    SwitchMode(Mode::kNmea, baud);
    if (gga_period_ != p[2]) SetRate(gga_period_, "gga", p[2]);
    if (gsa_period_ != p[6]) SetRate(gsa_period_, "gsa", p[6]);
    if (rmc_period_ != p[10]) SetRate(rmc_period_, "rmc", p[10]);
  } else if (mode_ == Mode::kBinary && mid == 0x94) {
    no_firmware_ = false;  // the boot code talks from here on, as the loader will
    SwitchMode(Mode::kFlashUpdate, speed_);
  } else if (mode_ == Mode::kFlashUpdate && mid == 0x53) {
    // The loader's speed: argument 2 is 115200, the only one the updater sends. Without a
    // flash side there is no loader to wait for, so nothing changes.
    Log(p.size() >= 2 ? Format("loader-speed arg=%d", p[1]) : std::string("loader-speed arg=none"));
    if (!hook_) return;
    if (p.size() < 2 || p[1] != 2) {
      Log("ignored frame: loader speed argument not simulated");
      return;
    }
    SwitchMode(Mode::kLoader, kLoaderSpeed);
    hook_->Enter(*this);
  } else {
    Log(Format("ignored frame: message 0x%02x in %.*s mode", mid,
               static_cast<int>(ModeName(mode_).size()), ModeName(mode_).data()));
  }
}

}  // namespace larkspan::sim
