// receiver-sim without a pty: its NMEA and SiRF frame readers, the line model, and the
// receiver model's decisions (what it obeys, what it ignores, what it sends). End-to-end
// behaviour on a real pty is covered by the e2e tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "receiver/command_frames.h"
#include "tools/receiver_sim/line_model.h"
#include "tools/receiver_sim/nmea_parser.h"
#include "tools/receiver_sim/receiver_model.h"
#include "tools/receiver_sim/sim_log.h"
#include "tools/receiver_sim/sim_options.h"
#include "tools/receiver_sim/sirf_frame_parser.h"

namespace larkspan::sim {
namespace {

namespace f = larkspan::frames;

using Bytes = std::vector<uint8_t>;

Bytes Cat(std::initializer_list<std::span<const uint8_t>> parts) {
  Bytes out;
  for (auto p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// ---- NMEA reader

struct NmeaResult {
  std::vector<NmeaEvent> sentences;
  size_t junk = 0;
};

NmeaResult Parse(NmeaParser& parser, std::string_view bytes) {
  std::vector<NmeaEvent> events;
  parser.Push(bytes, events);
  NmeaResult r;
  for (auto& e : events) {
    if (e.kind == NmeaEvent::Kind::kJunk) {
      EXPECT_GT(e.junk, 0u) << "a junk event must count something";
      r.junk += e.junk;
    } else {
      r.sentences.push_back(e);
    }
  }
  return r;
}

NmeaResult Parse(std::string_view bytes) {
  NmeaParser parser;
  return Parse(parser, bytes);
}

TEST(SimNmeaParser, CommandSentencesParseWithGoodChecksumAndLineEndStripped) {
  for (std::string_view s : {f::kSwitchToBinary, f::kRmcRate, f::kReset}) {
    const NmeaResult r = Parse(s);
    ASSERT_EQ(r.sentences.size(), 1u) << s;
    EXPECT_TRUE(r.sentences[0].checksum_ok) << s;
    EXPECT_EQ(r.sentences[0].text, s.substr(0, s.size() - 2));
    EXPECT_EQ(r.junk, 0u);
  }
}

TEST(SimNmeaParser, BareLineFeedEndsASentence) {
  const NmeaResult r = Parse("$PSRF103,4,0,1,1*21\n");
  ASSERT_EQ(r.sentences.size(), 1u);
  EXPECT_EQ(r.sentences[0].text, "$PSRF103,4,0,1,1*21");
  EXPECT_TRUE(r.sentences[0].checksum_ok);
}

TEST(SimNmeaParser, LowerCaseChecksumDigitsAreAccepted) {
  const NmeaResult r = Parse("$PSRF100,0,38400,8,1,0*3c\r\n");
  ASSERT_EQ(r.sentences.size(), 1u);
  EXPECT_TRUE(r.sentences[0].checksum_ok);
}

TEST(SimNmeaParser, WrongOrMissingChecksumIsReportedBad) {
  for (std::string_view s : {
           "$PSRF100,0,38400,8,1,0*3D\r\n",  // off by one
           "$PSRF100,0,38400,8,1,1*3C\r\n",  // body changed
           "$PSRF100,0,38400,8,1,0\r\n",     // no '*'
           "$PSRF100,0,38400,8,1,0*3\r\n",   // one digit
           "$PSRF100,0,38400,8,1,0*3G\r\n",  // not hex
           "$PSRF100,0,38400,8,1,0*3C \r\n", // trailing byte after the digits
       }) {
    const NmeaResult r = Parse(s);
    ASSERT_EQ(r.sentences.size(), 1u) << s;
    EXPECT_FALSE(r.sentences[0].checksum_ok) << s;
  }
}

TEST(SimNmeaParser, SentenceSplitAcrossFeedsEqualsWholeFeed) {
  const std::string stream = std::string(f::kSwitchToBinary) + std::string(f::kRmcRate);
  for (size_t cut = 1; cut < stream.size(); ++cut) {
    NmeaParser parser;
    NmeaResult a = Parse(parser, stream.substr(0, cut));
    NmeaResult b = Parse(parser, stream.substr(cut));
    a.sentences.insert(a.sentences.end(), b.sentences.begin(), b.sentences.end());
    ASSERT_EQ(a.sentences.size(), 2u) << "cut at " << cut;
    EXPECT_EQ(a.sentences[0].text, "$PSRF100,0,38400,8,1,0*3C");
    EXPECT_EQ(a.sentences[1].text, "$PSRF103,4,0,1,1*21");
    EXPECT_EQ(a.junk + b.junk, 0u);
  }
}

TEST(SimNmeaParser, BytesOutsideSentencesAreJunk) {
  // Noise before, between and after; the dollar restarts a line, so the unfinished
  // "$GPG" before it is junk too.
  const NmeaResult r = Parse("xy\r\n$PSRF103,4,0,1,1*21\r\nzz$GPG$PSRF103,4,0,1,1*21\r\nq");
  EXPECT_EQ(r.sentences.size(), 2u);
  EXPECT_EQ(r.junk, 4u + 2u + 4u + 1u);
}

TEST(SimNmeaParser, LineOfExactlyMaxLengthIsKeptOneMoreIsDropped) {
  // Line length counts "$" through the line feed.
  const auto line = [](size_t length) {
    return "$" + std::string(length - 2, 'A') + "\n";
  };
  NmeaResult r = Parse(line(NmeaParser::kMaxLine));
  ASSERT_EQ(r.sentences.size(), 1u);
  EXPECT_EQ(r.sentences[0].text.size(), NmeaParser::kMaxLine - 1);

  r = Parse(line(NmeaParser::kMaxLine + 1));
  EXPECT_TRUE(r.sentences.empty());
  EXPECT_EQ(r.junk, NmeaParser::kMaxLine + 1);
}

TEST(SimNmeaParser, OverlongLineIsDroppedWholeAndTheNextSentenceParses) {
  const std::string overlong = "$PSRF100," + std::string(400, '9') + "*00\r\n";
  NmeaResult r = Parse(overlong + std::string(f::kSwitchToBinary));
  ASSERT_EQ(r.sentences.size(), 1u);
  EXPECT_EQ(r.sentences[0].text, "$PSRF100,0,38400,8,1,0*3C");
  EXPECT_EQ(r.junk, overlong.size());

  // A dollar inside the dropped tail starts a fresh line at once.
  r = Parse("$" + std::string(300, 'x') + std::string(f::kRmcRate));
  ASSERT_EQ(r.sentences.size(), 1u);
  EXPECT_EQ(r.sentences[0].text, "$PSRF103,4,0,1,1*21");
}

TEST(SimNmeaParser, ResetForgetsTheUnfinishedLine) {
  NmeaParser parser;
  Parse(parser, "$PSRF100,0,384");
  parser.Reset();
  const NmeaResult r = Parse(parser, "00,8,1,0*3C\r\n");
  EXPECT_TRUE(r.sentences.empty());
}

TEST(SimNmeaParser, FieldsSplitTheBodyOnly) {
  const auto fields = NmeaFields("$PSRF103,4,0,,1*21");
  ASSERT_EQ(fields.size(), 5u);
  EXPECT_EQ(fields[0], "PSRF103");
  EXPECT_EQ(fields[3], "");
  EXPECT_EQ(fields[4], "1");
}

// ---- SiRF frame reader

struct FrameResult {
  std::vector<FrameEvent> frames;
  size_t junk = 0;
};

FrameResult ParseFrames(SirfFrameParser& parser, std::span<const uint8_t> bytes) {
  std::vector<FrameEvent> events;
  parser.Push(bytes, events);
  FrameResult r;
  for (auto& e : events) {
    if (e.kind == FrameEvent::Kind::kJunk) {
      EXPECT_GT(e.junk, 0u);
      r.junk += e.junk;
    } else {
      r.frames.push_back(e);
    }
  }
  return r;
}

FrameResult ParseFrames(std::span<const uint8_t> bytes) {
  SirfFrameParser parser;
  return ParseFrames(parser, bytes);
}

TEST(SimFrameParser, SwitchToNmeaFrameParsesWithItsFields) {
  const FrameResult r = ParseFrames(f::kSwitchToNmea);
  ASSERT_EQ(r.frames.size(), 1u);
  const FrameEvent& e = r.frames[0];
  EXPECT_TRUE(e.checksum_ok);
  EXPECT_EQ(e.mid(), 0x81);
  EXPECT_EQ(e.frame.size(), 32u);
  ASSERT_EQ(e.payload().size(), 24u);
  EXPECT_EQ((e.payload()[22] << 8) | e.payload()[23], 4800);
  EXPECT_EQ(r.junk, 0u);
}

TEST(SimFrameParser, FlashFramesParseBackToBack) {
  const FrameResult r = ParseFrames(Cat({f::kFlashUpdate, f::kLoaderSpeed}));
  ASSERT_EQ(r.frames.size(), 2u);
  EXPECT_EQ(r.frames[0].mid(), 0x94);
  EXPECT_EQ(r.frames[1].mid(), 0x53);
  EXPECT_TRUE(r.frames[0].checksum_ok && r.frames[1].checksum_ok);
}

TEST(SimFrameParser, FrameFedByteByByteYieldsOnlyAtTheLastByte) {
  SirfFrameParser parser;
  for (size_t i = 0; i + 1 < f::kSwitchToNmea.size(); ++i) {
    const FrameResult r = ParseFrames(parser, std::span(&f::kSwitchToNmea[i], 1));
    ASSERT_TRUE(r.frames.empty()) << "early frame at byte " << i;
    ASSERT_EQ(r.junk, 0u) << "byte " << i << " of a good frame taken for junk";
  }
  const FrameResult r = ParseFrames(parser, std::span(&f::kSwitchToNmea.back(), 1));
  ASSERT_EQ(r.frames.size(), 1u);
  EXPECT_EQ(Bytes(r.frames[0].frame.begin(), r.frames[0].frame.end()),
            Bytes(f::kSwitchToNmea.begin(), f::kSwitchToNmea.end()));
}

TEST(SimFrameParser, BadChecksumIsRejectedAndTheNextFrameStillParses) {
  Bytes bad(f::kSwitchToNmea.begin(), f::kSwitchToNmea.end());
  bad[28] ^= 0x01;  // checksum low byte
  const FrameResult r = ParseFrames(Cat({bad, f::kFlashUpdate}));
  ASSERT_EQ(r.frames.size(), 2u);
  EXPECT_FALSE(r.frames[0].checksum_ok);
  EXPECT_EQ(r.frames[0].mid(), 0x81);
  EXPECT_TRUE(r.frames[1].checksum_ok);
  EXPECT_EQ(r.frames[1].mid(), 0x94);
  EXPECT_EQ(r.junk, 0u);
}

TEST(SimFrameParser, FalseStartsInJunkAreSkippedByteByByte) {
  // A0 not followed by A2; A0 A0 A2 (the second A0 starts the frame); NMEA text around it.
  const Bytes junk = {'$', 'G', 0xA0, 0x00, 0xA0};
  const Bytes stream = Cat({junk, f::kLoaderSpeed, f::Bytes("\r\n")});
  const FrameResult r = ParseFrames(stream);
  ASSERT_EQ(r.frames.size(), 1u);
  EXPECT_EQ(r.frames[0].mid(), 0x53);
  EXPECT_EQ(r.junk, junk.size() + 2);
}

TEST(SimFrameParser, CandidateWithWrongEndResyncsAndFindsTheFrameInsideIt) {
  // A0 A2 00 0A claims a 10-byte payload; the real frame starting inside it is only found
  // if the search resumes at the byte after the false A0.
  const Bytes stream = Cat({Bytes{0xA0, 0xA2, 0x00, 0x0A}, f::kFlashUpdate, Bytes(8, 0x11)});
  const FrameResult r = ParseFrames(stream);
  ASSERT_EQ(r.frames.size(), 1u);
  EXPECT_EQ(r.frames[0].mid(), 0x94);
  EXPECT_TRUE(r.frames[0].checksum_ok);
  EXPECT_EQ(r.junk, 4u + 8u);
}

TEST(SimFrameParser, LengthAboveLimitResyncsAtOnce) {
  // 0x0400 = 1024 > 1023: no waiting for 1032 bytes; the good frame right behind is found.
  const FrameResult r = ParseFrames(Cat({Bytes{0xA0, 0xA2, 0x04, 0x00}, f::kFlashUpdate}));
  ASSERT_EQ(r.frames.size(), 1u);
  EXPECT_EQ(r.frames[0].mid(), 0x94);
  EXPECT_EQ(r.junk, 4u);
}

TEST(SimFrameParser, LargestPayloadIsAccepted) {
  const Bytes payload(SirfFrameParser::kMaxPayload, 0x7F);
  const FrameResult r = ParseFrames(ReceiverModel::Frame(payload));
  ASSERT_EQ(r.frames.size(), 1u);
  EXPECT_TRUE(r.frames[0].checksum_ok);  // sum exceeds 15 bits: only the low 15 count
  EXPECT_EQ(r.frames[0].payload().size(), SirfFrameParser::kMaxPayload);
}

TEST(SimFrameParser, EmptyPayloadHasNoMessageId) {
  const FrameResult r = ParseFrames(Bytes{0xA0, 0xA2, 0x00, 0x00, 0x00, 0x00, 0xB0, 0xB3});
  ASSERT_EQ(r.frames.size(), 1u);
  EXPECT_EQ(r.frames[0].mid(), -1);
}

// ---- Line model

TEST(SimLineModel, SameSpeedPassesBytesUnchanged) {
  LineModel line;
  const auto out = line.Transmit(f::Bytes(f::kRmcRate), 4800, 4800);
  EXPECT_EQ(Bytes(out.begin(), out.end()), Bytes(f::kRmcRate.begin(), f::kRmcRate.end()));
}

TEST(SimLineModel, MismatchGivesSameCountOfGarbageThatFormsNoLine) {
  LineModel line;
  const Bytes sent(5000, '$');
  const auto out = line.Transmit(sent, 38400, 4800);
  ASSERT_EQ(out.size(), sent.size());
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t b) { return b >= 0x80; }));
  // Garbage, not a constant fill.
  EXPECT_GT(std::set<uint8_t>(out.begin(), out.end()).size(), 64u);
}

TEST(SimLineModel, GarbageIsReproducibleFromTheSeed) {
  LineModel a(7), b(7), c(8);
  const Bytes sent(64, 'x');
  EXPECT_EQ(a.Transmit(sent, 1, 2), b.Transmit(sent, 1, 2));
  EXPECT_NE(a.Transmit(sent, 1, 2), c.Transmit(sent, 1, 2));
}

TEST(SimLineModel, UnknownHostSpeedNeverAgrees) {
  EXPECT_FALSE(LineModel::Agree(0, 0));
  EXPECT_FALSE(LineModel::Agree(0, 4800));
  EXPECT_TRUE(LineModel::Agree(115200, 115200));
}

// ---- Receiver model

class SimReceiverModel : public testing::Test {
 protected:
  static constexpr std::time_t kNoon = 1700049600;  // 2023-11-15 12:00:00 UTC

  void Start(const ReceiverOptions& options = {}) {
    log_.KeepInMemory();
    model_ = std::make_unique<ReceiverModel>(options, log_);
  }
  void Host(std::span<const uint8_t> bytes, int host_speed) {
    model_->Receive(bytes, host_speed);
  }
  void Host(std::string_view text, int host_speed) { Host(f::Bytes(text), host_speed); }
  // Everything sent from here on; all of it must have gone out at `speed`.
  std::string Sent(int speed) {
    std::string out;
    for (const Transmission& t : model_->TakeOutput()) {
      EXPECT_EQ(t.speed, speed);
      out.append(t.bytes.begin(), t.bytes.end());
    }
    return out;
  }
  bool Logged(std::string_view line) const {
    const auto& l = log_.lines();
    return std::find(l.begin(), l.end(), line) != l.end();
  }
  std::string LogText() const {
    std::string s;
    for (const auto& l : log_.lines()) s += l + "\n";
    return s;
  }

  SimLog log_;
  std::unique_ptr<ReceiverModel> model_;
};

// The updater's version-reader test of one line (without its line feed).
enum class Accepted { kNo, kM, kV };
Accepted VersionReaderVerdict(std::string_view line) {
  if (line.empty() || line[0] != '$') return Accepted::kNo;
  if (line.size() > 1 && line[1] == 'M') return Accepted::kM;
  if (line.size() > 9 && line[9] == 'V') return Accepted::kV;
  return Accepted::kNo;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t begin = 0;
  for (size_t lf; (lf = text.find('\n', begin)) != std::string::npos; begin = lf + 1) {
    lines.push_back(text.substr(begin, lf - begin));
  }
  EXPECT_EQ(begin, text.size()) << "output ends inside a line";
  return lines;
}

TEST_F(SimReceiverModel, SendsValidSentencesEachSecondAndTheVersionLine) {
  Start();
  model_->Tick(kNoon);
  const auto lines = Lines(Sent(4800));
  ASSERT_EQ(lines.size(), 4u);  // GGA, RMC, GSA (first second of five), version
  for (const auto& l : lines) {
    ASSERT_GE(l.size(), 2u);
    EXPECT_EQ(l.back(), '\r') << l;
  }
  EXPECT_EQ(lines[0].rfind("$GPGGA,120000.000,", 0), 0u) << lines[0];
  EXPECT_EQ(lines[1].rfind("$GPRMC,120000.000,A,", 0), 0u) << lines[1];
  EXPECT_EQ(lines[2].rfind("$GPGSA,", 0), 0u) << lines[2];
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(NmeaParser::ChecksumOk(std::string_view(lines[i]).substr(0, lines[i].size() - 1)))
        << lines[i];
  }
  EXPECT_EQ(lines[3], "$PSRFTXT,Version: 2.3.2.03.07-GSW2-2.05.024\r");

  model_->Tick(kNoon + 1);
  EXPECT_EQ(Lines(Sent(4800)).size(), 3u) << "GSA only every fifth second";
}

TEST_F(SimReceiverModel, VersionLineFormsStandWhereTheUpdaterLooks) {
  const std::string v = ReceiverModel::VersionLine(VersionForm::kV, " 2.3.2.03.07");
  EXPECT_EQ(v[9], 'V');
  EXPECT_NE(v[1], 'M');
  EXPECT_EQ(VersionReaderVerdict(v), Accepted::kV);
  // The reader's V text: between the first ':' after index 9 and the next '-'.
  const size_t colon = v.find(':', 10);
  EXPECT_EQ(v.substr(colon + 1, v.find('-', colon) - colon - 1), " 2.3.2.03.07");

  const std::string m = ReceiverModel::VersionLine(VersionForm::kM, "X1");
  EXPECT_EQ(m, "$MVersion:X1\r\n");
  EXPECT_EQ(VersionReaderVerdict(m), Accepted::kM);
}

TEST_F(SimReceiverModel, OrdinarySentencesNeverPassForVersionLines) {
  ReceiverOptions options;
  options.send_version = false;
  Start(options);
  // Every time of day an hour apart, and seconds that put each digit at every place.
  for (std::time_t t = kNoon; t < kNoon + 86400; t += 3599) {
    model_->Tick(t);
    for (const auto& line : Lines(Sent(4800))) {
      EXPECT_EQ(VersionReaderVerdict(line), Accepted::kNo) << line;
    }
  }
}

TEST_F(SimReceiverModel, VersionPeriodAndNoVersion) {
  ReceiverOptions options;
  options.version_period = 3;
  options.version_form = VersionForm::kM;
  Start(options);
  int versions = 0;
  for (int s = 0; s < 9; ++s) {
    model_->Tick(kNoon + s);
    for (const auto& l : Lines(Sent(4800))) versions += VersionReaderVerdict(l) == Accepted::kM;
  }
  EXPECT_EQ(versions, 3);
}

TEST_F(SimReceiverModel, SwitchToBinarySentenceMovesTo38400Binary) {
  Start();
  Host(f::kSwitchToBinary, 4800);
  EXPECT_EQ(model_->mode(), Mode::kBinary);
  EXPECT_EQ(model_->speed(), 38400);
  EXPECT_TRUE(Logged("rx-sentence speed=4800 checksum=ok text=$PSRF100,0,38400,8,1,0*3C"))
      << LogText();
  EXPECT_TRUE(Logged("mode binary speed=38400")) << LogText();

  // Its second copy, still sent at 4800, is garbage to a receiver now at 38400.
  Host(f::kSwitchToBinary, 4800);
  EXPECT_TRUE(Logged("rx-garbled host=4800 sim=38400 bytes=27")) << LogText();

  // Binary output is one well-formed frame a second, at the new speed.
  model_->Tick(kNoon);
  const std::string out = Sent(38400);
  const auto payload = f::SirfPayload(f::Bytes(out));
  ASSERT_TRUE(payload.has_value());
  EXPECT_EQ((*payload)[0], 0x04);
}

TEST_F(SimReceiverModel, BothCopiesInOneReadObeyTheFirstAndGarbleTheRest) {
  Start();
  Host(std::string(f::kSwitchToBinary) + std::string(f::kSwitchToBinary), 4800);
  EXPECT_EQ(model_->speed(), 38400);
  EXPECT_TRUE(Logged("rx-garbled host=4800 sim=38400 bytes=27")) << LogText();
}

TEST_F(SimReceiverModel, SetSerialPortToNmeaChangesOnlyTheSpeed) {
  Start();
  Host("$PSRF100,1,9600,8,1,0*0D\r\n", 4800);
  EXPECT_EQ(model_->mode(), Mode::kNmea);
  EXPECT_EQ(model_->speed(), 9600);
  EXPECT_TRUE(Logged("mode nmea speed=9600")) << LogText();
}

TEST_F(SimReceiverModel, CommandsThatMustBeIgnored) {
  Start();
  const std::string bad_speed = ReceiverModel::Sentence("PSRF100,0,12345,8,1,0");
  const std::string bad_protocol = ReceiverModel::Sentence("PSRF100,2,38400,8,1,0");
  const std::string seven_bits = ReceiverModel::Sentence("PSRF100,0,38400,7,1,0");
  const std::string short_form = ReceiverModel::Sentence("PSRF100,0,38400");
  for (const std::string& s : {std::string("$PSRF100,0,38400,8,1,0*3D\r\n"),
                               std::string("$PSRF100,0,38400,8,1,0\r\n"), bad_speed,
                               bad_protocol, seven_bits, short_form,
                               ReceiverModel::Sentence("GPXYZ,1,2")}) {
    Host(s, 4800);
    EXPECT_EQ(model_->mode(), Mode::kNmea) << s;
    EXPECT_EQ(model_->speed(), 4800) << s;
  }
  EXPECT_TRUE(Logged("rx-sentence speed=4800 checksum=bad text=$PSRF100,0,38400,8,1,0*3D"))
      << LogText();
  EXPECT_TRUE(Logged("rx-sentence speed=4800 checksum=bad text=$PSRF100,0,38400,8,1,0"))
      << LogText();
  // Frames mean nothing in NMEA mode.
  Host(f::kSwitchToNmea, 4800);
  Host(f::kFlashUpdate, 4800);
  EXPECT_EQ(model_->mode(), Mode::kNmea);
}

TEST_F(SimReceiverModel, WrongSpeedInputIsNeverParsed) {
  Start();
  Host(f::kSwitchToBinary, 38400);
  EXPECT_EQ(model_->mode(), Mode::kNmea);
  EXPECT_TRUE(Logged("rx-garbled host=38400 sim=4800 bytes=27")) << LogText();
  // Half a sentence at the right speed, then garbage: the half is lost.
  Host(f::kSwitchToBinary.substr(0, 10), 4800);
  Host("x", 9600);
  Host(f::kSwitchToBinary.substr(10), 4800);
  EXPECT_EQ(model_->mode(), Mode::kNmea);
}

TEST_F(SimReceiverModel, JunkIsCountedPerRead) {
  Start();
  Host("hello\r\n", 4800);
  EXPECT_TRUE(Logged("rx-junk speed=4800 bytes=7")) << LogText();
}

TEST_F(SimReceiverModel, RmcRateSentenceTurnsRmcOffAndOn) {
  Start();
  Host(ReceiverModel::Sentence("PSRF103,4,0,0,1"), 4800);
  EXPECT_EQ(model_->rmc_period(), 0);
  EXPECT_TRUE(Logged("rmc-rate 0")) << LogText();
  model_->Tick(kNoon);
  EXPECT_EQ(Sent(4800).find("$GPRMC"), std::string::npos);

  Host(f::kRmcRate, 4800);
  EXPECT_TRUE(Logged("rmc-rate 1")) << LogText();
  model_->Tick(kNoon + 1);
  EXPECT_NE(Sent(4800).find("$GPRMC"), std::string::npos);
}

TEST_F(SimReceiverModel, RmcQuerySendsOneSentenceWithoutChangingTheRate) {
  Start();
  Host(ReceiverModel::Sentence("PSRF103,4,0,0,1"), 4800);
  Host(ReceiverModel::Sentence("PSRF103,4,1,0,1"), 4800);
  EXPECT_EQ(model_->rmc_period(), 0);
  EXPECT_EQ(Sent(4800).rfind("$GPRMC,", 0), 0u);
}

TEST_F(SimReceiverModel, ResetSentenceRestoresNmea4800AndDefaultRates) {
  Start();
  Host("$PSRF100,1,9600,8,1,0*0D\r\n", 4800);
  Host(ReceiverModel::Sentence("PSRF103,4,0,0,1"), 9600);
  Host(f::kReset, 9600);
  EXPECT_TRUE(Logged("reset")) << LogText();
  EXPECT_EQ(model_->mode(), Mode::kNmea);
  EXPECT_EQ(model_->speed(), 4800);
  EXPECT_EQ(model_->rmc_period(), ReceiverModel::kDefaultRmcPeriod);
  EXPECT_EQ(log_.lines().back(), "mode nmea speed=4800");
}

TEST_F(SimReceiverModel, SwitchToNmeaFrameMovesTo4800NmeaWithItsRates) {
  ReceiverOptions options;
  options.start_mode = Mode::kBinary;
  options.start_speed = 115200;
  Start(options);
  Host(f::kSwitchToNmea, 115200);
  EXPECT_EQ(model_->mode(), Mode::kNmea);
  EXPECT_EQ(model_->speed(), 4800);
  EXPECT_TRUE(Logged("rx-frame speed=115200 len=32 mid=0x81 checksum=ok hex="
                     "a0a200188102010100010501050100010001000100010001000112c0016ab0b3"))
      << LogText();
  EXPECT_TRUE(Logged("mode nmea speed=4800")) << LogText();
  // The frame turns RMC off; that is why the updater sends its RMC-rate sentence after it.
  EXPECT_EQ(model_->rmc_period(), 0);
  EXPECT_EQ(model_->gga_period(), 1);
  EXPECT_EQ(model_->gsa_period(), 5);
  model_->Tick(kNoon);
  const std::string out = Sent(4800);
  EXPECT_NE(out.find("$PSRFTXT,Version:"), std::string::npos);
  EXPECT_EQ(out.find("$GPRMC"), std::string::npos);
}

TEST_F(SimReceiverModel, BadFramesAreLoggedAndIgnored) {
  ReceiverOptions options;
  options.start_mode = Mode::kBinary;
  options.start_speed = 38400;
  Start(options);
  Bytes bad(f::kSwitchToNmea.begin(), f::kSwitchToNmea.end());
  bad[29] ^= 0x40;
  Host(bad, 38400);
  EXPECT_EQ(model_->mode(), Mode::kBinary);
  EXPECT_NE(LogText().find("rx-frame speed=38400 len=32 mid=0x81 checksum=bad hex=a0a20018"),
            std::string::npos)
      << LogText();
  // A switch to an unusable speed is refused.
  Bytes odd_speed(f::kSwitchToNmea.begin(), f::kSwitchToNmea.end());
  odd_speed[26] = 0x00;  // 0x00C0 = 192 baud, with the checksum made right again
  const auto payload = std::span(odd_speed).subspan(4, 24);
  const uint16_t sum = f::SirfChecksum(payload);
  odd_speed[28] = static_cast<uint8_t>(sum >> 8);
  odd_speed[29] = static_cast<uint8_t>(sum);
  Host(odd_speed, 38400);
  EXPECT_EQ(model_->mode(), Mode::kBinary);
  EXPECT_EQ(model_->speed(), 38400);
}

TEST_F(SimReceiverModel, FlashUpdateFrameThenLoaderSpeed) {
  ReceiverOptions options;
  options.start_mode = Mode::kBinary;
  options.start_speed = 38400;
  Start(options);
  Host(f::kFlashUpdate, 38400);
  EXPECT_EQ(model_->mode(), Mode::kFlashUpdate);
  EXPECT_TRUE(Logged("mode flash-update speed=38400")) << LogText();
  Host(f::kLoaderSpeed, 38400);
  EXPECT_TRUE(Logged("loader-speed arg=2")) << LogText();
  // Flash-update mode is quiet.
  model_->Tick(kNoon);
  EXPECT_TRUE(Sent(38400).empty());
}

TEST_F(SimReceiverModel, WholeSwitchSequenceFromNmea) {
  Start();
  Host(f::kSwitchToBinary, 4800);
  Host(f::kFlashUpdate, 38400);
  Host(f::kLoaderSpeed, 38400);
  const std::vector<std::string> expected = {
      "rx-sentence speed=4800 checksum=ok text=$PSRF100,0,38400,8,1,0*3C",
      "mode binary speed=38400",
      "rx-frame speed=38400 len=9 mid=0x94 checksum=ok hex=a0a20001940094b0b3",
      "mode flash-update speed=38400",
      "rx-frame speed=38400 len=10 mid=0x53 checksum=ok hex=a0a2000253020055b0b3",
      "loader-speed arg=2",
  };
  EXPECT_EQ(log_.lines(), expected);
}

TEST_F(SimReceiverModel, SilentSendsNothingButObeys) {
  ReceiverOptions options;
  options.silent = true;
  Start(options);
  model_->Tick(kNoon);
  Host(f::kSwitchToBinary, 4800);
  model_->Tick(kNoon + 1);
  EXPECT_TRUE(model_->TakeOutput().empty());
  EXPECT_EQ(model_->mode(), Mode::kBinary);
}

// A flash side that takes 'S' as its cue to change speed.
class SpeedChangingHook : public FlashUpdateHook {
 public:
  void Enter(ReceiverModel& rx) override { rx.Log("hook enter"); }
  size_t Receive(ReceiverModel& rx, std::span<const uint8_t> bytes) override {
    received.push_back(bytes[0]);
    if (bytes[0] == 'S') rx.SwitchMode(Mode::kLoader, 57600);
    return 1;
  }
  Bytes received;
};

TEST_F(SimReceiverModel, FlashHookTakesLoaderModeBytesAndTheRestIsJudgedAtItsNewSpeed) {
  ReceiverOptions options;
  options.start_mode = Mode::kBinary;
  options.start_speed = 38400;
  Start(options);
  auto hook = std::make_unique<SpeedChangingHook>();
  SpeedChangingHook* seen = hook.get();
  model_->SetFlashUpdateHook(std::move(hook));
  // Flash-update mode still reads frames itself; the loader speed hands over to the hook.
  Host(f::kFlashUpdate, 38400);
  EXPECT_FALSE(Logged("hook enter")) << LogText();
  Host(f::kLoaderSpeed, 38400);
  EXPECT_TRUE(Logged("loader-speed arg=2")) << LogText();
  EXPECT_TRUE(Logged("mode loader speed=115200")) << LogText();
  EXPECT_TRUE(Logged("hook enter")) << LogText();
  EXPECT_TRUE(seen->received.empty());
  Host("abS123", 115200);
  EXPECT_EQ(seen->received, (Bytes{'a', 'b', 'S'}));
  EXPECT_TRUE(Logged("rx-garbled host=115200 sim=57600 bytes=3")) << LogText();
  Host("45", 57600);
  EXPECT_EQ(seen->received, (Bytes{'a', 'b', 'S', '4', '5'}));
}

// ---- Command line

TEST(SimOptions, DefaultsAndEveryOption) {
  SimOptions o;
  std::string error;
  ASSERT_TRUE(ParseOptions({}, o, &error)) << error;
  EXPECT_EQ(o.receiver.start_mode, Mode::kNmea);
  EXPECT_EQ(o.receiver.start_speed, 4800);
  EXPECT_EQ(o.receiver.version_text, " 2.3.2.03.07");
  EXPECT_EQ(o.receiver.version_period, 1);
  EXPECT_EQ(o.lifetime, 0);

  SimOptions p;
  ASSERT_TRUE(ParseOptions({"--binary", "38400", "--silent", "--version=X", "--version-form",
                            "m", "--version-period", "4", "--no-version", "--lifetime", "2.5",
                            "--log", "L", "--path-file", "P", "--link=K", "--seed", "9",
                            "--log-tx"},
                           p, &error))
      << error;
  EXPECT_EQ(p.receiver.start_mode, Mode::kBinary);
  EXPECT_EQ(p.receiver.start_speed, 38400);
  EXPECT_TRUE(p.receiver.silent);
  EXPECT_FALSE(p.receiver.send_version);
  EXPECT_EQ(p.receiver.version_text, "X");
  EXPECT_EQ(p.receiver.version_form, VersionForm::kM);
  EXPECT_EQ(p.receiver.version_period, 4);
  EXPECT_DOUBLE_EQ(p.lifetime, 2.5);
  EXPECT_EQ(p.log, "L");
  EXPECT_EQ(p.path_file, "P");
  EXPECT_EQ(p.link, "K");
  EXPECT_EQ(p.seed, 9u);
  EXPECT_TRUE(p.log_tx);
}

TEST(SimOptions, BadCommandLinesAreRefused) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--binary", "12345"},
           {"--binary"},
           {"--version-form", "x"},
           {"--version-period", "0"},
           {"--lifetime", "-1"},
           {"--lifetime", "soon"},
           {"--log"},
           {"--bogus"},
           {"--silent=yes"},
       }) {
    SimOptions o;
    std::string error;
    EXPECT_FALSE(ParseOptions(args, o, &error)) << args[0];
    EXPECT_FALSE(error.empty()) << args[0];
  }
}

}  // namespace
}  // namespace larkspan::sim
