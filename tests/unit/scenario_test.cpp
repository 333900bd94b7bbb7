// The receiver link and the firmware transfer, scenario by scenario on the fakes: every byte
// written with its speed, every read, every wait (the time stamps), every box, status and
// progress operation, and the state left behind, compared with a reviewed transcript.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "frontend/session/upgrade_history.h"
#include "receiver/command_frames.h"
#include "receiver/recovery.h"
#include "receiver/version_reader.h"
#include "tests/golden.h"
#include "tests/unit/scenario_rig.h"
#include "transfer/installed_version.h"
#include "transfer/loader_upload.h"
#include "transfer/payload_files.h"
#include "transfer/srecord_stream.h"
#include "transfer/upgrade_worker.h"

namespace larkspan::testing {

std::string Rig::EndState() const {
  const auto open = [](bool is_open) { return is_open ? "open" : "closed"; };
  const auto record = registry.Value(kInstalledVersionRoot, kInstalledVersionKey, kInstalledVersionValue);
  std::ostringstream out;
  const auto named = [](WorkerStage stage) { return StageName(stage) ? StageName(stage) : "none"; };
  out << "end finished=" << state.finished << " running=" << state.upgrade_running << " stages=";
  for (size_t stage = 1; stage < kWorkerStages; ++stage) {
    out << (telemetry.stage_entered_us[stage] ? named(static_cast<WorkerStage>(stage)) : "-") << ",";  // each stage the worker entered
  }
  out << " failed-stage=" << named(telemetry.failed_stage.load())
      << " update=" << open(state.update_channel.IsOpen()) << " probe=" << open(state.probe_channel.IsOpen())
      << " loader=" << open(state.loader_file.IsOpen()) << " firmware=" << open(state.srecord_file.IsOpen())
      << " handles=" << port.open_handles << " most-handles=" << port.max_open_handles << " baud=" << port.baud
      << "\nend version='" << ToUtf8(state.current_version) << "' keys=" << registry.KeyCount()
      << " open-keys=" << registry.open_keys << " record="
      << (record ? "'" + Transcript::Escaped({reinterpret_cast<const char*>(record->data()), record->size()}) + "'"
                 : std::string("none"))
      << "\n";
  return out.str();
}

namespace {

namespace fs = std::filesystem;

using Run = std::function<void(Rig&)>;
struct Scenario { const char* name; Run run; };
void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

bool IsHeader(const std::vector<uint8_t>& bytes) { return bytes.size() == 6 && bytes[0] == 'S' && bytes[1] == 0; }
bool IsTermination(const std::vector<uint8_t>& bytes) { return bytes.size() > 1 && bytes[0] == 'S' && bytes[1] == '7'; }

// ---- Receiver recovery

// The receiver sits in SiRF binary at `binary_speed`; after the switch-to-NMEA frame at that
// speed it talks NMEA at 4800: its version line, or with `only_other` other sentences.
void ReceiverInBinaryAt(Rig& r, uint32_t binary_speed, bool only_other = false) {
  FakeReceiver& receiver = r.Receiver();
  receiver.mode = binary_speed ? FakeReceiver::Mode::kNewFirmwareBinary : FakeReceiver::Mode::kNmea;
  receiver.new_firmware_speed = binary_speed;
  if (only_other) receiver.version_line = "$GPGGA,123519,4807.038,N\r\n";
}

// `act` on a port that `fault` has set to fail.
Run Faulted(void (*fault)(FakeSerialPorts&), void (*act)(Rig&)) { return [=](Rig& r) { fault(r.port); act(r); }; }

void UpdateChannelSendsAndReads(Rig& r) {
  r.state.update_channel.Open();
  r.state.update_channel.Send(frames::Bytes(frames::kSwitchToBinary));
  r.port.write_limit = 5;  // a short count is not checked
  r.state.update_channel.Send(frames::Bytes(frames::kRmcRate));
  r.port.fail_writes = true;
  r.state.update_channel.Send(frames::Bytes(frames::kRmcRate));
  uint8_t byte = 0;
  size_t count = 9;
  r.Note("read", r.state.update_channel.Read({&byte, 1}, count));
  r.Note("count", count);
}

void ProbeOpens(Rig& r) {
  r.Note("open", r.state.probe_channel.Open(u"COM1:", 38400));
  r.Note("held", r.state.probe_channel.IsOpen());
}

// Check-and-repair with a loader file open, which its closing steps close.
void RepairsWithALoaderOpen(Rig& r) {
  r.OpenLoader("loader");
  r.Note("repair", CheckAndRepair(r.state));
}

Run Repair(uint32_t binary_speed, bool only_other) {
  return [=](Rig& r) {
    ReceiverInBinaryAt(r, binary_speed, only_other);
    r.Note("repair", CheckAndRepair(r.state));
  };
}

Run VersionWindowsRunOut(std::string talk) {
  return [talk](Rig& r) {
    r.state.update_channel.Open();
    r.state.current_version = u"kept";
    r.port.talk = [talk](uint32_t) { return talk; };
    r.NoteVersion("read", ReadVersion(r.state));
    r.NoteVersion("check", CheckVersion(r.state));
  };
}

void StartupRead(Rig& r) { r.NoteVersion("startup", ReadStartupVersion(r.state)); }

// ---- Loader upload

Run Upload(std::string image, std::function<void(Rig&, TempFile&)> arrange = nullptr) {
  return [=](Rig& r) {
    TempFile& file = r.OpenLoader(image);
    r.OpenUpdateChannelAt(115200);
    if (arrange) arrange(r, file);
    r.Note("upload", UploadLoader(r.state, r.telemetry));
  };
}

// After the header went out (its size taken), the image ends after four bytes or cannot be read.
void ImageFailsAfterTheHeader(Rig& r, TempFile& file, bool ends_early) {
  r.AfterWrite([&file, ends_early](const std::vector<uint8_t>& bytes, uint32_t) {
    if (IsHeader(bytes)) ends_early ? fs::resize_file(file.path(), 4) : file.BreakReads();
  });
}

// ---- S-record stream

Run Stream(std::string records, std::function<void(Rig&, TempFile&)> arrange = nullptr) {
  return [=](Rig& r) {
    r.OpenUpdateChannelAt(115200);
    r.Loader();
    TempFile& file = r.OpenFirmware(records);
    if (arrange) arrange(r, file);
    r.Note("stream", StreamSRecords(r.state, r.telemetry));
  };
}

// ---- Upgrade worker

const std::string kFirmware = Records(1);

// A whole upgrade against the fake receiver, the record's key in place unless `no_key`;
// `arrange` scripts a fault before the worker starts.
Run Worker(std::function<void(Rig&, FakeReceiver&, TempFile& loader)> arrange = nullptr, bool no_key = false) {
  return [=](Rig& r) {
    if (!no_key) r.registry.CreateKey(kInstalledVersionRoot, kInstalledVersionKey);
    FakeReceiver& receiver = r.Receiver();
    TempFile& loader = r.OpenLoader(std::string(20, '\x7F'));
    r.OpenFirmware(kFirmware);
    if (arrange) arrange(r, receiver, loader);
    r.Note("worker", UpgradeWorker(r.state, r.telemetry));
  };
}

// A whole upgrade with `strike` run after the receiver heard each write.
using Bytes = std::vector<uint8_t>;
Run WorkerStruck(std::function<void(Rig&, const Bytes&, uint32_t)> strike) {
  return Worker([strike](Rig& r, FakeReceiver&, TempFile&) {
    r.AfterWrite([&r, strike](const Bytes& b, uint32_t baud) mutable { strike(r, b, baud); });
  });
}

const Scenario kScenarios[] = {
    {"channels_open_change_speed_reopen", [](Rig& r) {
       r.state.update_channel.Close();  // neither channel is open: nothing happens
       r.state.probe_channel.Close();
       r.state.update_channel.Open();
       r.Note("speed", r.state.update_channel.ChangeSpeed(115200));
       r.state.update_channel.Open();  // drops the old handle without the closing steps
       r.state.update_channel.Close();
       r.state.update_channel.Open();
       r.port.refuse_state = true;
       r.Note("speed", r.state.update_channel.ChangeSpeed(38400));
       r.state.update_channel.Close();
       r.Note("speed on a closed channel", r.state.update_channel.ChangeSpeed(38400));
     }},
    {"update_channel_held", Faulted(CannotOpen, UpdateChannelSendsAndReads)},
    {"update_channel_settings_refused",
     Faulted([](FakeSerialPorts& p) { p.refuse_state = p.refuse_timeouts = p.refuse_queues = true; },
             UpdateChannelSendsAndReads)},
    {"update_channel_sends_and_reads", UpdateChannelSendsAndReads},
    {"probe_channel_opens_sends_closes", [](Rig& r) {
       // High flag bits, XON/XOFF and a frame of the port's own: the probe keeps only what it does not set.
       r.port.port_state = {.flags = 0xFFFF8300, .xon_limit = 2048, .xoff_limit = 512, .byte_size = 7, .parity = 2,
                            .xon_char = 0x11, .xoff_char = 0x13};
       r.state.probe_channel.SendSwitchToNmeaFrame();  // not open yet
       r.Note("open", r.state.probe_channel.Open(u"COM1:", 57600));
       r.state.probe_channel.SendText("AB\r\n");
       r.state.probe_channel.SendSwitchToNmeaFrame();
       r.port.write_limit = 31;
       r.state.probe_channel.SendSwitchToNmeaFrame();
       r.port.fail_writes = true;
       r.state.probe_channel.SendSwitchToNmeaFrame();
       r.state.probe_channel.SendText("C");  // a failed text write is not reported
     }},
    {"probe_channel_cts_low_or_high", [](Rig& r) {  // wired without CTS twice (told once), then with it
       r.state.probe_channel.on_cts_low = [&r] { r.Note("told: CTS low"); };
       r.port.drain_leaves = 5;  // what has not left when the write's time is up does not count
       for (const uint32_t lines : {modem_line::kDsr, modem_line::kDsr, modem_line::kCts}) {
         r.port.modem_lines = lines;
         r.Note("open", r.state.probe_channel.Open(u"COM1:", 115200));
         r.state.probe_channel.SendSwitchToNmeaFrame();
         r.state.probe_channel.Close();
       }
     }},
    {"probe_cannot_open", Faulted(CannotOpen, ProbeOpens)},
    {"probe_settings_refused", Faulted(SettingsRefused, ProbeOpens)},
    {"probe_timeouts_refused", Faulted(TimeoutsRefused, ProbeOpens)},
    {"versions_first_accepted_line", [](Rig& r) {
       r.state.update_channel.Open();
       r.SaysOnce("$GPGGA,1,2,3\r\nx$PSRFTXT,Version:bad-1\r\n$PSRFTXT,Version: 2.3.2.03.07-GSW2\r\n");
       r.NoteVersion("read", ReadVersion(r.state));
       r.SaysOnce("$GPRMC,1\r\n$PSRFTXT,Version: 2.4-x\r\n");
       r.NoteVersion("check", CheckVersion(r.state));
       r.SaysOnce(std::string(300, '#') + "$MVersion\r\n");  // the tail after the wrap
       r.NoteVersion("read", ReadVersion(r.state));
     }},
    {"version_windows_silence", VersionWindowsRunOut("")},
    {"version_windows_other_sentences", VersionWindowsRunOut("$GPGGA,123519,4807.038,N,01131.000,E\r\n")},
    {"version_reads_that_fail", [](Rig& r) {
       r.port.fail_reads = true;
       VersionWindowsRunOut("")(r);
       r.port.fail_reads = false;
       r.port.over_report_reads = true;  // claims more than the one byte asked for
       r.port.talk = [](uint32_t) { return std::string("$MVersion 9\r\n"); };
       r.NoteVersion("read", ReadVersion(r.state));
       r.NoteVersion("check", CheckVersion(r.state));
     }},
    {"startup_read_fails_twice", [](Rig& r) {
       r.state.update_channel.Open();
       StartupRead(r);
     }},
    {"startup_read_reopens_at_4800", [](Rig& r) {
       r.OpenUpdateChannelAt(115200);
       r.port.talk = [](uint32_t baud) { return baud == 4800 ? "$PSRFTXT,Version: 2.3.2.03.07-x\r\n" : ""; };
       StartupRead(r);
     }},
    {"startup_read_port_held", Faulted(CannotOpen, StartupRead)},
    {"attempt_at_38400", [](Rig& r) {
       ReceiverInBinaryAt(r, 38400);
       r.state.update_channel.Open();
       r.Note("attempt", AttemptNmeaRevert(r.state, 38400));
     }},
    {"repair_at_38400", Repair(38400, false)},
    {"repair_at_57600", Repair(57600, false)},
    {"repair_never_hears_a_version", Repair(38400, true)},
    {"repair_probe_cannot_open", Faulted(CannotOpen, RepairsWithALoaderOpen)},
    {"repair_probe_settings_refused", Faulted(SettingsRefused, RepairsWithALoaderOpen)},
    {"repair_probe_timeouts_refused", Faulted(TimeoutsRefused, RepairsWithALoaderOpen)},
    {"attempt_frame_fails_or_short", [](Rig& r) {
       ReceiverInBinaryAt(r, 0);  // already in NMEA
       r.port.fail_writes = true;
       r.Note("attempt", AttemptNmeaRevert(r.state, 38400));
       r.port.fail_writes = false;
       r.port.write_limit = 20;
       r.Note("attempt", AttemptNmeaRevert(r.state, 57600));
     }},
    {"attempt_update_channel_reopen_fails", [](Rig& r) {
       ReceiverInBinaryAt(r, 0);
       r.port.fail_open_number = 2;  // the probe's open is the first, the update channel's reopen the second
       r.Note("attempt", AttemptNmeaRevert(r.state, 38400));
       r.port.refuse_queues = true;  // reported; the probe does not set its queue sizes
       r.Note("attempt", AttemptNmeaRevert(r.state, 38400));
     }},
    {"reset_sends_its_sentence", [](Rig& r) {
       r.Note("reset", r.state.probe_channel.ResetReceiver());
       r.port.fail_writes = true;  // a failed write still counts as sent
       r.Note("reset", r.state.probe_channel.ResetReceiver());
     }},
    {"reset_cannot_open_or_configure", [](Rig& r) {
       r.port.open_error = EACCES;
       r.Note("reset", r.state.probe_channel.ResetReceiver());
       r.port.open_error = 0;
       r.port.refuse_timeouts = true;
       r.Note("reset", r.state.probe_channel.ResetReceiver());
       r.Note("held", r.state.probe_channel.IsOpen());
     }},
    {"upload_shipped_size", Upload(std::string(14316, '\x5A'))},
    {"upload_small_image", Upload(std::string(50, 'x'))},
    {"upload_empty_image", Upload("")},
    {"upload_writes_fail", Upload("ab", [](Rig& r, TempFile&) { r.port.fail_writes = true; })},
    {"upload_writes_short", Upload("abc", [](Rig& r, TempFile&) { r.port.write_limit = 3; })},
    {"upload_writes_move_nothing", Upload("ab", [](Rig& r, TempFile&) { r.port.write_limit = 0; })},
    // The trailer's last bytes still queued when the write's time ran out: a short trailer.
    {"upload_trailer_stuck_in_the_driver", Upload("ab", [](Rig& r, TempFile&) { r.port.drain_leaves = 3; })},
    {"upload_image_ends_early", Upload("0123456789", [](Rig& r, TempFile& f) { ImageFailsAfterTheHeader(r, f, true); })},
    {"upload_image_unreadable", Upload("0123456789", [](Rig& r, TempFile& f) { ImageFailsAfterTheHeader(r, f, false); })},
    // A size the header's 32 bits cannot carry fails the upload before anything is sent.
    {"upload_image_of_4_gib", Upload("0123456789", [](Rig&, TempFile& f) { fs::resize_file(f.path(), 1ull << 32); })},
    {"stream_ends_at_termination", Stream(Records(1) + "S1junk after the end\r\n")},
    {"stream_s9_termination", Stream(std::string(kHeaderRecord) + "S9030000FC\r\n")},
    {"stream_s8_is_data", Stream("S804000000FB\r\n" + std::string(kEndRecord))},
    {"stream_lower_case_count", Stream("S30d00000000001122334455667788\r\n" + std::string(kEndRecord))},
    {"stream_percentages", Stream(Records(300))},
    {"stream_answers_judged", [](Rig& r) {  // answers as the loader gives them, each judged on its own
       r.OpenUpdateChannelAt(115200);
       for (const std::string& answer : std::vector<std::string>{"S5\r\n", "SA\r\n", "SAx\n",
                                                                 "$GPGGA,1,2*00\r\nLoader says S5\r\n", "\n\nS\nS5\r\n",
                                                                 std::string(300, 'x') + "S5\r\n", "SE\r\n"}) {
         r.SaysOnce(answer);
         r.Note("answer", ReceiveTargetResponse(r.state, kAnswerSeconds));
       }
       // A line whose "5" follows no "S", line feeds at index 0, then 1, then "S5" with its LF at 2:
       // none is an answer; a short limit ends the wait with 2.
       r.SaysOnce("X5\r\n\nS\nS5\n");
       r.Note("answer", ReceiveTargetResponse(r.state, 3));
     }},
    {"stream_answer_wait_ends_after_60_s", [](Rig& r) {  // a receiver talking NMEA, never an answer
       r.OpenUpdateChannelAt(115200);
       r.OpenFirmware(std::string(kHeaderRecord) + kEndRecord);
       r.port.talk = [&r](uint32_t) {
         r.clock.Advance(1'000'000);
         return std::string("$GPGSA,A,1*1E\r\n");
       };
       r.Note("stream", StreamSRecords(r.state, r.telemetry));
     }},
    {"stream_empty_read_limit", [](Rig& r) {
       r.OpenUpdateChannelAt(115200);
       int empty_reads = 0;
       r.port.talk = [&empty_reads](uint32_t) { return empty_reads++ < 16 ? std::string() : std::string("S5\r\n"); };
       r.Note("answer", ReceiveTargetResponse(r.state, kAnswerSeconds));
       r.port.talk = nullptr;
       r.Note("answer", ReceiveTargetResponse(r.state, kAnswerSeconds));
     }},
    {"stream_count_above_147", [](Rig& r) {
       r.OpenUpdateChannelAt(115200);
       r.Loader();
       r.OpenFirmware("S394" + std::string(kEndRecord));
       size_t written = 77;
       r.Note("record", TransmitS_Record(r.state, written, kAnswerSeconds));
       r.Note("written", written);
       // The next head is read right after the refused one: nothing else was read.
       r.Note("record", TransmitS_Record(r.state, written, kAnswerSeconds));
     }},
    {"stream_no_file", [](Rig& r) {
       r.state.update_channel.Open();
       r.Note("stream", StreamSRecords(r.state, r.telemetry));
     }},
    {"stream_head_unreadable", Stream(Records(0), [](Rig&, TempFile& f) { f.BreakReads(); })},
    {"stream_head_short", Stream("S0")},
    {"stream_no_termination", Stream(kHeaderRecord)},
    {"stream_rest_unreadable", Stream(Records(0), [](Rig&, TempFile& file) {
       // The head of a record arrives; the rest is not there yet and its read fails.
       int ends[2];
       ASSERT_EQ(::pipe2(ends, O_NONBLOCK | O_CLOEXEC), 0);
       ASSERT_EQ(::write(ends[1], "S315", 4), 4);
       file.HoldInstead(ends[0]);
       ::close(ends[1]);
     })},
    {"stream_rest_short", Stream("S315000000")},
    {"stream_write_fails", Stream(Records(0), [](Rig& r, TempFile&) { r.port.fail_writes = true; })},
    {"stream_write_short", Stream(Records(0), [](Rig& r, TempFile&) { r.port.write_limit = 10; })},
    {"stream_record_rejected", Stream(Records(0), [](Rig& r, TempFile&) { r.Loader({"SE\r\n"}); })},
    {"stream_answer_unreadable", Stream(Records(0), [](Rig& r, TempFile&) { r.AfterWrite([&r](auto&, uint32_t) { r.port.fail_reads = true; }); })},
    {"stream_answer_overlong", Stream(Records(0), [](Rig& r, TempFile&) { r.AfterWrite([&r](auto&, uint32_t) { r.port.over_report_reads = true; }); })},
    {"stream_not_beginning_with_a_record", Stream("\r\n" + Records(0))},
    {"stream_lf_line_ends", Stream("S00600004844521B\nS70500000000FA\n")},
    {"worker_whole_upgrade", Worker()},
    {"worker_guard_exits", [](Rig& r) {  // the dialog opens both files under their bare names in the device root
       TempFile& root = r.File(std::string(20, '\x7F'), kLoaderFileName);
       const fs::path firmware = root.folder() / kFirmwareFileName, moved = root.folder() / "moved.bin";
       std::ofstream(firmware, std::ios::binary) << kFirmware;
       const auto attempt = [&](const char* missing) {
         r.Note(missing);
         r.state.finished = false;
         OpenPayloadFiles(r.state, root.folder());
         r.Note("worker", UpgradeWorker(r.state, r.telemetry));
         r.transcript.Add(r.EndState());
       };
       fs::rename(root.path(), moved);
       attempt("no loader image");
       fs::rename(moved, root.path());
       fs::remove(firmware);
       attempt("no firmware file");
       std::ofstream(firmware, std::ios::binary) << kFirmware;
       ReadOnlyFile holder;  // another program holds the firmware file
       holder.Open(firmware.string());
       attempt("firmware file held elsewhere");
       holder.Close();
       r.port.open_error = EBUSY;
       attempt("port held");
     }},
    {"worker_frames_and_speeds_fail", Worker([](Rig& r, FakeReceiver&, TempFile&) { r.port.fail_writes = r.port.refuse_state = true; })},
    {"worker_speed_refused_at_38400", WorkerStruck([sentences = 0](Rig& r, const Bytes& b, uint32_t) mutable {
       if (Is(b, frames::kSwitchToBinary) && ++sentences == 2) r.port.refuse_state = true;
       if (Is(b, frames::kFlashUpdate)) r.port.refuse_state = false;
     })},
    {"worker_speed_refused_at_115200", WorkerStruck([](Rig& r, const Bytes& b, uint32_t) {
       if (Is(b, frames::kLoaderSpeed)) r.port.refuse_state = true;
       if (IsHeader(b)) r.port.refuse_state = false;
     })},
    {"worker_frame_written_short", WorkerStruck([](Rig& r, const Bytes& b, uint32_t) {
       if (Is(b, frames::kFlashUpdate)) r.port.write_limit = 9;
       if (b.size() == 9) r.port.write_limit.reset();
     })},
    {"worker_loader_image_ends_early", Worker([](Rig& r, FakeReceiver&, TempFile& f) { ImageFailsAfterTheHeader(r, f, true); })},
    {"worker_loader_image_unreadable", Worker([](Rig& r, FakeReceiver&, TempFile& f) { ImageFailsAfterTheHeader(r, f, false); })},
    {"worker_records_rejected", Worker([](Rig&, FakeReceiver& rx, TempFile&) { rx.reject_records = true; })},
    {"worker_new_firmware_at_38400", Worker([](Rig&, FakeReceiver& rx, TempFile&) { rx.new_firmware_speed = 38400; })},
    {"worker_receiver_stays_silent", Worker([](Rig&, FakeReceiver& rx, TempFile&) { rx.new_firmware_speed = 9600; })},
    {"worker_revert_open_fails_at_115200", Worker([](Rig& r, FakeReceiver&, TempFile&) { r.port.fail_open_number = 2; })},
    {"worker_revert_open_fails_at_57600", Worker([](Rig& r, FakeReceiver&, TempFile&) { r.port.fail_open_number = 4; })},
    {"worker_revert_open_fails_at_38400", Worker([](Rig& r, FakeReceiver& rx, TempFile&) {
       rx.new_firmware_speed = 9600;
       r.port.fail_open_number = 6;
     })},
    {"worker_revert_settings_refused",
     WorkerStruck([](Rig& r, const Bytes& b, uint32_t) { r.port.refuse_state |= IsTermination(b); })},
    {"worker_revert_timeouts_refused",
     WorkerStruck([](Rig& r, const Bytes& b, uint32_t) { r.port.refuse_timeouts |= IsTermination(b); })},
    {"worker_rmc_rate_write_fails", Worker([](Rig& r, FakeReceiver&, TempFile&) {
       r.AfterWrite([&r](const Bytes& b, uint32_t baud) { r.port.fail_writes |= baud == 57600 && Is(b, frames::kSwitchToNmea); });
       r.OnStatus("Firmware upgrade finished.", [&r] { r.port.fail_writes = false; });
     })},
    {"worker_reset_cannot_open",
     Worker([](Rig& r, FakeReceiver&, TempFile&) { r.OnStatus("Reset GPS module...", [&r] { CannotOpen(r.port); }); })},
    {"worker_reset_timeouts_refused",
     Worker([](Rig& r, FakeReceiver&, TempFile&) { r.OnStatus("Reset GPS module...", [&r] { TimeoutsRefused(r.port); }); })},
    {"worker_record_key_missing", Worker(nullptr, /*no_key=*/true)},
    {"worker_record_value_refused", Worker([](Rig& r, FakeReceiver&, TempFile&) { r.registry.fail_writes = true; })},
};

class ScenarioTest : public ::testing::TestWithParam<Scenario> {};

TEST_P(ScenarioTest, MatchesItsReviewedTranscript) {
  Rig rig;
  GetParam().run(rig);
  const std::string transcript = rig.transcript.Text() + rig.EndState();
  rig.state.CloseChannelsAndFiles();
  ExpectGolden("transcripts/" + std::string(GetParam().name) + ".txt", transcript);
}

INSTANTIATE_TEST_SUITE_P(Each, ScenarioTest, ::testing::ValuesIn(kScenarios),
                         [](const auto& each) { return std::string(each.param.name); });

}  // namespace
}  // namespace larkspan::testing
