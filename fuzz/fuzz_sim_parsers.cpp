// The receiver simulator's readers on arbitrary bytes, fed in pieces of sizes taken from the
// input: the NMEA sentence reader, the SiRF binary frame reader, the S-record line parser and
// file reader with the flash image, and the whole receiver model (NMEA, binary, the boot
// code and the flash loader) with the host always at the receiver's speed. Checked:
//   - NMEA: every byte is accounted for, as part of a sentence, as junk, or as the open line;
//     a sentence is exactly the bytes from its "$" to its line feed (a final carriage return
//     dropped) and comes out at that line feed iff the line fits the reader's limit; its
//     checksum verdict is right; cutting the input differently changes nothing;
//   - SiRF: the events partition the input in order (junk counts, frames are the very
//     bytes); every frame has the right framing, length and checksum verdict; no byte is
//     junk where a complete well-framed candidate starts;
//   - S-records: a line the parser accepts is rebuilt by the record writer (hex case aside);
//     an image differs from a copy with one byte changed exactly at that byte;
//   - the receiver model keeps a known mode and speed, sends at known speeds, and its log
//     lines never hold a line break.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/hex.h"
#include "receiver/command_frames.h"
#include "tools/receiver_sim/flash_loader.h"
#include "tools/receiver_sim/nmea_parser.h"
#include "tools/receiver_sim/receiver_model.h"
#include "tools/receiver_sim/sim_log.h"
#include "tools/receiver_sim/sirf_frame_parser.h"
#include "tools/receiver_sim/srecord.h"

namespace larkspan::fuzz {
namespace {

using sim::FrameEvent;
using sim::NmeaEvent;
namespace frames = larkspan::frames;

bool SameEvents(const std::vector<NmeaEvent>& a, const std::vector<NmeaEvent>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].kind != b[i].kind || a[i].text != b[i].text || a[i].checksum_ok != b[i].checksum_ok ||
        a[i].junk != b[i].junk) {
      return false;
    }
  }
  return true;
}

bool ModelChecksumOk(std::string_view text) {
  if (text.size() < 4 || text[0] != '$' || text[text.size() - 3] != '*') return false;
  const int hi = HexValue(static_cast<unsigned char>(text[text.size() - 2]));
  const int lo = HexValue(static_cast<unsigned char>(text[text.size() - 1]));
  if (hi < 0 || lo < 0) return false;
  uint8_t sum = 0;
  for (char c : text.substr(1, text.size() - 4)) sum ^= static_cast<uint8_t>(c);
  return sum == hi * 16 + lo;
}

void FuzzNmea(std::string_view input) {
  sim::NmeaParser parser;
  std::vector<NmeaEvent> all;
  size_t junk = 0;
  size_t in_sentences = 0;
  std::optional<size_t> open;  // index of the "$" of the line being read
  for (size_t k = 0; k < input.size(); ++k) {
    const char c = input[k];
    std::vector<NmeaEvent> events;
    parser.Push(static_cast<uint8_t>(c), events);
    for (const NmeaEvent& e : events) {
      if (e.kind == NmeaEvent::Kind::kJunk) {
        FUZZ_CHECK(e.junk > 0);
        FUZZ_CHECK(e.text.empty());
        junk += e.junk;
        continue;
      }
      FUZZ_CHECK(c == '\n' && open.has_value());
      std::string_view line = input.substr(*open, k - *open);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      FUZZ_CHECK(e.text == line);
      FUZZ_CHECK(e.checksum_ok == ModelChecksumOk(e.text));
      FUZZ_CHECK(e.checksum_ok == sim::NmeaParser::ChecksumOk(e.text));
      in_sentences += k - *open + 1;

      // The fields, joined again with commas, are the body.
      const auto fields = sim::NmeaFields(e.text);
      FUZZ_CHECK(!fields.empty());
      std::string joined;
      for (size_t i = 0; i < fields.size(); ++i) joined += (i ? "," : "") + std::string(fields[i]);
      std::string_view body = std::string_view(e.text).substr(1);
      const size_t star = body.rfind('*');
      if (star != std::string_view::npos) body = body.substr(0, star);
      FUZZ_CHECK(joined == body);
    }
    const size_t sentences =
        static_cast<size_t>(std::count_if(events.begin(), events.end(), [](const NmeaEvent& e) {
          return e.kind == NmeaEvent::Kind::kSentence;
        }));
    FUZZ_CHECK(sentences <= 1);
    // A line that fits comes out as a sentence at its line feed.
    if (c == '\n' && open) {
      FUZZ_CHECK((sentences == 1) == (k - *open + 1 <= sim::NmeaParser::kMaxLine));
    }
    all.insert(all.end(), events.begin(), events.end());

    if (c == '$') {
      open = k;
    } else if (c == '\n') {
      open.reset();
    }
    const size_t pending = open ? k - *open + 1 : 0;
    FUZZ_CHECK(junk + in_sentences + pending == k + 1);
  }

  // The same bytes in pieces give the same events.
  sim::NmeaParser pieces_parser;
  std::vector<NmeaEvent> pieces;
  Splitter splitter(input, 300);
  for (std::string_view piece : splitter.Cut(input)) pieces_parser.Push(piece, pieces);
  FUZZ_CHECK(SameEvents(all, pieces));

  // A reset in the middle forgets the open line and nothing else.
  sim::NmeaParser reset_parser;
  std::vector<NmeaEvent> after_reset;
  reset_parser.Push(input.substr(0, input.size() / 2), after_reset);
  reset_parser.Reset();
  after_reset.clear();
  reset_parser.Push(input.substr(input.size() / 2), after_reset);
  for (const NmeaEvent& e : after_reset) {
    if (e.kind == NmeaEvent::Kind::kJunk) FUZZ_CHECK(e.junk > 0);
    if (e.kind == NmeaEvent::Kind::kSentence) FUZZ_CHECK(!e.text.empty() && e.text[0] == '$');
  }
}

// A complete candidate with the right framing starts at `j`.
bool FramedAt(std::span<const uint8_t> in, size_t j) {
  if (j + 4 > in.size() || in[j] != frames::kStart1 || in[j + 1] != frames::kStart2) return false;
  const size_t n = (size_t{in[j + 2]} << 8) | in[j + 3];
  if (n > sim::SirfFrameParser::kMaxPayload) return false;
  const size_t whole = n + frames::kFrameOverhead;
  return j + whole <= in.size() && in[j + whole - 2] == frames::kEnd1 &&
         in[j + whole - 1] == frames::kEnd2;
}

void FuzzSirf(std::span<const uint8_t> input) {
  sim::SirfFrameParser parser;
  std::vector<FrameEvent> events;
  Splitter splitter(std::string_view(reinterpret_cast<const char*>(input.data()), input.size()),
                    1100);
  size_t fed = 0;
  while (fed < input.size()) {
    const size_t n = std::min(splitter.Next(), input.size() - fed);
    parser.Push(input.subspan(fed, n), events);
    fed += n;
  }

  size_t p = 0;
  for (size_t i = 0; i < events.size(); ++i) {
    const FrameEvent& e = events[i];
    if (e.kind == FrameEvent::Kind::kJunk) {
      FUZZ_CHECK(e.junk > 0 && e.frame.empty());
      FUZZ_CHECK(i == 0 || events[i - 1].kind != FrameEvent::Kind::kJunk);  // junk is merged
      FUZZ_CHECK(p + e.junk <= input.size());
      for (size_t j = p; j < p + e.junk; ++j) FUZZ_CHECK(!FramedAt(input, j));
      p += e.junk;
      continue;
    }
    const std::vector<uint8_t>& f = e.frame;
    FUZZ_CHECK(f.size() >= frames::kFrameOverhead);
    FUZZ_CHECK(p + f.size() <= input.size());
    FUZZ_CHECK(std::equal(f.begin(), f.end(), input.begin() + static_cast<std::ptrdiff_t>(p)));
    FUZZ_CHECK(FramedAt(input, p));
    const size_t n = (size_t{f[2]} << 8) | f[3];
    FUZZ_CHECK(f.size() == n + frames::kFrameOverhead);
    const auto payload = e.payload();
    FUZZ_CHECK(payload.size() == n);
    FUZZ_CHECK(e.mid() == (n == 0 ? -1 : f[4]));
    const uint16_t sum = static_cast<uint16_t>((f[4 + n] << 8) | f[5 + n]);
    FUZZ_CHECK(e.checksum_ok == (sum == frames::SirfChecksum(payload)));
    FUZZ_CHECK(e.checksum_ok == frames::SirfPayload(f).has_value());
    p += f.size();
  }
  // What is left waits as the start of a candidate that is not complete yet.
  FUZZ_CHECK(input.size() - p < sim::SirfFrameParser::kMaxPayload + frames::kFrameOverhead);
  if (p < input.size()) FUZZ_CHECK(input[p] == frames::kStart1);
}

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

void FuzzSRecords(std::string_view input) {
  // Each line, line end included, as the simulated loader takes it.
  size_t begin = 0;
  while (begin < input.size()) {
    const size_t lf = input.find('\n', begin);
    const size_t end = lf == std::string_view::npos ? input.size() : lf + 1;
    const std::string_view line = input.substr(begin, end - begin);
    begin = end;
    sim::SRecord record;
    const sim::RecordFault fault = sim::ParseRecord(line, record);
    FUZZ_CHECK(!sim::FaultName(fault).empty() && sim::FaultName(fault) != "?");
    FUZZ_CHECK(record.type >= -1 && record.type <= 9);
    if (fault != sim::RecordFault::kNone) continue;
    FUZZ_CHECK(SRecordAddressBytes(record.type) > 0);
    FUZZ_CHECK(FormatSRecord(record.type, record.address, record.data) == Upper(line));
  }

  sim::FlashImage image;
  std::string error;
  const bool loaded = sim::LoadSRecords(input, "fuzz", image, &error);
  FUZZ_CHECK(loaded == error.empty());
  FUZZ_CHECK(!image.FirstDifference(image).has_value());
  FUZZ_CHECK(image == image);

  // One byte written over a copy: the images differ exactly there, or not at all.
  uint32_t address = 0;
  for (size_t i = 0; i < 4 && i < input.size(); ++i) {
    address = address << 8 | static_cast<uint8_t>(input[input.size() - 1 - i]);
  }
  const uint8_t value = input.empty() ? 0 : static_cast<uint8_t>(input[0]);
  sim::FlashImage changed = image;
  const uint8_t bytes[] = {value};
  changed.Write(address, bytes);
  FUZZ_CHECK(changed.At(address) == value);
  const bool same = image.At(address) == value;
  FUZZ_CHECK(changed.size() == image.size() + (image.At(address).has_value() ? 0 : 1));
  FUZZ_CHECK((changed == image) == same);
  FUZZ_CHECK(image.FirstDifference(changed) ==
             (same ? std::nullopt : std::optional<uint32_t>(address)));
  FUZZ_CHECK(changed.FirstDifference(image) == image.FirstDifference(changed));
}

bool KnownSpeed(int speed) { return sim::ReceiverModel::ValidSpeed(speed); }

void FuzzReceiver(std::string_view input) {
  if (input.empty()) return;
  const unsigned scenario = static_cast<unsigned char>(input[0]) % 4;
  const std::string_view rest = input.substr(1);

  sim::SimLog log;
  log.KeepInMemory();
  sim::ReceiverOptions options;
  if (scenario != 0) {
    options.start_mode = sim::Mode::kBinary;
    options.start_speed = 38400;
  }
  options.version_form =
      (static_cast<unsigned char>(input[0]) & 0x10) ? sim::VersionForm::kM : sim::VersionForm::kV;
  sim::ReceiverModel model(options, log);
  if (scenario >= 2) {
    model.SetFlashUpdateHook(
        std::make_unique<sim::FlashLoader>(sim::LoaderOptions{}, std::nullopt));
  }
  if (scenario == 3) {
    // The boot frames at 38400, then an empty flash loader upload at 115200: the rest of the
    // input goes to the loader's S-record reader.
    model.Receive(frames::kFlashUpdate, 38400);
    model.Receive(frames::kLoaderSpeed, 38400);
    FUZZ_CHECK(model.mode() == sim::Mode::kLoader && model.speed() == 115200);
    const uint8_t upload[] = {0x53, 0x00, 0, 0, 0, 0, 0, 0, 0, 0};
    model.Receive(upload, 115200);
  }

  std::time_t utc = 1700049600;
  Splitter splitter(rest, 80);
  size_t piece_number = 0;
  for (std::string_view piece : splitter.Cut(rest)) {
    model.Receive(AsBytes(piece), model.speed());
    if (++piece_number % 3 == 0) model.Tick(++utc);
    FUZZ_CHECK(KnownSpeed(model.speed()));
    const sim::Mode mode = model.mode();
    FUZZ_CHECK(mode == sim::Mode::kNmea || mode == sim::Mode::kBinary ||
               mode == sim::Mode::kFlashUpdate || mode == sim::Mode::kLoader);
    FUZZ_CHECK(sim::ModeName(mode) != "?");
    for (const sim::Transmission& t : model.TakeOutput()) {
      FUZZ_CHECK(KnownSpeed(t.speed));
      FUZZ_CHECK(!t.bytes.empty());
    }
  }
  for (const std::string& line : log.lines()) {
    FUZZ_CHECK(line.find('\n') == std::string::npos && line.find('\r') == std::string::npos);
  }
}

}  // namespace
}  // namespace larkspan::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace larkspan::fuzz;
  const std::string_view input = AsText(data, size);
  FuzzNmea(input);
  FuzzSirf(AsBytes(input));
  FuzzSRecords(input);
  FuzzReceiver(input);
  return 0;
}
