// A file with given bytes in a fresh temporary folder, removed with the object; a test can make
// this process's hold on the file read other bytes or fail.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/e2e/process.h"

namespace larkspan::testing {

// What a temporary FILE* holds, from its start; the file is closed.
inline std::string TakeText(std::FILE* file) {
  std::string text(static_cast<size_t>(std::ftell(file)), '\0');
  std::rewind(file);
  text.resize(std::fread(text.data(), 1, text.size(), file));
  std::fclose(file);
  return text;
}

class TempFile {
 public:
  explicit TempFile(const std::string& bytes, const std::string& name = "payload") : path_(folder_.path() / name) {
    std::ofstream(path_, std::ios::binary) << bytes;
  }
  const std::filesystem::path& path() const { return path_; }
  const std::filesystem::path& folder() const { return folder_.path(); }

  // Makes the descriptor through which this process holds the file refer to `replacement`
  // instead, so that the holder's next reads fail or deliver other bytes: the one way to make a
  // read of a plain file fail part way through.
  void HoldInstead(int replacement) const {
    int held = -1;
    const std::filesystem::path target = std::filesystem::canonical(path_);
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
      std::error_code error;
      if (held < 0 && std::filesystem::read_symlink(entry.path(), error) == target) {
        held = std::stoi(entry.path().filename().string());
      }
    }
    ASSERT_GE(held, 0) << path_;
    ASSERT_GE(::dup2(replacement, held), 0) << std::strerror(errno);
    ::close(replacement);
  }
  // The holder's next reads fail (EISDIR): its descriptor now refers to the folder.
  void BreakReads() const { HoldInstead(::open(folder().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); }

 private:
  e2e::TempDir folder_;
  std::filesystem::path path_;
};

}  // namespace larkspan::testing
