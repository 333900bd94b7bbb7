// The loader upload: header, one write a byte, trailer, the percentages and the boxes.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "transfer/loader_upload.h"
#include "transfer/percent_progress.h"
#include "tests/unit/channel_fixture.h"
#include "tests/unit/temp_file.h"

namespace larkspan::testing {
namespace {

class LoaderUploadTest : public ChannelTest {
 protected:
  // Uploads `image` at 115200; whether the image was read whole.
  bool Upload(const std::string& image) {
    state.loader_file.Close();
    file_ = std::make_unique<TempFile>(image);
    EXPECT_TRUE(state.loader_file.Open(file_->path().string()));
    state.update_channel.Open();
    state.update_channel.ChangeSpeed(115200);
    return UploadLoader(state);
  }
  size_t Steps() const {
    const auto lines = sink.Lines();
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), "progress step-it"));
  }
  std::unique_ptr<TempFile> file_;
};

TEST_F(LoaderUploadTest, ShippedSizeShowsEachPercentOnceAndEndsWaitingAtPositionZero) {
  EXPECT_TRUE(Upload(std::string(14316, '\x5A')));
  ASSERT_EQ(port.writes.size(), 1 + 14316 + 1u);
  EXPECT_EQ(port.writes.front().bytes, (std::vector<uint8_t>{0x53, 0x00, 0x00, 0x00, 0x37, 0xEC}));
  EXPECT_EQ(port.writes.back().bytes, (std::vector<uint8_t>{0, 0, 0, 0}));
  EXPECT_EQ(port.writes[1].bytes, std::vector<uint8_t>{0x5A});
  EXPECT_EQ(port.writes[1].baud, 115200u);

  std::vector<std::string> expected = {"Transmitting target loader binary file.."};
  for (int p = 1; p <= 100; ++p) expected.push_back(std::to_string(p) + "%");
  expected.push_back("Waiting...");
  EXPECT_EQ(sink.Statuses(), expected);
  EXPECT_EQ(Steps(), 100u);
  EXPECT_EQ(sink.Lines().back(), "progress set-pos 0");
  EXPECT_TRUE(sink.BoxLines().empty());
}

TEST_F(LoaderUploadTest, SmallAndEmptyImages) {
  Upload(std::string(50, 'x'));
  auto statuses = sink.Statuses();
  ASSERT_EQ(statuses.size(), 52u);
  EXPECT_EQ(statuses[1], "2%");
  EXPECT_EQ(statuses[50], "100%");
  EXPECT_EQ(Steps(), 50u) << "one step a shown percentage, not the difference";

  sink.Clear();
  port.writes.clear();
  Upload("");
  EXPECT_EQ(sink.Statuses(), (Lines{"Transmitting target loader binary file..", "Waiting..."}));
  EXPECT_EQ(Steps(), 0u);
  ASSERT_EQ(port.writes.size(), 2u);
  EXPECT_EQ(port.writes[0].bytes, (std::vector<uint8_t>{0x53, 0, 0, 0, 0, 0}));
}

TEST_F(LoaderUploadTest, WaitsEightSecondsAfterWaiting) {
  Upload("abc");
  // The clock moved at least 8 s between the trailer and the end of the stage.
  EXPECT_GE(clock.NowUs() - port.TimeOf("write", 4), 8'000'000u);
  EXPECT_LE(clock.NowUs() - port.TimeOf("write", 4), 9'100'000u);
}

TEST_F(LoaderUploadTest, FailedWritesAreReportedAndTheStageGoesOn) {
  port.fail_writes = true;
  EXPECT_TRUE(Upload("ab")) << "the image was read whole";
  EXPECT_EQ(sink.BoxLines(), (Lines{"Update: Error.. Incorrect upload of target loader file",
                                    "Update: Error.. Incorrect upload of target loader file",
                                    "Update: Error.. Cannot transmit to UART", "Update: Error.. Incorrect transmit to UART",
                                    "Update: Error.. Cannot transmit to UART", "Update: Error.. Incorrect transmit to UART",
                                    "Update: Error.. Cannot transmit to UART", "Update: Error.. Incorrect transmit to UART"}));
  EXPECT_EQ(sink.Statuses().back(), "Waiting...");
}

TEST_F(LoaderUploadTest, AHeaderAndATrailerWrittenShortAreReportedOnceEachAndTheStageGoesOn) {
  port.write_limit = 3;
  EXPECT_TRUE(Upload("abc"));
  EXPECT_EQ(sink.Lines(), (Lines{"status Transmitting target loader binary file..",
                                 "box Update: Error.. Incorrect upload of target loader file",
                                 "status 33%", "progress step-it", "status 66%", "progress step-it",
                                 "status 100%", "progress step-it",
                                 "box Update: Error.. Incorrect transmit to UART",
                                 "status Waiting...", "progress set-pos 0"}));
  ASSERT_EQ(port.writes.size(), 5u);
  EXPECT_EQ(Text(port.writes[1].bytes) + Text(port.writes[2].bytes) + Text(port.writes[3].bytes), "abc");
}

TEST_F(LoaderUploadTest, ImageBytesThatAreNotWrittenAreReportedAndThePercentagesStillStep) {
  port.write_limit = 0;  // every write succeeds and moves nothing
  EXPECT_TRUE(Upload("ab"));
  EXPECT_EQ(sink.Lines(), (Lines{"status Transmitting target loader binary file..",
                                 "box Update: Error.. Incorrect upload of target loader file",
                                 "box Update: Error.. Incorrect transmit to UART", "status 50%", "progress step-it",
                                 "box Update: Error.. Incorrect transmit to UART", "status 100%", "progress step-it",
                                 "box Update: Error.. Incorrect transmit to UART",
                                 "status Waiting...", "progress set-pos 0"}));
}

TEST_F(LoaderUploadTest, AnImageThatEndsEarlyStopsWithoutAStaleByteOrTheTrailer) {
  port.hear = [this](const std::vector<uint8_t>& bytes, uint32_t) {
    if (bytes.size() == 6) std::filesystem::resize_file(file_->path(), 4);  // the header: its size was taken
  };
  EXPECT_FALSE(Upload("0123456789"));
  EXPECT_EQ(sink.Lines(), (Lines{"status Transmitting target loader binary file..",
                                 "status 10%", "progress step-it", "status 20%", "progress step-it",
                                 "status 30%", "progress step-it", "status 40%", "progress step-it",
                                 "box Update: Error.. Incorrect upload of target loader file",
                                 "status Waiting...", "progress set-pos 0"}));
  ASSERT_EQ(port.writes.size(), 5u) << "the header and the four bytes read: no stale byte, no trailer";
  EXPECT_EQ(Text(port.writes[4].bytes), "3");
}

TEST_F(LoaderUploadTest, AnUnreadableImageByteIsNeverReplacedByAStaleOne) {
  port.hear = [this](const std::vector<uint8_t>& bytes, uint32_t) {
    if (bytes.size() == 6) file_->BreakReads();  // the header: its size was taken
  };
  EXPECT_FALSE(Upload("0123456789"));
  EXPECT_EQ(sink.BoxLines(), (Lines{"Update: Error.. Cannot receive from file",
                                    "Update: Error.. Incorrect upload of target loader file"}));
  ASSERT_EQ(port.writes.size(), 1u) << "only the header: no stale byte, no trailer";
  EXPECT_EQ(sink.Statuses().back(), "Waiting...");
}

TEST_F(LoaderUploadTest, PercentagesAreComputedWideEnoughForLargeFiles) {
  EXPECT_EQ(Percentage(1, 14316), 0u);
  EXPECT_EQ(Percentage(144, 14316), 1u);
  EXPECT_EQ(Percentage(50'000'000'000ull, 100'000'000'000ull), 50u);
  EXPECT_EQ(Percentage(0, 0), 0u);
  EXPECT_EQ(LoaderHeader(0x12345678), (std::array<uint8_t, 6>{0x53, 0, 0x12, 0x34, 0x56, 0x78}));
  // As shown: 45,000,000 × 100 does not fit 32 bits.
  PercentProgress progress(state);
  progress.Update(45'000'000, 90'000'000);
  progress.Update(89'999'999, 90'000'000);
  EXPECT_EQ(sink.Lines(), (Lines{"status 50%", "progress step-it", "status 99%", "progress step-it"}));
}

}  // namespace
}  // namespace larkspan::testing
