// Checks of the two receiver payload files, the flash loader image and the firmware S-record
// file, against every rule the updater's readers rely on; each check names the first fault
// and its line. Used by `larkspan-cli check`, the tests and the fuzzers. No shared state:
// any thread; one SRecordChecker is used by one thread at a time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "transfer/srecord_format.h"

namespace larkspan {

struct PayloadFault {
  size_t line = 0;  // 1-based line (record) of the fault; 0 when it concerns the whole file
  std::string message;
};

// "line 17: message", or the message alone for a whole-file fault.
std::string FormatFault(const PayloadFault& fault);


// Checks a firmware S-record file fed in pieces of any size, holding at most one record, so
// files of any length are checked in constant memory. After the first fault further bytes
// are ignored.
//
// What it enforces, each a rule the updater's reading of the stream depends on or one the
// release's file keeps:
//  - the file begins with a record; each record begins right after the CR LF of the one
//    before: "S", a type digit, two hex count digits (either case), exactly 2 * count hex
//    digits, CR LF; count <= 147;
//  - the record checksum is right;
//  - types: 0 header (first record only); 1, 2, 3 data with 2-, 3-, 4-byte addresses and
//    ascending without overlap; 5, 6 record counts matching the data records before them;
//    7, 9 termination; 8 is refused (the updater would send it as data and wait for an
//    answer); 4 is not a type;
//  - a termination record exists and nothing follows it.
class SRecordChecker {
 public:
  void Feed(std::string_view bytes);
  // Declares the end of the file and returns the first fault, if any.
  std::optional<PayloadFault> Finish();

  const std::optional<PayloadFault>& fault() const { return fault_; }
  // Complete records seen, and the data records (types 1, 2, 3) among them.
  size_t records() const { return records_; }
  size_t data_records() const { return data_records_; }
  // First line holding a lower-case hex digit (accepted, though the release writes upper
  // case), or 0.
  size_t lower_case_line() const { return lower_case_line_; }

 private:
  enum class State { kRecordStart, kType, kCount, kBody, kCr, kLf, kAfterEnd, kStopped };

  void Step(unsigned char c);
  void Fail(size_t line, std::string message);
  void FailCutShort();  // a CR or LF before the record's characters are all there
  void CountComplete();
  void RecordComplete();
  size_t Column() const { return static_cast<size_t>(offset_ - line_start_) + 1; }

  State state_ = State::kRecordStart;
  uint64_t offset_ = 0;      // of the byte being looked at
  uint64_t line_start_ = 0;  // offset of the current line's first byte
  size_t line_ = 1;
  std::optional<PayloadFault> fault_;

  // The record being read.
  int type_ = 0;
  unsigned count_ = 0;
  int count_digits_ = 0;
  size_t hex_chars_ = 0;  // after the count
  std::array<uint8_t, kMaxRecordCount> bytes_{};

  size_t records_ = 0;
  size_t data_records_ = 0;
  bool have_data_ = false;
  uint64_t data_end_ = 0;  // one past the last byte of the previous data record
  size_t lower_case_line_ = 0;
};

std::optional<PayloadFault> CheckSRecordBytes(std::string_view bytes);
std::optional<PayloadFault> CheckSRecordFile(const std::filesystem::path& path);

// The flash loader image is raw bytes: it must be a readable, non-empty regular file whose
// size fits the loader header's 32-bit count.
std::optional<PayloadFault> CheckLoaderImage(const std::filesystem::path& path);

enum class PayloadKind { kLoaderImage, kSRecordFile };
const char* PayloadKindName(PayloadKind kind);  // "flash loader image", "firmware S-record file"

// An S-record extension (.s, .srec, .s19, .s28, .s37, .mot) or .bin decides; otherwise a
// file whose first bytes, past a byte-order mark and white space, are "S" and a digit is
// taken as S-records, anything else as a loader image.
PayloadKind GuessPayloadKind(const std::filesystem::path& path);

struct PayloadCheck {
  PayloadKind kind = PayloadKind::kLoaderImage;
  std::optional<PayloadFault> fault;
  std::string note;  // a remark on a file without fault (lower-case hex digits), or empty
};
PayloadCheck CheckPayloadFile(const std::filesystem::path& path);

}  // namespace larkspan
