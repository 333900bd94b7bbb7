// The few receiver-sim judgements that, if wrong, would let the end-to-end runs pass an
// updater that is wrong: checksum verdicts on sentences, frames and S-records, the flashed
// image against the firmware file, bytes at the wrong speed, and the pacing of the line.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <numeric>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
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

// The checksum verdict of each sentence or frame in a stream fed one byte at a time.
template <typename Parser, typename Event>
std::vector<bool> Verdicts(std::span<const uint8_t> stream) {
  Parser parser;
  std::vector<Event> events;
  for (uint8_t b : stream) parser.Push(b, events);
  std::vector<bool> ok;
  for (const Event& e : events) {
    if (e.kind != Event::Kind::kJunk) ok.push_back(e.checksum_ok);
  }
  return ok;
}

TEST(SimChecksums, SentencesAndFramesGetTheirVerdicts) {
  // Right, in lower-case hex, off by one, missing, not hex.
  EXPECT_EQ((Verdicts<NmeaParser, NmeaEvent>(f::Bytes(
                "$PSRF100,0,38400,8,1,0*3C\r\n$PSRF100,0,38400,8,1,0*3c\n$PSRF100,0,38400,8,1,0*3D\r\n"
                "$PSRF100,0,38400,8,1,0\r\n$PSRF100,0,38400,8,1,0*3G\r\n"))),
            (std::vector<bool>{true, true, false, false, false}));
  // A payload byte, the checksum's high byte, its low byte changed; then a good frame and one
  // whose sum exceeds 15 bits, of which only the low 15 count.
  const auto damaged = [](size_t at) {
    Bytes frame(f::kSwitchToNmea.begin(), f::kSwitchToNmea.end());
    frame[at] ^= 0x01;
    return frame;
  };
  const Bytes largest = Cat({Bytes{0xA0, 0xA2, 0x03, 0xFF}, Bytes(1023, 0x7F), Bytes{0x7B, 0x81, 0xB0, 0xB3}});
  EXPECT_EQ((Verdicts<SirfFrameParser, FrameEvent>(
                Cat({damaged(10), damaged(28), damaged(29), f::kFlashUpdate, largest}))),
            (std::vector<bool>{false, false, false, true, true}));
}

class SimReceiver : public ::testing::Test {
 protected:
  static constexpr int kLoader = 115200;

  // A receiver as it starts, NMEA at 4800, with a log of its own.
  void Start() {
    model_.reset();
    log_ = std::make_unique<SimLog>();
    log_->KeepInMemory();
    model_ = std::make_unique<ReceiverModel>(ReceiverOptions{}, *log_);
  }
  // The receiver taken through the switch sentence, the flash-update and loader-speed frames
  // and a good upload of the flash loader, which compares what it flashes with `expected`.
  void StartLoader(std::optional<FlashImage> expected = std::nullopt) {
    Start();
    model_->Receive(f::Bytes(f::kSwitchToBinary), 4800);
    auto loader = std::make_unique<FlashLoader>(LoaderOptions{}, std::move(expected));
    loader_ = loader.get();
    model_->SetFlashUpdateHook(std::move(loader));
    model_->Receive(f::kFlashUpdate, 38400);
    model_->Receive(f::kLoaderSpeed, 38400);
    ASSERT_EQ(model_->mode(), Mode::kLoader) << LogText();
    model_->Receive(Cat({Bytes{0x53, 0x00, 0, 0, 0, 40}, Bytes(40, 0x0A), Bytes(4, 0)}), kLoader);
  }
  // Sends one record and returns the loader's answer.
  std::string Record(std::string_view record) {
    model_->Receive(f::Bytes(record), kLoader);
    std::string out;
    for (const Transmission& t : model_->TakeOutput()) out.append(t.bytes.begin(), t.bytes.end());
    return out;
  }
  bool Logged(std::string_view prefix) const {
    return std::ranges::any_of(log_->lines(), [&](const std::string& l) { return l.starts_with(prefix); });
  }
  std::string LogText() const { return ::testing::PrintToString(log_->lines()); }

  std::unique_ptr<SimLog> log_;
  std::unique_ptr<ReceiverModel> model_;
  FlashLoader* loader_ = nullptr;
};

// Bytes at another speed than the receiver's arrive as high-bit garbage, never a '$' nor a
// line feed, and are never obeyed.
TEST_F(SimReceiver, ASwitchSentenceAtAnotherSpeedIsNotObeyed) {
  LineModel line;
  const Bytes sent(500, '$');
  EXPECT_EQ(line.Transmit(sent, 4800, 4800), sent);
  for (int host : {38400, 0}) {  // 0: the host's speed is unknown
    const Bytes out = line.Transmit(sent, host, 4800);
    EXPECT_EQ(std::ranges::count_if(out, [](uint8_t b) { return b >= 0x80; }), 500) << host;
  }
  Start();
  model_->Receive(f::Bytes(f::kSwitchToBinary), 38400);
  EXPECT_EQ(model_->mode(), Mode::kNmea) << LogText();
  model_->Receive(f::Bytes(f::kSwitchToBinary), 4800);
  EXPECT_EQ(model_->mode(), Mode::kBinary) << LogText();
}

TEST_F(SimReceiver, ARecordWithAWrongChecksumIsAnsweredSEAndNotFlashed) {
  const std::string good = MakeRecord(3, 0x00012340, Bytes{0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC});
  SRecord r;
  ASSERT_EQ(ParseRecord(good, r), RecordFault::kNone);
  for (size_t i = 4; i + 2 < good.size(); ++i) {  // any digit after the count
    std::string bad = good;
    bad[i] = bad[i] == '0' ? '1' : '0';
    EXPECT_EQ(ParseRecord(bad, r), RecordFault::kBadChecksum) << bad;
  }
  StartLoader();
  EXPECT_EQ(Record("S1061000010203E4\r\n"), "SE\r\n");
  EXPECT_TRUE(loader_->image().empty());
  EXPECT_EQ(Record("S1061000010203E3\r\n"), "S5\r\n") << "the loader goes on";
  EXPECT_EQ(loader_->image().At(0x1002), 3);
}

TEST_F(SimReceiver, TheFlashedImageIsComparedWithTheFirmwareFile) {
  std::vector<std::string> fw = {"S00600004844521B\r\n"};
  for (uint8_t i = 0; i < 5; ++i) fw.push_back(MakeRecord(3, i * 16u, Bytes(16, static_cast<uint8_t>(0x30 + i))));
  fw.push_back(MakeRecord(7, 0, {}));
  const larkspan::testing::TempFile file(std::accumulate(fw.begin(), fw.end(), std::string()), "fw.s");
  FlashImage expected;
  std::string error;
  ASSERT_TRUE(LoadSRecordFile(file.path().string(), expected, &error)) << error;

  const auto flash = [&](const std::vector<std::string>& records) {
    StartLoader(expected);
    for (const std::string& r : records) Record(r);
  };
  flash(fw);
  EXPECT_TRUE(Logged("flash-end records=7 data-bytes=80 match=yes")) << LogText();

  std::vector<std::string> changed = fw;
  changed[3] = MakeRecord(3, 0x20, Bytes(16, 0x33));
  flash(changed);
  EXPECT_TRUE(Logged("flash-mismatch address=0x00000020 flashed=33 expected=32")) << LogText();

  // A byte never written differs even from an expected 0, which unwritten bytes hold.
  FlashImage one;
  one.Write(0x50, Bytes{1, 0});
  FlashImage two;
  two.Write(0x50, Bytes{1});
  EXPECT_EQ(one.FirstDifference(two), 0x51u);
  EXPECT_EQ(two.FirstDifference(one), 0x51u);
}

// The benchmarks set the paced upgrade's wall time against its line time. Both ways of
// release; a chunk handed over while the line is busy queues behind the one before.
TEST(SimPacedLine, NeverHandsAByteOverBeforeTheLineHasCarriedIt) {
  using namespace std::chrono_literals;
  EXPECT_EQ(PacedLine::CarryTime(1, 4800), 2083334ns);  // 10 bits, rounded up
  const auto carried = [](size_t n) {
    return n <= 4 ? PacedLine::CarryTime(n, 115200)
                  : PacedLine::CarryTime(4, 115200) + PacedLine::CarryTime(n - 4, 4800);
  };
  for (auto release : {PacedLine::Release::kBytes, PacedLine::Release::kWholeChunks}) {
    const PacedLine::Clock::time_point t0{};
    PacedLine line(release);
    line.Push(f::Bytes("S5\r\n"), 115200, 115200, t0);
    line.Push(f::Bytes("$G"), 4800, 4800, t0);
    std::string got;
    for (auto t = t0; !line.empty(); t += 10us) {
      for (const auto& segment : line.Take(t)) {
        got.append(segment.bytes.begin(), segment.bytes.end());
        EXPECT_LE(t0 + carried(got.size()), t) << got;
      }
    }
    EXPECT_EQ(got, "S5\r\n$G");
  }
}

}  // namespace
}  // namespace larkspan::sim
