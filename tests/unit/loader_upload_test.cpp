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
  // What the stage shows: its title, `middle`, then "Waiting..." at position 0.
  static Lines Shown(Lines middle) {
    middle.insert(middle.begin(), "status Transmitting target loader binary file..");
    middle.insert(middle.end(), {"status Waiting...", "progress set-pos 0"});
    return middle;
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
  EXPECT_EQ(sink.Lines(), Shown({})) << "no percentage and no step";
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

TEST_F(LoaderUploadTest, WritesThatMoveTooFewBytesAreReportedAndThePercentagesStillStep) {
  struct Case {
    size_t write_limit;  // 3: the header and the trailer go out short; 0: every write moves nothing
    std::string image;
    Lines shown;
  };
  for (const Case& c :
       {Case{3, "abc", Shown({"box Update: Error.. Incorrect upload of target loader file", "status 33%",
                              "progress step-it", "status 66%", "progress step-it", "status 100%", "progress step-it",
                              "box Update: Error.. Incorrect transmit to UART"})},
        Case{0, "ab", Shown({"box Update: Error.. Incorrect upload of target loader file",
                             "box Update: Error.. Incorrect transmit to UART", "status 50%", "progress step-it",
                             "box Update: Error.. Incorrect transmit to UART", "status 100%", "progress step-it",
                             "box Update: Error.. Incorrect transmit to UART"})}}) {
    SCOPED_TRACE(c.write_limit);
    sink.Clear();
    port.writes.clear();
    port.write_limit = c.write_limit;
    EXPECT_TRUE(Upload(c.image));
    EXPECT_EQ(sink.Lines(), c.shown);
    EXPECT_EQ(port.writes.size(), c.image.size() + 2);
  }
}

TEST_F(LoaderUploadTest, AnImageByteThatCannotBeReadStopsTheUploadWithoutAStaleByteOrTheTrailer) {
  struct Case {
    bool ends_early;  // after four bytes; otherwise no byte can be read
    Lines shown;
  };
  for (const Case& c :
       {Case{true, Shown({"status 10%", "progress step-it", "status 20%", "progress step-it", "status 30%",
                          "progress step-it", "status 40%", "progress step-it",
                          "box Update: Error.. Incorrect upload of target loader file"})},
        Case{false, Shown({"box Update: Error.. Cannot receive from file",
                           "box Update: Error.. Incorrect upload of target loader file"})}}) {
    SCOPED_TRACE(c.ends_early);
    sink.Clear();
    port.writes.clear();
    port.hear = [this, &c](const std::vector<uint8_t>& bytes, uint32_t) {
      if (bytes.size() != 6) return;  // the header: its size was taken
      if (c.ends_early) {
        std::filesystem::resize_file(file_->path(), 4);
      } else {
        file_->BreakReads();
      }
    };
    EXPECT_FALSE(Upload("0123456789"));
    EXPECT_EQ(sink.Lines(), c.shown);
    ASSERT_EQ(port.writes.size(), c.ends_early ? 5u : 1u) << "the header and the bytes read: no stale byte, no trailer";
    EXPECT_EQ(Text(port.writes.back().bytes), c.ends_early ? std::string("3") : std::string("S\0\0\0\0\n", 6));
  }
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
