// A payload file opened for reading only and for exclusive use, as the updater holds its
// flash loader image and firmware S-record file. Owned by the program state; the dialog
// opens it, the worker reads and closes it (never both at once). Several receivers upgraded
// side by side each read a view of the one open file: a read position of its own, and a
// close that ends the view only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace larkspan {

class ReadOnlyFile {
 public:
  ReadOnlyFile() = default;
  ReadOnlyFile(const ReadOnlyFile&) = delete;
  ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;
  ~ReadOnlyFile() { Close(); }

  // Opens an existing file for reading, refusing it while another holder has it. Returns
  // whether it is open; on failure `error()` holds the system's error number.
  bool Open(const std::string& path);
  // Opens a view of `file`, which stays open and exclusive as long as it or any view does.
  // Returns whether it is open; a closed `file` gives a closed view with its error.
  bool OpenView(const ReadOnlyFile& file);
  // Closing a file that is not open does nothing.
  void Close();
  bool IsOpen() const { return fd_ >= 0; }
  // Reads up to buffer.size() bytes from the current position, fewer only at the end of the
  // file or before a failure (which the next call reports). False on a failed call. The file
  // is read in large blocks, so that many small reads cost one system call.
  bool Read(std::span<uint8_t> buffer, size_t& count_read);
  // The file's size in bytes, or -1 when unknown.
  int64_t Size() const;
  // The SHA-256 of the whole file in lower-case hex, whatever its position; none when not open.
  std::optional<std::string> Sha256() const;
  int error() const { return error_; }

 private:
  static constexpr size_t kBlockSize = 64 * 1024;
  // Reads the next block; `got` 0 at the end of the file.
  bool ReadBlock(size_t& got);

  // Takes `fd` as this file's, at its start.
  void Adopt(int fd);

  int fd_ = -1;
  int error_ = 0;
  int64_t offset_ = 0;  // where the next block is read: views share the descriptor, not this
  std::vector<uint8_t> block_;
  size_t block_at_ = 0, block_end_ = 0;  // the bytes of the block not yet handed out
};

}  // namespace larkspan
