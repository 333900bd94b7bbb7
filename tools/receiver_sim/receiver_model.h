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
  kFlashUpdate,  // after message 0x94: navigation stopped, SiRF binary frames still read,
                 // waiting for the loader speed (message 0x53)
  kLoader,       // after message 0x53 with a FlashUpdateHook: the boot code at 115200 takes
                 // the flash loader, then the loader takes S-records. Every byte goes to the
                 // hook, which leaves this mode when the new firmware starts.
};
std::string_view ModeName(Mode mode);  // "nmea", "binary", "flash-update", "loader"

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
  // Speeds at which the switch-to-NMEA frame is ignored (a receiver that misses it there), and
  // how many times it is (0: every time).
  std::vector<int> refuse_nmea_at;
  int refuse_nmea_times = 0;
};

// Bytes the receiver put on the line, and the speed it sent them at.
struct Transmission {
  std::vector<uint8_t> bytes;
  int speed = 0;
};

// The flash loader side of a flash update plugs in here. The model itself plays the boot
// code's part: message 0x94 (flash-update mode) and message 0x53 (loader speed), which with
// a hook moves the receiver to loader mode at 115200. Without a hook, 0x53 is only logged.
class FlashUpdateHook {
 public:
  virtual ~FlashUpdateHook() = default;
  // The receiver has just entered loader mode and waits for the loader upload.
  virtual void Enter(ReceiverModel& rx) = 0;
  // Bytes received in loader mode at the speed both ends agree on. Returns how many it used
  // (at least one); it stops right after a byte that changed the receiver's mode or speed,
  // and the model judges the rest at the new speed.
  virtual size_t Receive(ReceiverModel& rx, std::span<const uint8_t> bytes) = 0;
  // Once a second while in loader mode.
  virtual void Tick(ReceiverModel& /*rx*/) {}
  // The power went off: whatever was uploaded is gone. True when the flash was written only in
  // part, so that it holds no firmware to start.
  virtual bool PowerCycle(ReceiverModel& rx) = 0;
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
  // The flash side has written new firmware and starts it: SiRF binary at `speed`; once
  // back in NMEA its version lines carry `version_text`, or never come without
  // `send_version`.
  void RunNewFirmware(int speed, std::string version_text, bool send_version);
  void SetFlashUpdateHook(std::unique_ptr<FlashUpdateHook> hook) { hook_ = std::move(hook); }
  // The power goes off and on: the boot code starts what the flash holds, the old firmware or
  // the new one flashed whole, as the receiver first started. A flash written only in part
  // holds none: the boot code then stays silent and takes only the flash-update command, in
  // SiRF binary at 38400.
  void PowerCycle();

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
  std::string version_text_;  // the running firmware's; new after a flash
  bool send_version_;
  bool no_firmware_ = false;  // after a power cycle with a flash written in part
  int nmea_refused_ = 0;
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
