// A fresh program state on the fakes whose every port call, box, status and progress step goes
// into one transcript, and the ways a test scripts the receiver and its loader. A scenario runs
// on a rig; its transcript, closed by the state it leaves behind, is compared with a reviewed
// file under tests/data/transcripts/.
#pragma once

#include <cerrno>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "receiver/program_state.h"
#include "transfer/worker_telemetry.h"
#include "tests/fakes/fake_receiver.h"
#include "tests/fakes/fake_serial_port.h"
#include "tests/fakes/memory_registry.h"
#include "tests/fakes/recording_sink.h"
#include "tests/fakes/transcript.h"
#include "tests/unit/temp_file.h"

namespace larkspan::testing {

inline constexpr char kHeaderRecord[] = "S00600004844521B\r\n";
inline constexpr char kDataRecord[] = "S3150000000000112233445566778899AABBCCDDEEFFF2\r\n";
inline constexpr char kEndRecord[] = "S70500000000FA\r\n";
// A header, `data_records` data records and a termination record.
inline std::string Records(int data_records) {
  std::string file = kHeaderRecord;
  for (int i = 0; i < data_records; ++i) file += kDataRecord;
  return file + kEndRecord;
}

class Rig {
 public:
  Rig() {
    port.transcript = &transcript;
    sink.transcript = &transcript;
  }

  TestClock clock;
  Transcript transcript{clock};
  FakeSerialPorts port{clock};
  RecordingSink sink;
  MemoryRegistry registry;
  ProgramState state{port, clock, sink, registry};
  WorkerTelemetry telemetry;

  // A line of the test's own, such as what a routine returned.
  void Note(const std::string& what) { transcript.Add("= " + what); }
  template <typename Value>
  void Note(const std::string& what, Value value) {
    Note(what + " " + std::to_string(static_cast<int>(value)));
  }
  template <typename Read>
  void NoteVersion(const std::string& what, Read result) {
    Note(what + " " + std::to_string(static_cast<int>(result)) + " '" + ToUtf8(state.current_version) + "'");
  }
  // The update channel open at `speed`, as the upload stages find it.
  void OpenUpdateChannelAt(uint32_t speed) {
    state.update_channel.Open();
    state.update_channel.ChangeSpeed(speed);
  }

  // A file holding `bytes`, kept as long as the rig.
  TempFile& File(const std::string& bytes, const std::string& name = "payload") {
    return *files_.emplace_back(std::make_unique<TempFile>(bytes, name));
  }
  TempFile& OpenLoader(const std::string& image) {
    TempFile& file = File(image);
    state.loader_file.Open(file.path().string());
    return file;
  }
  TempFile& OpenFirmware(const std::string& records) {
    TempFile& file = File(records);
    state.srecord_file.Open(file.path().string());
    return file;
  }

  // A receiver that follows a whole upgrade.
  FakeReceiver& Receiver() { return receiver_.emplace(port); }

  // A loader that answers every record but a termination record with the next of `answers`,
  // then with "S5\r\n".
  void Loader(std::deque<std::string> answers = {}) {
    answers_ = std::move(answers);
    port.hear = [this](const std::vector<uint8_t>& bytes, uint32_t) {
      if (bytes.size() > 1 && (bytes[1] == '7' || bytes[1] == '9')) return;
      pending_ += answers_.empty() ? std::string("S5\r\n") : answers_.front();
      if (!answers_.empty()) answers_.pop_front();
    };
    port.talk = [this](uint32_t) { return std::exchange(pending_, std::string()); };
  }
  // The receiver says `text` once (on the next read), then stays silent.
  void SaysOnce(std::string text) {
    port.talk = [said = false, text](uint32_t) mutable { return std::exchange(said, true) ? std::string() : text; };
  }
  // `strike` runs after the receiver heard each write.
  void AfterWrite(std::function<void(const std::vector<uint8_t>&, uint32_t)> strike) {
    port.hear = [inner = port.hear, strike](const std::vector<uint8_t>& bytes, uint32_t baud) {
      if (inner) inner(bytes, baud);
      strike(bytes, baud);
    };
  }
  // `act` runs once the status `status` is shown.
  void OnStatus(std::string status, std::function<void()> act) {
    sink.on_status = [status, act](const std::string& shown) { if (shown == status) act(); };
  }

  // The state the scenario leaves: flags, channels, files, handles, version and record.
  std::string EndState() const;

 private:
  std::optional<FakeReceiver> receiver_;
  std::vector<std::unique_ptr<TempFile>> files_;
  std::deque<std::string> answers_;
  std::string pending_;
};

// The ways the probe channel's open fails.
inline void CannotOpen(FakeSerialPorts& port) { port.open_error = EBUSY; }
inline void SettingsRefused(FakeSerialPorts& port) { port.refuse_state = true; }
inline void TimeoutsRefused(FakeSerialPorts& port) { port.refuse_timeouts = true; }

}  // namespace larkspan::testing
