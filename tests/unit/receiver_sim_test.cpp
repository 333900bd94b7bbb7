// The receiver-sim judgement that, if wrong, would let the end-to-end runs pass an updater
// that is wrong: the flashed image against the firmware file, and the loader's answer to a
// faulty record. (The bytes of every sentence and frame are pinned by the transcripts; bytes at
// the wrong speed are seen as garbage in the end-to-end logs, which name each garbled command.)
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "receiver/command_frames.h"
#include "tools/receiver_sim/flash_loader.h"
#include "tools/receiver_sim/sim_log.h"

namespace larkspan::sim {
namespace {

namespace f = larkspan::frames;
using Bytes = std::vector<uint8_t>;

// A receiver as it starts, NMEA at 4800, with its flash loader and a log kept in memory.
struct Receiver {
  explicit Receiver(std::optional<FlashImage> expected = std::nullopt) {
    log.KeepInMemory();
    model.SetFlashUpdateHook(std::make_unique<FlashLoader>(LoaderOptions{}, std::move(expected)));
  }
  // Sends `bytes` at `speed` and returns the receiver's answer.
  std::string Send(std::span<const uint8_t> bytes, int speed = 115200) {
    model.Receive(bytes, speed);
    std::string out;
    for (const Transmission& t : model.TakeOutput()) out.append(t.bytes.begin(), t.bytes.end());
    return out;
  }
  // The switch sentence, the flash-update and loader-speed frames, and an empty loader image.
  void StartLoader() {
    Send(f::Bytes(f::kSwitchToBinary), 4800);
    Send(f::kFlashUpdate, 38400);
    Send(f::kLoaderSpeed, 38400);
    Send(Bytes{0x53, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  }
  bool Logged(std::string_view line) const { return std::ranges::count(log.lines(), line) == 1; }

  SimLog log;
  ReceiverModel model{ReceiverOptions{}, log};
};

// The loader answers a record with any fault (checksum, line end, count, type) "SE" and flashes
// nothing of it; at the termination record it compares what it flashed with the firmware
// file's data, an unwritten byte differing even from a 0.
TEST(SimLoader, AnswersEachRecordAndComparesTheFlashedImageWithTheFile) {
  FlashImage file;
  file.Write(0x1000, Bytes{1, 2, 0});
  using Flash = std::tuple<std::vector<std::string>, std::string, std::string>;  // records, answers, log line
  for (const auto& [records, answers, says] :
       {Flash{{"S1061000010200E7\r\n", "S1061000010200E6\n", "S1061000010200E6 \n", "S1071000010200E6\r\n",
               "S4061000010200E6\r\n", "S1061000010200E6\r\n"},
              "SE\r\nSE\r\nSE\r\nSE\r\nSE\r\nS5\r\n", "flash-end records=7 data-bytes=3 match=yes"},
        Flash{{"S1061000010300E5\r\n"}, "S5\r\n", "flash-mismatch address=0x00001001 flashed=03 expected=02"},
        Flash{{"S10510000102E7\r\n"}, "S5\r\n", "flash-mismatch address=0x00001002 flashed=none expected=00"},
        Flash{{"S107100001020007DE\r\n"}, "S5\r\n", "flash-mismatch address=0x00001003 flashed=07 expected=none"}}) {
    Receiver rx(file);
    rx.StartLoader();
    std::string answered;
    for (const std::string& record : records) answered += rx.Send(f::Bytes(record));
    EXPECT_EQ(answered, answers);
    EXPECT_EQ(rx.Send(f::Bytes("S9031000EC\r\n")), "") << "the updater waits for no answer to it";
    EXPECT_TRUE(rx.Logged(says)) << ::testing::PrintToString(rx.log.lines());
  }
}

}  // namespace
}  // namespace larkspan::sim
