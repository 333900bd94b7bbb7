// The payload checks on files: each file opened only when it is a regular file, the loader
// image read whole, the S-record file streamed through the checker (twice when a byte is
// written twice, to name the line that wrote it first), and the kind of a file guessed.
#include "transfer/payload_file_check.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <system_error>
#include <vector>

namespace larkspan {
namespace {

std::string Errno(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Opens a payload for reading after making sure it is a regular file (a directory or a
// device has no size the updater could announce or count against).
File OpenPayload(const std::filesystem::path& path, std::optional<PayloadFault>& fault) {
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  if (status.type() == std::filesystem::file_type::not_found) {
    fault = PayloadFault{0, "file does not exist"};
  } else if (ec) {
    fault = PayloadFault{0, "cannot examine the file: " + ec.message()};
  } else if (status.type() == std::filesystem::file_type::directory) {
    fault = PayloadFault{0, "is a directory, not a file"};
  } else if (status.type() != std::filesystem::file_type::regular) {
    fault = PayloadFault{0, "not a regular file"};
  }
  if (fault) return nullptr;
  File file(std::fopen(path.c_str(), "rb"));
  if (!file) fault = PayloadFault{0, Errno("cannot open the file for reading")};
  return file;
}

constexpr size_t kReadChunk = 64 * 1024;

// Streams the file through `checker` and returns a whole-file fault if it cannot be read.
std::optional<PayloadFault> FeedFile(const std::filesystem::path& path, SRecordChecker& checker) {
  std::optional<PayloadFault> fault;
  File file = OpenPayload(path, fault);
  if (!file) return fault;
  std::vector<char> buffer(kReadChunk);
  while (!checker.fault()) {
    const size_t n = std::fread(buffer.data(), 1, buffer.size(), file.get());
    if (n > 0) checker.Feed(std::string_view(buffer.data(), n));
    if (n < buffer.size()) {
      if (std::ferror(file.get())) return PayloadFault{0, Errno("reading the file failed")};
      break;
    }
  }
  return std::nullopt;
}


}  // namespace

// Checks the file through `checker`, reading it a second time to name both lines of a byte
// written twice.
std::optional<PayloadFault> CheckFile(const std::filesystem::path& path, SRecordChecker& checker) {
  if (auto fault = FeedFile(path, checker)) return fault;
  checker.Finish();
  if (const auto address = checker.overlap_address()) {
    SRecordChecker finder(*address);
    if (!FeedFile(path, finder)) checker.NameEarlierWriter(finder.found_line());
  }
  return checker.fault();
}

std::optional<PayloadFault> CheckSRecordFile(const std::filesystem::path& path) {
  SRecordChecker checker;
  return CheckFile(path, checker);
}

std::optional<PayloadFault> CheckLoaderImage(const std::filesystem::path& path) {
  std::optional<PayloadFault> fault;
  File file = OpenPayload(path, fault);
  if (!file) return fault;
  std::error_code ec;
  const uintmax_t size = std::filesystem::file_size(path, ec);
  if (ec) return PayloadFault{0, "cannot take the file's size: " + ec.message()};
  if (size == 0) return PayloadFault{0, "file is empty"};
  if (size > 0xFFFFFFFFu) {
    return PayloadFault{0, "size " + std::to_string(size) +
                               " bytes does not fit the loader header's 32-bit count"};
  }
  // Every byte is sent, so every byte must read.
  std::vector<char> buffer(kReadChunk);
  uintmax_t total = 0;
  for (;;) {
    const size_t n = std::fread(buffer.data(), 1, buffer.size(), file.get());
    total += n;
    if (n < buffer.size()) break;
  }
  if (std::ferror(file.get())) return PayloadFault{0, Errno("reading the file failed")};
  if (total != size) {
    return PayloadFault{0, "read " + std::to_string(total) + " bytes of a file of " +
                               std::to_string(size) + " (did it change meanwhile?)"};
  }
  return std::nullopt;
}

const char* PayloadKindName(PayloadKind kind) {
  return kind == PayloadKind::kSRecordFile ? "firmware S-record file" : "flash loader image";
}

PayloadKind GuessPayloadKind(const std::filesystem::path& path) {
  std::string ext = path.extension().string();
  for (char& c : ext) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  for (const char* s : {".s", ".srec", ".s19", ".s28", ".s37", ".mot"}) {
    if (ext == s) return PayloadKind::kSRecordFile;
  }
  if (ext == ".bin") return PayloadKind::kLoaderImage;

  // Otherwise by content: "S" and a digit after a byte-order mark and blank space, if any. A
  // faulty S-record file (byte-order mark, blank first line) still counts as one, so that its
  // fault is reported rather than passed as a raw image.
  std::optional<PayloadFault> ignored;
  File file = OpenPayload(path, ignored);
  if (!file) return PayloadKind::kLoaderImage;
  std::FILE* f = file.get();
  int c = std::getc(f);
  if (c == 0xEF && std::getc(f) == 0xBB && std::getc(f) == 0xBF) c = std::getc(f);
  while (c == ' ' || c == '\t' || c == '\r' || c == '\n') c = std::getc(f);
  if (c != 'S') return PayloadKind::kLoaderImage;
  c = std::getc(f);
  return c >= '0' && c <= '9' ? PayloadKind::kSRecordFile : PayloadKind::kLoaderImage;
}

PayloadCheck CheckPayloadFile(const std::filesystem::path& path, std::optional<PayloadKind> kind) {
  PayloadCheck result;
  result.kind = kind.value_or(GuessPayloadKind(path));
  if (result.kind == PayloadKind::kLoaderImage) {
    result.fault = CheckLoaderImage(path);
    return result;
  }
  SRecordChecker checker;
  result.fault = CheckFile(path, checker);
  result.warnings = checker.warnings();
  result.more_warnings = checker.more_warnings();
  return result;
}

}  // namespace larkspan
