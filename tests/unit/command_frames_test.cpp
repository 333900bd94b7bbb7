// The six command sequences, checked against the framing rules rather than against a copy
// of themselves: a byte slip in any table shows up as a broken checksum or length.
#include <gtest/gtest.h>

#include <string>

#include "receiver/command_frames.h"

namespace larkspan::frames {
namespace {

struct Sentence {
  std::string_view text;
  size_t length;
  uint8_t checksum;
};

TEST(CommandFrames, SentencesCarryTheirOwnChecksumAndEndInCrLf) {
  for (const Sentence& s : {Sentence{kSwitchToBinary, 27, 0x3C}, Sentence{kRmcRate, 21, 0x21},
                            Sentence{kReset, 61, 0x29}}) {
    SCOPED_TRACE(std::string(s.text));
    ASSERT_EQ(s.text.size(), s.length);
    ASSERT_EQ(s.text.front(), '$');
    ASSERT_EQ(s.text.substr(s.length - 2), "\r\n");
    const size_t star = s.text.find('*');
    ASSERT_EQ(star, s.length - 5);
    EXPECT_EQ(NmeaChecksum(s.text.substr(1, star - 1)), s.checksum);
    EXPECT_EQ(std::stoi(std::string(s.text.substr(star + 1, 2)), nullptr, 16), s.checksum);
    EXPECT_EQ(s.text.find('\0'), std::string_view::npos);
  }
}

TEST(CommandFrames, BinaryFramesHaveRightLengthsAndFifteenBitSums) {
  struct Frame {
    std::span<const uint8_t> bytes;
    size_t payload;
    uint8_t id;
    uint16_t checksum;
  };
  for (const Frame& f : {Frame{kFlashUpdate, 1, 0x94, 0x0094}, Frame{kLoaderSpeed, 2, 0x53, 0x0055},
                         Frame{kSwitchToNmea, 24, 0x81, 0x016A}}) {
    SCOPED_TRACE(int{f.id});
    ASSERT_EQ(f.bytes.size(), f.payload + kFrameOverhead);
    const auto payload = SirfPayload(f.bytes);
    ASSERT_TRUE(payload.has_value());
    EXPECT_EQ(payload->size(), f.payload);
    EXPECT_EQ((*payload)[0], f.id);
    EXPECT_EQ(SirfChecksum(*payload), f.checksum);
  }
}

TEST(CommandFrames, SwitchToNmeaAsksForNmeaAt4800) {
  const auto payload = *SirfPayload(kSwitchToNmea);
  EXPECT_EQ((payload[22] << 8) | payload[23], 4800);
  // GGA every second, GSA and GSV every five, RMC off, all with checksums.
  EXPECT_EQ(payload[2], 1);
  EXPECT_EQ(payload[6], 5);
  EXPECT_EQ(payload[8], 5);
  EXPECT_EQ(payload[10], 0);
  for (size_t pair = 2; pair < 22; pair += 2) EXPECT_EQ(payload[pair + 1], 1) << pair;
}

TEST(CommandFrames, SirfPayloadRejectsDamagedFrames) {
  std::array<uint8_t, 32> frame = kSwitchToNmea;
  frame[10] ^= 0x01;  // payload byte changed, checksum not
  EXPECT_FALSE(SirfPayload(frame));
  frame = kSwitchToNmea;
  frame[31] = 0x00;  // end sequence broken
  EXPECT_FALSE(SirfPayload(frame));
  EXPECT_FALSE(SirfPayload(std::span(kSwitchToNmea).first(31)));  // cut short
  // The sum keeps only its low 15 bits.
  std::array<uint8_t, 300> heavy{};
  heavy.fill(0xFF);
  EXPECT_EQ(SirfChecksum(heavy), (300 * 0xFF) & 0x7FFF);
}

}  // namespace
}  // namespace larkspan::frames
