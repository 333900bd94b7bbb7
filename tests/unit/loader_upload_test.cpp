// The loader upload: header, one write a byte, trailer, the percentages and the boxes.
#include <gtest/gtest.h>

#include <algorithm>

#include "transfer/loader_upload.h"
#include "transfer/percent_progress.h"
#include "tests/unit/channel_fixture.h"
#include "tests/unit/temp_file.h"

namespace larkspan::testing {
namespace {

class LoaderUploadTest : public ChannelTest {
 protected:
  void Upload(const std::string& image) {
    TempFile file(image);
    ASSERT_TRUE(state.loader_file.Open(file.path().string()));
    state.update_channel.Open();
    state.update_channel.ChangeSpeed(115200);
    intact_ = UploadLoader(state);
  }
  std::vector<std::string> Statuses() const { return sink.Statuses(); }
  size_t Steps() const {
    const auto lines = sink.Lines();
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), "progress step-it"));
  }
  bool intact_ = false;
};

TEST_F(LoaderUploadTest, ShippedSizeShowsEachPercentOnceAndEndsWaitingAtPositionZero) {
  Upload(std::string(14316, '\x5A'));
  EXPECT_TRUE(intact_);
  ASSERT_EQ(port.writes.size(), 1 + 14316 + 1u);
  EXPECT_EQ(port.writes.front().bytes, (std::vector<uint8_t>{0x53, 0x00, 0x00, 0x00, 0x37, 0xEC}));
  EXPECT_EQ(port.writes.back().bytes, (std::vector<uint8_t>{0, 0, 0, 0}));
  EXPECT_EQ(port.writes[1].bytes, std::vector<uint8_t>{0x5A});
  EXPECT_EQ(port.writes[1].baud, 115200u);

  std::vector<std::string> expected = {"Transmitting target loader binary file.."};
  for (int p = 1; p <= 100; ++p) expected.push_back(std::to_string(p) + "%");
  expected.push_back("Waiting...");
  EXPECT_EQ(Statuses(), expected);
  EXPECT_EQ(Steps(), 100u);
  EXPECT_EQ(sink.Lines().back(), "progress set-pos 0");
  EXPECT_TRUE(sink.BoxLines().empty());
}

TEST_F(LoaderUploadTest, SmallAndEmptyImages) {
  Upload(std::string(50, 'x'));
  auto statuses = Statuses();
  ASSERT_EQ(statuses.size(), 52u);
  EXPECT_EQ(statuses[1], "2%");
  EXPECT_EQ(statuses[50], "100%");
  EXPECT_EQ(Steps(), 50u) << "one step a shown percentage, not the difference";

  sink.Clear();
  port.writes.clear();
  state.loader_file.Close();
  Upload("");
  EXPECT_EQ(Statuses(), (Lines{"Transmitting target loader binary file..", "Waiting..."}));
  EXPECT_EQ(Steps(), 0u);
  ASSERT_EQ(port.writes.size(), 2u);
  EXPECT_EQ(port.writes[0].bytes, (std::vector<uint8_t>{0x53, 0, 0, 0, 0, 0}));
}

TEST_F(LoaderUploadTest, WaitsEightSecondsAfterWaiting) {
  Upload("abc");
  const auto lines = sink.Lines();
  ASSERT_GE(lines.size(), 2u);
  // The clock moved at least 8 s between the trailer and the end of the stage.
  EXPECT_GE(clock.NowUs() - port.TimeOf("write", 4), 8'000'000u);
  EXPECT_LE(clock.NowUs() - port.TimeOf("write", 4), 9'100'000u);
}

TEST_F(LoaderUploadTest, FailedWritesAreReportedAndTheStageGoesOn) {
  port.fail_writes = true;
  Upload("ab");
  EXPECT_EQ(sink.BoxLines(), (Lines{"Update: Error.. Incorrect upload of target loader file",
                                    "Update: Error.. Incorrect upload of target loader file",
                                    "Update: Error.. Cannot transmit to UART", "Update: Error.. Incorrect transmit to UART",
                                    "Update: Error.. Cannot transmit to UART", "Update: Error.. Incorrect transmit to UART",
                                    "Update: Error.. Cannot transmit to UART", "Update: Error.. Incorrect transmit to UART"}));
  EXPECT_TRUE(intact_) << "the image was read whole";
  EXPECT_EQ(Statuses().back(), "Waiting...");
}

TEST_F(LoaderUploadTest, AnUnreadableImageByteIsNeverReplacedByAStaleOne) {
  // A folder opens but cannot be read: its first byte fails.
  TempFile file("");
  ASSERT_TRUE(state.loader_file.Open(file.folder().string()));
  state.update_channel.Open();
  EXPECT_FALSE(UploadLoader(state));
  EXPECT_EQ(sink.BoxLines(), (Lines{"Update: Error.. Cannot receive from file",
                                    "Update: Error.. Incorrect upload of target loader file"}));
  ASSERT_EQ(port.writes.size(), 1u) << "only the header: no stale byte, no trailer";
  EXPECT_EQ(Statuses().back(), "Waiting...");
}

TEST(Percentage, ComputedWideEnoughForLargeFiles) {
  EXPECT_EQ(Percentage(1, 14316), 0u);
  EXPECT_EQ(Percentage(144, 14316), 1u);
  EXPECT_EQ(Percentage(50'000'000'000ull, 100'000'000'000ull), 50u);
  EXPECT_EQ(Percentage(0, 0), 0u);
  EXPECT_EQ(LoaderHeader(0x12345678), (std::array<uint8_t, 6>{0x53, 0, 0x12, 0x34, 0x56, 0x78}));
}

}  // namespace
}  // namespace larkspan::testing
