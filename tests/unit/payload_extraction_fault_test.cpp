// Writing a payload out when its temporary file cannot take all of it: a temporary file cut
// short is never copied, so the final file of an earlier installation keeps its content.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "installer/payload_extraction.h"
#include "tests/e2e/process.h"

namespace larkspan {
namespace {

namespace fs = std::filesystem;

TEST(PayloadExtractionFault, ATemporaryFileCutShortIsNeverCopiedOverAGoodFile) {
  e2e::TempDir root;
  const fs::path final_file = root.path() / "dlgsp2.bin";
  std::ofstream(final_file, std::ios::binary) << "the loader of an earlier installation";
  const std::vector<uint8_t> payload(64 * 1024, 'n');

  // A child whose files may not grow past 4 KiB: its temporary file stops short.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);  // a write past the limit then fails with EFBIG
    const rlimit limit{4096, 4096};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(2);
    EmbeddedPayloads payloads({{u"BIN", 141, payload}});
    ExtractPayload(payloads, root.path(), "1.bin", "dlgsp2.bin", u"Bin", 141, 0644);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

  EXPECT_EQ(fs::file_size(root.path() / "1.bin"), 4096u) << "the temporary file was cut short";
  EXPECT_EQ(e2e::ReadFile(final_file), "the loader of an earlier installation");
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(root.path())) names.insert(entry.path().filename().string());
  EXPECT_EQ(names, (std::set<std::string>{"1.bin", "dlgsp2.bin"})) << "no temporary of a replace is left";
}

TEST(PayloadExtractionFault, AFinalPathThatCannotBeReplacedStaysAsItWasAndNothingIsLeftOver) {
  e2e::TempDir root;
  fs::create_directories(root.path() / "dlgsp2.bin" / "kept");  // a folder cannot be replaced by a file
  const std::vector<uint8_t> payload(100, 'n');
  EmbeddedPayloads payloads({{u"BIN", 141, payload}});
  ExtractPayload(payloads, root.path(), "1.bin", "dlgsp2.bin", u"Bin", 141, 0644);

  EXPECT_TRUE(fs::is_directory(root.path() / "dlgsp2.bin" / "kept"));
  EXPECT_EQ(e2e::ReadFile(root.path() / "1.bin"), std::string(100, 'n')) << "the temporary file was written whole";
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(root.path())) names.insert(entry.path().filename().string());
  EXPECT_EQ(names, (std::set<std::string>{"1.bin", "dlgsp2.bin"})) << "no temporary of a replace is left";
}

}  // namespace
}  // namespace larkspan
