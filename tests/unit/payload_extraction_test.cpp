// Writing payloads out: the bytes linked into the installer are exactly the build's files,
// and a final file is never torn, whenever the writing process is killed.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "installer/payload_extraction.h"
#include "tests/e2e/process.h"

namespace larkspan {
namespace {

namespace fs = std::filesystem;

std::string Text(std::span<const uint8_t> bytes) { return {bytes.begin(), bytes.end()}; }

TEST(LinkedPayloads, AreTheBuildsFilesByteForByteFoundInAnyCase) {
  const EmbeddedPayloads payloads = LinkedPayloads();
  const auto loader = payloads.Find(u"Bin", 141);
  const auto updater = payloads.Find(u"exe", 142);
  const auto firmware = payloads.Find(u"Firmware", 143);
  ASSERT_TRUE(loader && updater && firmware);
  EXPECT_EQ(Text(*loader), e2e::ReadFile(LOADER_FILE));
  EXPECT_EQ(Text(*updater), e2e::ReadFile(UPDATER_FILE));
  EXPECT_EQ(Text(*firmware), e2e::ReadFile(FIRMWARE_FILE));
  EXPECT_FALSE(payloads.Find(u"Bin", 142));
  EXPECT_FALSE(payloads.Find(u"Binary", 141));
}

TEST(PayloadExtraction, AKilledInstallationNeverLeavesATornFinalFile) {
  e2e::TempDir root;
  // Two large payloads that differ in every byte, so a mix of them shows.
  const std::vector<uint8_t> a(8 << 20, 'a'), b(8 << 20, 'b');
  const fs::path final_file = root.path() / "dlgsp2.bin";
  std::mt19937 random(20261206);
  int torn = 0, complete = 0;
  for (int round = 0; round < 12; ++round) {
    const pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
      for (int i = 0;; ++i) {
        EmbeddedPayloads payloads({{u"BIN", 141, i % 2 ? b : a}});
        ExtractPayload(payloads, root.path(), "1.bin", "dlgsp2.bin", u"Bin", 141, 0644);
      }
    }
    usleep(std::uniform_int_distribution<useconds_t>(5'000, 120'000)(random));
    kill(writer, SIGKILL);
    waitpid(writer, nullptr, 0);
    if (!fs::exists(final_file)) continue;  // killed before the first copy ended
    const std::string content = e2e::ReadFile(final_file);
    const bool whole = content == Text(a) || content == Text(b);
    (whole ? complete : torn)++;
  }
  EXPECT_EQ(torn, 0);
  EXPECT_GT(complete, 0) << "the kills should mostly land after a first copy";
}

}  // namespace
}  // namespace larkspan
