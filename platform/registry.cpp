#include "platform/registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>
#include <system_error>

#include "platform/text.h"

namespace larkspan {

namespace {

// A key or value name as one path component: no separators, nothing that climbs out.
bool SafeComponent(const std::string& part) {
  return !part.empty() && part != "." && part != ".." && part.find('/') == std::string::npos &&
         part.find('\0') == std::string::npos;
}

class FileRegistryKey final : public RegistryKey {
 public:
  explicit FileRegistryKey(std::filesystem::path folder) : folder_(std::move(folder)) {}
  bool SetStringValue(std::u16string_view name, std::span<const uint8_t> data) override {
    const std::string file = ToUtf8(name);
    return SafeComponent(file) && ReplaceFileAtomically(folder_ / file, data);
  }

 private:
  std::filesystem::path folder_;
};

}  // namespace

std::unique_ptr<RegistryKey> FileRegistry::OpenKey(std::u16string_view root, std::u16string_view path) {
  const std::string root_name = ToUtf8(root);
  if (!SafeComponent(root_name)) return nullptr;
  std::filesystem::path folder = root_ / root_name;
  const std::string key = ToUtf8(path);
  size_t start = 0;
  while (start <= key.size()) {
    const size_t end = std::min(key.find('\\', start), key.size());
    const std::string part = key.substr(start, end - start);
    if (!SafeComponent(part)) return nullptr;
    folder /= part;
    start = end + 1;
  }
  std::error_code error;
  if (!std::filesystem::is_directory(folder, error)) return nullptr;
  return std::make_unique<FileRegistryKey>(folder);
}

bool ReplaceFileAtomically(const std::filesystem::path& file, std::span<const uint8_t> bytes) {
  std::string temp = (file.parent_path() / ("." + file.filename().string() + ".XXXXXX")).string();
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  const bool written = done == bytes.size() && ::fchmod(fd, 0644) == 0 && ::fsync(fd) == 0;
  const bool closed = ::close(fd) == 0;
  if (!written || !closed || std::rename(temp.c_str(), file.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  // The rename itself reaches the disk with the folder.
  const int dir = ::open(file.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

}  // namespace larkspan
