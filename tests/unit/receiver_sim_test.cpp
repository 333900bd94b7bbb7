// receiver-sim's own judgements, without a pty: which sentences, frames and S-records it
// takes as well-formed, what becomes of bytes sent at a speed other than its own, whether
// the flashed bytes equal the firmware file's, and its loader faults. The end-to-end tests
// rely on all of these and only ever feed them what the updater sends when it is right.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <initializer_list>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "receiver/command_frames.h"
#include "tests/unit/temp_file.h"
#include "tools/receiver_sim/flash_loader.h"
#include "tools/receiver_sim/line_model.h"
#include "tools/receiver_sim/nmea_parser.h"
#include "tools/receiver_sim/paced_line.h"
#include "tools/receiver_sim/receiver_model.h"
#include "tools/receiver_sim/sim_log.h"
#include "tools/receiver_sim/sirf_frame_parser.h"
#include "tools/receiver_sim/srecord.h"

namespace larkspan::sim {
namespace {

namespace f = larkspan::frames;
using Bytes = std::vector<uint8_t>;

Bytes Cat(std::initializer_list<std::span<const uint8_t>> parts) {
  Bytes out;
  for (auto p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
Bytes Text(std::string_view text) { return Cat({f::Bytes(text)}); }

// Options with a few fields set.
template <typename Options, typename Set>
Options With(Set set) {
  Options o;
  set(o);
  return o;
}

Bytes Pattern(size_t n, uint8_t seed) {
  Bytes out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(seed + i * 7);
  return out;
}

// ---- The NMEA and SiRF frame readers

std::string Describe(const NmeaEvent& e) { return (e.checksum_ok ? "ok " : "bad ") + e.text; }
std::string Describe(const FrameEvent& e) {
  return (e.mid() < 0 ? std::string("none") : Format("0x%02x", static_cast<unsigned>(e.mid()))) +
         (e.checksum_ok ? " ok" : " bad");
}

// A stream, and what the reader must make of it: each sentence ("ok TEXT", "bad TEXT") or
// frame ("0xMID ok", "0xMID bad") in order, and how many bytes it reports as junk.
struct ParseCase {
  const char* what;
  Bytes stream;
  std::vector<std::string> items;
  size_t junk;
};

// Feeds each stream one byte at a time, as the receiver does, to a reader of its own.
template <typename Parser, typename Event>
void ExpectParses(const std::vector<ParseCase>& cases) {
  for (const ParseCase& c : cases) {
    Parser parser;
    std::vector<Event> events;
    for (uint8_t b : c.stream) parser.Push(b, events);
    std::vector<std::string> items;
    size_t junk = 0;
    for (const Event& e : events) {
      junk += e.junk;  // 0 on a sentence or frame
      if (e.kind != Event::Kind::kJunk) items.push_back(Describe(e));
    }
    EXPECT_EQ(items, c.items) << c.what;
    EXPECT_EQ(junk, c.junk) << c.what;
  }
}

TEST(SimNmeaParser, GivesEachSentenceItsChecksumVerdictAndCountsJunk) {
  const std::string longest = "$" + std::string(NmeaParser::kMaxLine - 2, 'A');  // + LF
  const std::string overlong = "$PSRF100," + std::string(400, '9') + "*00\r\n";
  ExpectParses<NmeaParser, NmeaEvent>({
      {"bare line feed", Text("$PSRF103,4,0,1,1*21\n"), {"ok $PSRF103,4,0,1,1*21"}, 0},
      {"lower-case digits", Text("$PSRF100,0,38400,8,1,0*3c\r\n"), {"ok $PSRF100,0,38400,8,1,0*3c"}, 0},
      {"off by one", Text("$PSRF100,0,38400,8,1,0*3D\r\n"), {"bad $PSRF100,0,38400,8,1,0*3D"}, 0},
      {"no checksum", Text("$PSRF100,0,38400,8,1,0\r\n"), {"bad $PSRF100,0,38400,8,1,0"}, 0},
      {"not hex", Text("$PSRF100,0,38400,8,1,0*3G\r\n"), {"bad $PSRF100,0,38400,8,1,0*3G"}, 0},
      {"byte after digits", Text("$PSRF100,0,38400,8,1,0*3C \r\n"), {"bad $PSRF100,0,38400,8,1,0*3C "}, 0},
      // Noise before, between and after; a '$' restarts the line, so "$GPG" is junk too.
      {"junk", Text("xy\r\n$PSRF103,4,0,1,1*21\r\nzz$GPG$PSRF103,4,0,1,1*21\r\nq"),
       {"ok $PSRF103,4,0,1,1*21", "ok $PSRF103,4,0,1,1*21"}, 4 + 2 + 4 + 1},
      {"longest line", Text(longest + "\n"), {"bad " + longest}, 0},
      {"one byte longer", Text(longest + "A\n"), {}, NmeaParser::kMaxLine + 1},
      {"overlong to its line feed", Text(overlong + std::string(f::kSwitchToBinary)),
       {"ok $PSRF100,0,38400,8,1,0*3C"}, overlong.size()},
      {"overlong to the next '$'", Text("$" + std::string(300, 'x') + std::string(f::kRmcRate)),
       {"ok $PSRF103,4,0,1,1*21"}, 301},
  });
}

TEST(SimFrameParser, GivesEachFrameItsChecksumVerdictAndResynchronisesAfterFalseStarts) {
  const auto damaged = [](size_t at) {
    Bytes frame(f::kSwitchToNmea.begin(), f::kSwitchToNmea.end());
    frame[at] ^= 0x01;
    return frame;
  };
  ExpectParses<SirfFrameParser, FrameEvent>({
      // A payload byte, the checksum's high byte, its low byte.
      {"bad checksum", Cat({damaged(10), damaged(28), damaged(29), f::kFlashUpdate, f::kLoaderSpeed}),
       {"0x81 bad", "0x81 bad", "0x81 bad", "0x94 ok", "0x53 ok"}, 0},
      // A0 not followed by A2, then A0 A0 A2: the second A0 starts the frame.
      {"false starts", Cat({Bytes{'$', 'G', 0xA0, 0x00, 0xA0}, f::kLoaderSpeed, f::Bytes("\r\n")}),
       {"0x53 ok"}, 5 + 2},
      // Claims 10 bytes of payload; the frame inside is found only if the search resumes
      // right after the false A0.
      {"wrong end", Cat({Bytes{0xA0, 0xA2, 0x00, 0x0A}, f::kFlashUpdate, Bytes(8, 0x11)}),
       {"0x94 ok"}, 4 + 8},
      {"length over 1023", Cat({Bytes{0xA0, 0xA2, 0x04, 0x00}, f::kFlashUpdate}), {"0x94 ok"}, 4},
      // Its sum exceeds 15 bits: only the low 15 count.
      {"largest payload", ReceiverModel::Frame(Bytes(SirfFrameParser::kMaxPayload, 0x7F)),
       {"0x7f ok"}, 0},
      {"empty payload", Bytes{0xA0, 0xA2, 0x00, 0x00, 0x00, 0x00, 0xB0, 0xB3}, {"none ok"}, 0},
  });
}

// ---- The line between two speeds

TEST(SimLineModel, BytesSentAtAnotherSpeedArriveAsHighBitGarbage) {
  LineModel line;
  const Bytes sent(5000, '$');
  EXPECT_EQ(line.Transmit(sent, 4800, 4800), sent);
  for (int host : {38400, 0}) {  // 0: the host's speed is unknown
    const Bytes out = line.Transmit(sent, host, 4800);
    ASSERT_EQ(out.size(), sent.size());
    // Never a '$' nor a line feed, so garbage never makes or ends a sentence; nor one fill.
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t b) { return b >= 0x80; }));
    EXPECT_GT(std::set<uint8_t>(out.begin(), out.end()).size(), 64u);
  }
}

// ---- The receiver model

class SimReceiverModel : public ::testing::Test {
 protected:
  static constexpr std::time_t kNoon = 1700049600;  // 2023-11-15 12:00:00 UTC

  // A new receiver with a log of its own.
  void Start(const ReceiverOptions& options = {}) {
    model_.reset();
    log_ = std::make_unique<SimLog>();
    log_->KeepInMemory();
    model_ = std::make_unique<ReceiverModel>(options, *log_);
  }
  void Host(std::span<const uint8_t> bytes, int host_speed) { model_->Receive(bytes, host_speed); }
  void Host(std::string_view text, int host_speed) { Host(f::Bytes(text), host_speed); }
  // Everything sent since the last call; all of it must have gone out at `speed`.
  std::string Sent(int speed) {
    std::string out;
    for (const Transmission& t : model_->TakeOutput()) {
      EXPECT_EQ(t.speed, speed);
      out.append(t.bytes.begin(), t.bytes.end());
    }
    return out;
  }
  bool Logged(std::string_view prefix) const {
    return std::any_of(log_->lines().begin(), log_->lines().end(),
                       [&](const std::string& l) { return l.starts_with(prefix); });
  }
  std::string LogText() const { return ::testing::PrintToString(log_->lines()); }

  std::unique_ptr<SimLog> log_;
  std::unique_ptr<ReceiverModel> model_;
};

TEST_F(SimReceiverModel, CommandsItMustNotObeyLeaveModeAndSpeedAlone) {
  Bytes odd_speed(f::kSwitchToNmea.begin() + 4, f::kSwitchToNmea.end() - 4);
  odd_speed[22] = 0x00;  // 192 baud
  Bytes bad_sum(f::kSwitchToNmea.begin(), f::kSwitchToNmea.end());
  bad_sum[29] ^= 0x40;
  struct Case {
    Mode mode;
    int speed;
    Bytes bytes;
  };
  for (const Case& c : {
           Case{Mode::kNmea, 4800, Text("$PSRF100,0,38400,8,1,0*3D\r\n")},
           Case{Mode::kNmea, 4800, Text("$PSRF100,0,38400,8,1,0\r\n")},
           Case{Mode::kNmea, 4800, Text(ReceiverModel::Sentence("PSRF100,0,12345,8,1,0"))},
           Case{Mode::kNmea, 4800, Text(ReceiverModel::Sentence("PSRF100,2,38400,8,1,0"))},
           Case{Mode::kNmea, 4800, Text(ReceiverModel::Sentence("PSRF100,0,38400,7,1,0"))},
           Case{Mode::kNmea, 4800, Text(ReceiverModel::Sentence("PSRF100,0,38400"))},
           Case{Mode::kNmea, 4800, Cat({f::kSwitchToNmea, f::kFlashUpdate})},
           Case{Mode::kBinary, 38400, bad_sum},
           Case{Mode::kBinary, 38400, ReceiverModel::Frame(odd_speed)},
           Case{Mode::kBinary, 38400, Text(ReceiverModel::Sentence("PSRF100,1,4800,8,1,0"))},
       }) {
    Start(With<ReceiverOptions>([&](auto& o) { o.start_mode = c.mode; o.start_speed = c.speed; }));
    Host(c.bytes, c.speed);
    EXPECT_EQ(model_->mode(), c.mode) << LogText();
    EXPECT_EQ(model_->speed(), c.speed) << LogText();
  }
}

TEST_F(SimReceiverModel, BytesAtAnotherSpeedThanTheReceiversAreNeverParsed) {
  Start();
  Host(f::kSwitchToBinary, 38400);
  EXPECT_EQ(model_->mode(), Mode::kNmea);
  EXPECT_TRUE(Logged("rx-garbled host=38400 sim=4800 bytes=27")) << LogText();

  // A garbled byte cuts a half-read sentence.
  const std::string_view head = f::kSwitchToBinary.substr(0, 10);
  const std::string_view tail = f::kSwitchToBinary.substr(10);
  Host(head, 4800);
  Host("x", 9600);
  Host(tail, 4800);
  EXPECT_EQ(model_->mode(), Mode::kNmea) << LogText();
  // Without the garbled byte between them, the two halves make the sentence.
  Host(head, 4800);
  Host(tail, 4800);
  EXPECT_EQ(model_->mode(), Mode::kBinary) << LogText();

  // Each byte is judged at the speed the receiver has when it arrives: of two switch
  // sentences in one read, the second is garbage to a receiver already at 38400.
  Start();
  Host(std::string(f::kSwitchToBinary) + std::string(f::kSwitchToBinary), 4800);
  EXPECT_EQ(model_->speed(), 38400);
  EXPECT_TRUE(Logged("rx-garbled host=4800 sim=38400 bytes=27")) << LogText();
}

// The updater takes a line for a version line when it starts "$M" or has 'V' at index 9.
TEST_F(SimReceiverModel, OrdinarySentencesNeverPassForVersionLines) {
  Start(With<ReceiverOptions>([](auto& o) { o.send_version = false; }));
  // Every time of day an hour apart, and seconds that put each digit at every place.
  for (std::time_t t = kNoon; t < kNoon + 86400; t += 3599) {
    model_->Tick(t);
    const std::string out = Sent(4800);
    ASSERT_NE(out, "");
    for (size_t begin = 0, lf; (lf = out.find('\n', begin)) != std::string::npos; begin = lf + 1) {
      const std::string_view line = std::string_view(out).substr(begin, lf - begin);
      EXPECT_FALSE(line.starts_with("$M") || (line.size() > 9 && line[9] == 'V')) << line;
    }
  }
}

// ---- S-records and the flash image

constexpr std::string_view kRecord = "S1061000010203E3\r\n";

// Records shaped like the release's: a header, data records of type 3 with 16 bytes at
// ascending addresses (the last one shorter), termination of type 7.
std::vector<std::string> Firmware(size_t full_records) {
  std::vector<std::string> records = {"S00600004844521B\r\n"};
  for (size_t i = 0; i < full_records; ++i) {
    records.push_back(MakeRecord(3, static_cast<uint32_t>(i * 16), Pattern(16, static_cast<uint8_t>(0x30 + i))));
  }
  records.push_back(MakeRecord(3, static_cast<uint32_t>(full_records * 16), Pattern(12, 0x30)));
  records.push_back(MakeRecord(7, 0, {}));
  return records;
}

// The checksum covers the count, the address and the data.
TEST(SimSRecord, AnyChangedDigitAfterTheCountIsCaught) {
  const std::string good = MakeRecord(3, 0x00012340, Pattern(16, 9));
  SRecord r;
  ASSERT_EQ(ParseRecord(good, r), RecordFault::kNone);
  for (size_t i = 4; i + 2 < good.size(); ++i) {
    for (char d : std::string_view("0123456789ABCDEF")) {
      if (d == good[i]) continue;
      std::string bad = good;
      bad[i] = d;
      EXPECT_EQ(ParseRecord(bad, r), RecordFault::kBadChecksum) << bad;
    }
  }
}

TEST(SimSRecord, FlashImagesDifferAtTheFirstByteNotTheSame) {
  FlashImage a;
  a.Write(0xFE, Bytes{1, 2, 3, 4});  // across a page boundary
  a.Write(0xFF, Bytes{9});           // the last write counts
  FlashImage b;
  b.Write(0xFE, Bytes{1, 9, 3, 4});
  EXPECT_FALSE(a.FirstDifference(b).has_value());
  // Another value; a byte written on one side only, even a 0 (what unwritten bytes hold),
  // in a page both have or in a page of its own.
  const std::pair<uint32_t, uint8_t> changes[] = {{0x101, 5}, {0x102, 0}, {0x50, 0}, {0x1000, 0}};
  for (const auto& [address, value] : changes) {
    FlashImage changed = a;
    changed.Write(address, Bytes{value});
    EXPECT_EQ(changed.FirstDifference(a), address);
    EXPECT_EQ(a.FirstDifference(changed), address);
  }
}

// ---- The flash loader, driven as the updater drives it

class SimFlashLoader : public SimReceiverModel {
 protected:
  static constexpr int kLoader = 115200;

  // The boot code's part of the upload: header with the announced size, image, trailer.
  static Bytes Upload(uint32_t announced, size_t image_size) {
    return Cat({Bytes{0x53, 0x00, static_cast<uint8_t>(announced >> 24), static_cast<uint8_t>(announced >> 16),
                      static_cast<uint8_t>(announced >> 8), static_cast<uint8_t>(announced)},
                Pattern(image_size, 0x0A), Bytes(4, 0)});
  }
  // The receiver as the two switch-to-binary sentences leave it, with the flash side
  // installed, taken through the flash-update and loader-speed frames into loader mode; then
  // the loader upload, a good one unless said otherwise.
  void StartLoader(LoaderOptions options = {}, std::optional<FlashImage> expected = std::nullopt,
                   const Bytes& upload = Upload(40, 40)) {
    Start(With<ReceiverOptions>([](auto& o) { o.start_mode = Mode::kBinary; o.start_speed = 38400; }));
    auto loader = std::make_unique<FlashLoader>(std::move(options), std::move(expected));
    loader_ = loader.get();
    model_->SetFlashUpdateHook(std::move(loader));
    Host(f::kFlashUpdate, 38400);
    Host(f::kLoaderSpeed, 38400);
    ASSERT_EQ(model_->mode(), Mode::kLoader) << LogText();
    Host(upload, kLoader);
  }
  // Sends one record (or any bytes) and returns the answer.
  std::string Record(std::string_view record) {
    Host(record, kLoader);
    return Sent(kLoader);
  }
  // Sends the records as the stream does; each must be accepted, the termination unanswered.
  void Stream(const std::vector<std::string>& records) {
    for (const std::string& r : records) EXPECT_EQ(Record(r), r[1] == '7' ? "" : "S5\r\n") << r;
  }

  FlashLoader* loader_ = nullptr;
};

TEST_F(SimFlashLoader, EveryRecordTypeIsAcceptedAndFlashedAtItsAddress) {
  struct Case {
    std::string_view line;
    std::string_view answer;  // none to a termination record, which starts the new firmware
    uint32_t address;         // where a data record's bytes go
    Bytes data;
  };
  for (const Case& c : {Case{"S00600004844521B\r\n", "S5\r\n", 0, {}}, Case{kRecord, "S5\r\n", 0x1000, {1, 2, 3}},
                        Case{"S206ABCDEFDEAD07\r\n", "S5\r\n", 0xABCDEF, {0xDE, 0xAD}},
                        Case{"S30789ABCDEFDEAD7D\r\n", "S5\r\n", 0x89ABCDEF, {0xDE, 0xAD}},
                        Case{"S30789abcdefdead7d\r\n", "S5\r\n", 0x89ABCDEF, {0xDE, 0xAD}},
                        Case{"S5030003F9\r\n", "S5\r\n", 0, {}}, Case{"S604000003F8\r\n", "S5\r\n", 0, {}},
                        Case{"S70500000000FA\r\n", "", 0, {}}, Case{"S804001000EB\r\n", "", 0, {}},
                        Case{"S9031000EC\r\n", "", 0, {}}}) {
    StartLoader();
    EXPECT_EQ(Record(c.line), c.answer) << c.line << LogText();
    EXPECT_EQ(model_->mode(), c.answer.empty() ? Mode::kBinary : Mode::kLoader) << c.line;
    EXPECT_EQ(loader_->image().size(), c.data.size()) << c.line;
    for (size_t i = 0; i < c.data.size(); ++i) EXPECT_EQ(loader_->image().At(c.address + i), c.data[i]) << c.line;
  }
}

TEST_F(SimFlashLoader, EachFaultyRecordIsNamedAnsweredSEAndNotFlashed) {
  struct Case {
    std::string_view line;  // kRecord with one fault
    RecordFault fault;
  };
  using enum RecordFault;
  StartLoader();
  for (const Case& c : {Case{"S1061000010203E3\n", kBadLineEnd}, Case{"S1061000010203E3\r", kBadLineEnd},
                        Case{"S1061000010203E3\n\r", kBadLineEnd}, Case{"\r\n", kNoMark},
                        Case{"s1061000010203E3\r\n", kNoMark}, Case{"$GPGGA,0*00\r\n", kNoMark},
                        Case{"S4061000010203E3\r\n", kUnknownType}, Case{"SX061000010203E3\r\n", kUnknownType},
                        Case{"S1G61000010203E3\r\n", kBadCount}, Case{"S10\r\n", kBadCount},
                        Case{"S1071000010203E3\r\n", kBadLength}, Case{"S1061000010203E3 \r\n", kBadLength},
                        Case{"S1061000010Z03E3\r\n", kBadHex}, Case{"S1021000\r\n", kShortCount},
                        Case{"S30410000000\r\n", kShortCount}, Case{"S1061000010203E4\r\n", kBadChecksum}}) {
    SRecord r;
    EXPECT_EQ(FaultName(ParseRecord(c.line, r)), FaultName(c.fault)) << Printable(c.line);
    // Only what ends in a line feed is a line to the loader.
    if (c.line.ends_with('\n')) {
      EXPECT_EQ(Record(c.line), "SE\r\n") << Printable(c.line);
    }
  }
  EXPECT_TRUE(loader_->image().empty());
  EXPECT_EQ(Record(kRecord), "S5\r\n") << "the loader goes on";
}

TEST_F(SimFlashLoader, ARecordSplitAnywhereOrSharingAReadIsAnsweredAlike) {
  const std::string record = MakeRecord(3, 0x0004AC10, Pattern(16, 7));
  for (size_t cut = 1; cut < record.size(); ++cut) {
    StartLoader();
    EXPECT_EQ(Record(record.substr(0, cut)), "") << cut;
    EXPECT_EQ(Record(record.substr(cut)), "S5\r\n") << cut;
    EXPECT_EQ(loader_->image().At(0x0004AC1F), Pattern(16, 7)[15]) << cut;
  }
  StartLoader();
  std::string bad = record;
  bad[5] = 'G';
  EXPECT_EQ(Record(record + bad + record), "S5\r\nSE\r\nS5\r\n");
}

TEST_F(SimFlashLoader, TheLoaderRunsOnlyAfterAnUploadOfTheAnnouncedSize) {
  // The first record in the same read as the upload.
  StartLoader({}, std::nullopt, Cat({Upload(3, 3), Text(kRecord)}));
  EXPECT_EQ(Sent(kLoader), "S5\r\n") << LogText();
  // An image longer than announced runs into the trailer: the loader never starts.
  StartLoader({}, std::nullopt, Upload(2, 3));
  EXPECT_TRUE(Logged("ignored loader-trailer: not 00000000")) << LogText();
  EXPECT_EQ(Record(kRecord), "");
}

TEST_F(SimFlashLoader, FlashedImageIsComparedWithTheFirmwareFile) {
  const std::vector<std::string> fw = Firmware(5);
  std::string text;
  for (const auto& r : fw) text += r;
  const larkspan::testing::TempFile file(text, "fw.s");
  FlashImage expected;
  std::string error;
  ASSERT_TRUE(LoadSRecordFile(file.path().string(), expected, &error)) << error;

  StartLoader({}, expected);
  Stream(fw);
  EXPECT_TRUE(Logged("flash-end records=8 data-bytes=92 match=yes")) << LogText();

  std::vector<std::string> changed = fw;
  Bytes data = Pattern(16, 0x32);
  data[0] ^= 0xFF;
  changed[3] = MakeRecord(3, 0x20, data);
  StartLoader({}, expected);
  Stream(changed);
  EXPECT_TRUE(Logged("flash-end records=8 data-bytes=92 match=no")) << LogText();
  EXPECT_TRUE(Logged(Format("flash-mismatch address=0x00000020 flashed=%02x expected=%02x", unsigned{data[0]},
                            data[0] ^ 0xFFu)))
      << LogText();

  // --reject-record 3: SE to that record alone, and a gap in the flash.
  StartLoader(With<LoaderOptions>([](auto& o) { o.reject_record = 3; }), expected);
  for (size_t i = 0; i + 1 < fw.size(); ++i) EXPECT_EQ(Record(fw[i]), i == 2 ? "SE\r\n" : "S5\r\n") << i;
  EXPECT_EQ(Record(fw.back()), "");
  EXPECT_TRUE(Logged("flash-end records=8 data-bytes=76 match=no")) << LogText();
  EXPECT_TRUE(Logged("flash-mismatch address=0x00000010 flashed=none expected=31")) << LogText();
}

TEST_F(SimFlashLoader, SilentAfterRecordNAnswersNoMoreAndNeverEnds) {
  const std::vector<std::string> fw = Firmware(3);
  for (uint64_t n : {0u, 2u}) {
    StartLoader(With<LoaderOptions>([&](auto& o) { o.silent_after_record = n; }));
    for (size_t i = 0; i < fw.size(); ++i) EXPECT_EQ(Record(fw[i]), i < n ? "S5\r\n" : "") << n << " " << i;
    EXPECT_EQ(model_->mode(), Mode::kLoader) << "not even the termination record is obeyed";
    EXPECT_FALSE(Logged("flash-end")) << LogText();
  }
}

TEST_F(SimFlashLoader, AnswersCarryThePrefixAndTheAcceptingCharacter) {
  StartLoader(With<LoaderOptions>([](auto& o) {
    o.answer_prefix = "$GPGGA,0*00\r\nLoader: ";
    o.answer_char = 'A';
  }));
  EXPECT_EQ(Record(kRecord), "$GPGGA,0*00\r\nLoader: SA\r\n");
  EXPECT_EQ(Record("S1061000010203E4\r\n"), "$GPGGA,0*00\r\nLoader: SE\r\n");
}

// ---- Pacing: the benchmarks set the paced upgrade's wall time against its line time, so the
// line must never hand a byte over before a UART could have carried it, nor hold it longer.

TEST(SimPacedLine, HandsEachByteOverWhenTheLineHasCarriedItNeverEarlier) {
  using namespace std::chrono_literals;
  EXPECT_EQ(PacedLine::CarryTime(1, 4800), 2083334ns);  // 10 bits, rounded up
  EXPECT_EQ(PacedLine::CarryTime(11520, 115200), 1s);
  const PacedLine::Clock::time_point t0{};
  PacedLine line(PacedLine::Release::kBytes);
  // A chunk handed over while the line is busy queues behind the one before.
  line.Push(f::Bytes("S5\r\n"), 115200, 115200, t0);
  line.Push(f::Bytes("$G"), 4800, 4800, t0);
  std::string got;
  for (auto t = t0; !line.empty(); t += 10us) {
    for (const auto& segment : line.Take(t)) {
      got.append(segment.bytes.begin(), segment.bytes.end());
      const size_t n = got.size();
      const auto carried = n <= 4 ? PacedLine::CarryTime(n, 115200)
                                  : PacedLine::CarryTime(4, 115200) + PacedLine::CarryTime(n - 4, 4800);
      EXPECT_LE(t0 + carried, t) << got;
      EXPECT_GT(t0 + carried + 10us, t) << got;
    }
  }
  EXPECT_EQ(got, "S5\r\n$G");
  // An idle line starts a chunk when it is handed over; whole chunks come out at their end.
  PacedLine whole(PacedLine::Release::kWholeChunks);
  whole.Push(Pattern(48, 1), 115200, 115200, t0 + 10s);
  const auto due = t0 + 10s + PacedLine::CarryTime(48, 115200);
  EXPECT_EQ(whole.NextDue(), due);
  EXPECT_TRUE(whole.Take(due - 1ns).empty());
  ASSERT_EQ(whole.Take(due).size(), 1u);
  EXPECT_TRUE(whole.empty());
}

}  // namespace
}  // namespace larkspan::sim
