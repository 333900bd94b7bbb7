#include "platform/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace larkspan {

namespace {
bool Fail(std::string* error, const std::string& what) {
  if (error) *error = what + ": " + std::strerror(errno);
  return false;
}
}  // namespace

bool ReplaceFileAtomically(const std::filesystem::path& file, std::span<const uint8_t> bytes, mode_t mode,
                           std::string* error) {
  const std::filesystem::path folder = file.has_parent_path() ? file.parent_path() : ".";
  std::string temp = (folder / ("." + file.filename().string() + ".XXXXXX")).string();
  // Close-on-exec: a program started meanwhile must not inherit the half-written file.
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return Fail(error, temp);
  bool ok = true;
  for (size_t done = 0; ok && done < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      ok = Fail(error, temp);
    } else {
      done += static_cast<size_t>(n);
    }
  }
  // mkstemp makes the file private; give it the permissions asked for.
  if (ok && (::fchmod(fd, mode) != 0 || ::fsync(fd) != 0)) ok = Fail(error, temp);
  if (::close(fd) != 0 && ok) ok = Fail(error, temp);
  if (ok && std::rename(temp.c_str(), file.c_str()) != 0) ok = Fail(error, file.string());
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  // The rename itself reaches the disk with the folder.
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

}  // namespace larkspan
