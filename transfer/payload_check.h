// Checks of the two receiver payload files, the flash loader image and the firmware S-record
// file. An error is what would make the upload fail or write the receiver otherwise than the
// file says; the check names the first with its line. A warning is what the upload survives
// but a reader should know (records out of address order, gaps, text after the termination
// record). This header checks bytes; transfer/payload_file_check.h checks files. Used by
// `larkspan-cli check` and `upgrade`, the tests and the fuzzers. No shared state: any thread;
// one SRecordChecker is used by one thread at a time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "transfer/srecord_format.h"

namespace larkspan {

struct PayloadFault {
  size_t line = 0;  // 1-based line (record) of the fault; 0 when it concerns the whole file
  std::string message;
};

// "line 17: message", or the message alone for a whole-file fault.
std::string FormatFault(const PayloadFault& fault);


// Checks a firmware S-record file fed in pieces of any size, holding one record and the set
// of address ranges written so far (touching ranges merged), so memory grows with the
// number of disjoint ranges, not with the file. After the first error further bytes are
// ignored.
//
// Errors, each something the upload relies on or a way the receiver would be written wrongly:
//  - the file begins with a record (no byte-order mark, no blank line); each record begins
//    right after the CR LF of the one before: "S", a type digit, two hex count digits (either
//    case), exactly 2 * count hex digits, CR LF; count <= 147;
//  - the record checksum is right; 4 is not a type; a record holds its address and checksum;
//  - a type 8 record (the updater would send it as data and wait for an answer);
//  - two data records that write the same byte, wherever they stand;
//  - a record count (type 5, 6) that differs from the data records before it;
//  - no termination record (type 7 or 9), or an S-record after it (never sent).
// Warnings: data records out of address order, gaps between them, a header record that is not
// the first, lower-case hex digits, and text or blank lines after the termination record.
class SRecordChecker {
 public:
  SRecordChecker() = default;
  // A checker that only looks for the first data record writing `address` (found_line()).
  explicit SRecordChecker(uint64_t locate_address) : locate_(locate_address) {}

  void Feed(std::string_view bytes);
  // Declares the end of the file and returns the first error, if any.
  std::optional<PayloadFault> Finish();

  const std::optional<PayloadFault>& fault() const { return fault_; }
  // The warnings in file order: the first kMaxWarnings, and how many more there were.
  static constexpr size_t kMaxWarnings = 20;
  const std::vector<PayloadFault>& warnings() const { return warnings_; }
  size_t more_warnings() const { return more_warnings_; }
  // When the error is a byte written twice: its address. A second pass with a locating
  // checker finds the line that wrote it first; NameEarlierWriter puts it in the message.
  std::optional<uint64_t> overlap_address() const { return overlap_address_; }
  void NameEarlierWriter(size_t line);
  size_t found_line() const { return found_line_; }
  // Bytes up to and including the termination record's line end (what the updater sends).
  uint64_t records_end() const { return records_end_; }
  // Complete records seen, and the data records (types 1, 2, 3) among them.
  size_t records() const { return records_; }
  size_t data_records() const { return data_records_; }
  // First line holding a lower-case hex digit (accepted, though the release writes upper
  // case), or 0.
  size_t lower_case_line() const { return lower_case_line_; }

 private:
  enum class State {
    kRecordStart, kType, kCount, kBody, kCr, kLf,
    kAfterEndLineStart, kAfterEndS, kAfterEndText,  // past the termination record
    kStopped
  };

  void Step(unsigned char c);
  void Fail(size_t line, std::string message);
  void Warn(std::string message);  // on the current line
  void WarnAfterEnd(const char* what);  // the first line of text after the termination record
  void NoteCase(unsigned char hex_digit);
  void DataRecord(uint64_t address, size_t address_bytes);
  std::optional<uint64_t> FirstWritten(uint64_t begin, uint64_t end) const;
  void MarkWritten(uint64_t begin, uint64_t end);
  std::string WrittenTwice(const std::string& earlier) const;  // the message for a byte written twice
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
  std::map<uint64_t, uint64_t> written_;  // start -> end of each disjoint range written
  std::optional<uint64_t> overlap_address_;
  int overlap_width_ = 0;  // hex digits of the record's address
  std::optional<uint64_t> locate_;
  size_t found_line_ = 0;
  uint64_t records_end_ = 0;
  size_t end_line_ = 0;  // of the termination record
  bool warned_after_end_ = false;
  size_t records_after_end_ = 0, data_records_after_end_ = 0, first_record_after_end_ = 0;
  std::vector<PayloadFault> warnings_;
  size_t more_warnings_ = 0;
};

// The first error of S-record bytes (both lines named when a byte is written twice).
std::optional<PayloadFault> CheckSRecordBytes(std::string_view bytes);
}  // namespace larkspan
