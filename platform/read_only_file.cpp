#include "platform/read_only_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace larkspan {

bool ReadOnlyFile::Open(const std::string& path) {
  Close();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error_ = errno;
    return false;
  }
  // Not shared: a second holder of the same file is refused, as the device's file system did.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    error_ = errno;
    ::close(fd);
    return false;
  }
  fd_ = fd;
  error_ = 0;
  return true;
}

void ReadOnlyFile::Close() {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
}

bool ReadOnlyFile::Read(std::span<uint8_t> buffer, size_t& count_read) {
  count_read = 0;
  if (fd_ < 0) {
    error_ = EBADF;
    return false;
  }
  for (;;) {
    const ssize_t n = ::read(fd_, buffer.data(), buffer.size());
    if (n >= 0) {
      count_read = static_cast<size_t>(n);
      return true;
    }
    if (errno != EINTR) {
      error_ = errno;
      return false;
    }
  }
}

int64_t ReadOnlyFile::Size() const {
  struct stat st {};
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

}  // namespace larkspan
