// A file with given bytes in a fresh temporary folder, removed with the object.
#pragma once

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>

namespace larkspan::testing {

class TempFile {
 public:
  explicit TempFile(const std::string& bytes, const std::string& name = "payload") {
    static std::atomic<int> serial{0};
    folder_ = std::filesystem::temp_directory_path() /
              ("larkspan-test-" + std::to_string(::getpid()) + "-" + std::to_string(serial++));
    std::filesystem::create_directories(folder_);
    path_ = folder_ / name;
    std::ofstream(path_, std::ios::binary) << bytes;
  }
  ~TempFile() {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  const std::filesystem::path& path() const { return path_; }
  const std::filesystem::path& folder() const { return folder_; }

 private:
  std::filesystem::path folder_;
  std::filesystem::path path_;
};

}  // namespace larkspan::testing
