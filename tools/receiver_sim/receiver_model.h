// The simulated receiver's behaviour, free of any pty: what it understands of the bytes the
// host sends (at the speed both ends agree on), which protocol and speed it speaks, and what
// it sends each second. main.cpp feeds it received bytes and clock ticks and puts its output
// on the line. Single-threaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tools/receiver_sim/nmea_parser.h"
#include "tools/receiver_sim/sirf_frame_parser.h"

namespace larkspan::sim {

class SimLog;
class ReceiverModel;

enum class Mode {
  kNmea,         // NMEA sentences out, $PSRF input sentences in
  kBinary,       // SiRF binary frames both ways
  kFlashUpdate,  // after message 0x94: navigation stopped, waiting for the flash loader.
                 // What follows (the loader upload at 115200, the S-record stream) is
                 // played by a FlashUpdateHook.
};
std::string_view ModeName(Mode mode);  // "nmea", "binary", "flash-update"

// The two shapes of version line the updater's reader accepts.
enum class VersionForm {
  kV,  // "$PSRFTXT,Version:" TEXT "-GSW2-2.05.024": 'V' at index 9
  kM,  // "$MVersion:" TEXT: 'M' at index 1
};

struct ReceiverOptions {
  Mode start_mode = Mode::kNmea;
  int start_speed = 4800;
  bool silent = false;       // send nothing at all, but still obey
  bool send_version = true;  // the periodic version line in NMEA mode
  int version_period = 1;    // seconds between version lines
  VersionForm version_form = VersionForm::kV;
  std::string version_text = " 2.3.2.03.07";
};

// Bytes the receiver put on the line, and the speed it sent them at.
struct Transmission {
  std::vector<uint8_t> bytes;
  int speed = 0;
};

// The receiver side of a flash update plugs in here. Without a hook, flash-update mode
// reads SiRF binary frames and only logs the loader-speed message.
class FlashUpdateHook {
 public:
  virtual ~FlashUpdateHook() = default;
  // The receiver has just entered flash-update mode.
  virtual void Enter(ReceiverModel& rx) = 0;
  // Bytes received in flash-update mode at the speed both ends agree on. Returns how many
  // it used (at least one); it stops right after a byte that changed the receiver's mode or speed, and the
  // model judges the rest at the new speed.
  virtual size_t Receive(ReceiverModel& rx, std::span<const uint8_t> bytes) = 0;
  // Once a second while in flash-update mode.
  virtual void Tick(ReceiverModel& /*rx*/) {}
};

class ReceiverModel {
 public:
  static constexpr int kDefaultRmcPeriod = 1;
  static constexpr int kDefaultGgaPeriod = 1;
  static constexpr int kDefaultGsaPeriod = 5;

  ReceiverModel(const ReceiverOptions& options, SimLog& log);

  // Bytes from the host, who listens and sends at `host_speed`. At another speed than the
  // receiver's they are garbage: counted and logged, never parsed.
  void Receive(std::span<const uint8_t> bytes, int host_speed);
  // The one-second schedule; `utc` stamps the navigation sentences.
  void Tick(std::time_t utc);
  // What the receiver sent since the last call, oldest first.
  std::vector<Transmission> TakeOutput();

  Mode mode() const { return mode_; }
  int speed() const { return speed_; }
  int rmc_period() const { return rmc_period_; }
  int gga_period() const { return gga_period_; }
  int gsa_period() const { return gsa_period_; }

  // ---- For the flash-update hook.
  // Queues bytes at the current speed (nothing in silent mode).
  void Send(std::span<const uint8_t> bytes);
  // Changes protocol and speed, forgets half-read input and logs "mode NAME speed=N".
  void SwitchMode(Mode mode, int speed);
  void Log(std::string_view line);
  void SetFlashUpdateHook(std::unique_ptr<FlashUpdateHook> hook) { hook_ = std::move(hook); }

  // ---- What the receiver sends, exposed for tests.
  static std::string VersionLine(VersionForm form, std::string_view text);
  // "$" body "*" checksum CR LF.
  static std::string Sentence(std::string_view body);
  // The NMEA output of one second: GGA, RMC, GSA as their periods say, then the version
  // line, for tick number `tick` (0 is the first second).
  std::string NmeaSecond(uint64_t tick, std::time_t utc) const;
  // A SiRF binary frame around `payload`.
  static std::vector<uint8_t> Frame(std::span<const uint8_t> payload);

  // Serial speeds the receiver can be switched to.
  static bool ValidSpeed(int baud);

 private:
  void ReceiveByte(uint8_t byte);
  void FlushJunk();
  void HandleSentence(const NmeaEvent& e);
  void HandleSetSerialPort(const std::vector<std::string_view>& f);
  void HandleRateControl(const std::vector<std::string_view>& f);
  void HandleReset();
  void HandleFrame(const FrameEvent& e);
  void SetRate(int& period, std::string_view name, int value);

  SimLog& log_;
  const ReceiverOptions options_;
  Mode mode_;
  int speed_;
  int rmc_period_ = kDefaultRmcPeriod;
  int gga_period_ = kDefaultGgaPeriod;
  int gsa_period_ = kDefaultGsaPeriod;
  uint64_t ticks_ = 0;
  std::time_t last_utc_ = 0;

  NmeaParser nmea_;
  SirfFrameParser frames_;
  std::vector<NmeaEvent> nmea_events_;
  std::vector<FrameEvent> frame_events_;
  size_t junk_ = 0;  // bytes that formed nothing, not yet logged
  std::vector<Transmission> output_;
  std::unique_ptr<FlashUpdateHook> hook_;
};

}  // namespace larkspan::sim
