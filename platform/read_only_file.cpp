#include "platform/read_only_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/file_digest.h"

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
  Adopt(fd);
  return true;
}

bool ReadOnlyFile::OpenView(const ReadOnlyFile& file) {
  Close();
  // A second descriptor of the same open file: its lock holds until the last one closes.
  const int fd = file.fd_ < 0 ? -1 : ::fcntl(file.fd_, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) {
    error_ = file.fd_ < 0 ? file.error_ : errno;
    return false;
  }
  Adopt(fd);
  return true;
}

void ReadOnlyFile::Adopt(int fd) {
  fd_ = fd;
  error_ = 0;
  offset_ = 0;
  block_.resize(kBlockSize);
  block_at_ = block_end_ = 0;
}

void ReadOnlyFile::Close() {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
  block_at_ = block_end_ = 0;
}

bool ReadOnlyFile::ReadBlock(size_t& got) {
  for (;;) {
    ssize_t n = ::pread(fd_, block_.data(), block_.size(), static_cast<off_t>(offset_));
    // A pipe has no positions: it is read as the stream it is.
    if (n < 0 && errno == ESPIPE) n = ::read(fd_, block_.data(), block_.size());
    if (n >= 0) {
      offset_ += n;
      got = block_end_ = static_cast<size_t>(n);
      block_at_ = 0;
      return true;
    }
    if (errno != EINTR) {
      error_ = errno;
      return false;
    }
  }
}

bool ReadOnlyFile::Read(std::span<uint8_t> buffer, size_t& count_read) {
  count_read = 0;
  if (fd_ < 0) {
    error_ = EBADF;
    return false;
  }
  while (count_read < buffer.size()) {
    if (block_at_ == block_end_) {
      size_t got = 0;
      // A failure after some bytes is reported by the next call, as read() would.
      if (!ReadBlock(got)) return count_read > 0;
      if (got == 0) break;
    }
    const size_t n = std::min(buffer.size() - count_read, block_end_ - block_at_);
    std::copy_n(block_.begin() + static_cast<ptrdiff_t>(block_at_), n, buffer.begin() + static_cast<ptrdiff_t>(count_read));
    block_at_ += n;
    count_read += n;
  }
  return true;
}

int64_t ReadOnlyFile::Size() const {
  struct stat st {};
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

std::optional<std::string> ReadOnlyFile::Sha256() const { return Sha256OfDescriptor(fd_); }

}  // namespace larkspan
