#include "transfer/payload_check.h"

#include "platform/hex.h"

#include <cstdio>
#include <iterator>
#include <utility>

namespace larkspan {
namespace {

// Address width of each record type; 4 has none (it is not a type).
constexpr size_t kAddressBytes[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};

std::string Hex(uint64_t value, int digits) {
  char text[24];
  std::snprintf(text, sizeof text, "%0*llX", digits, static_cast<unsigned long long>(value));
  return text;
}

// A byte as a reader would name it in a message.
std::string Describe(unsigned char c) {
  switch (c) {
    case '\r': return "CR";
    case '\n': return "LF";
    case ' ': return "a space";
    case '\t': return "a tab";
    default: break;
  }
  if (c > 0x20 && c < 0x7F) return std::string("'") + static_cast<char>(c) + "'";
  return "byte 0x" + Hex(c, 2);
}


}  // namespace

std::string FormatFault(const PayloadFault& fault) {
  if (fault.line == 0) return fault.message;
  return "line " + std::to_string(fault.line) + ": " + fault.message;
}

void SRecordChecker::Feed(std::string_view bytes) {
  for (char c : bytes) {
    if (state_ == State::kStopped) return;
    Step(static_cast<unsigned char>(c));
    ++offset_;
  }
}

void SRecordChecker::Fail(size_t line, std::string message) {
  fault_ = PayloadFault{line, std::move(message)};
  state_ = State::kStopped;
}

void SRecordChecker::Warn(std::string message) {
  if (warnings_.size() < kMaxWarnings) {
    warnings_.push_back({line_, std::move(message)});
  } else {
    ++more_warnings_;
  }
}

void SRecordChecker::NoteCase(unsigned char hex_digit) {
  if (hex_digit < 'a' || lower_case_line_ != 0) return;
  lower_case_line_ = line_;
  Warn("lower-case hex digits from this line on; the loader takes them, though the release writes upper case");
}

void SRecordChecker::FailCutShort() {
  // A CR counts as a line end here too: either way the updater would read past the line.
  if (state_ == State::kBody) {
    Fail(line_, "record is cut short: the line ends after " + std::to_string(hex_chars_) +
                    " of the " + std::to_string(2 * count_) + " characters its count " +
                    Hex(count_, 2) + " gives");
  } else {
    Fail(line_, "record is cut short: the line ends before its count field is complete");
  }
}

void SRecordChecker::Step(unsigned char c) {
  switch (state_) {
    case State::kRecordStart:
      if (c == 'S') {
        state_ = State::kType;
      } else if (c == '\r' || c == '\n') {
        Fail(line_, line_ == 1 ? "file begins with a blank line; it must begin with a record"
                               : "blank line; each record must follow the line end of the "
                                 "one before");
      } else if (c == ' ' || c == '\t') {
        Fail(line_, "white space before the record; a record begins with 'S'");
      } else if (offset_ == 0 && c == 0xEF) {
        Fail(line_, "file begins with a byte-order mark; it must begin with a record");
      } else {
        Fail(line_, "record begins with " + Describe(c) + ", not 'S'");
      }
      return;

    case State::kType:
      if (c < '0' || c > '9') {
        if (c == '\r' || c == '\n') return FailCutShort();
        return Fail(line_, "record type " + Describe(c) + " is not a digit");
      }
      type_ = c - '0';
      if (type_ == 4) return Fail(line_, "type 4 is not a record type");
      count_ = 0;
      count_digits_ = 0;
      state_ = State::kCount;
      return;

    case State::kCount: {
      const int v = HexValue(c);
      if (v < 0) {
        if (c == '\r' || c == '\n') return FailCutShort();
        return Fail(line_, "count field: " + Describe(c) + " is not a hexadecimal digit");
      }
      NoteCase(c);
      count_ = count_ * 16 + static_cast<unsigned>(v);
      if (++count_digits_ == 2) CountComplete();
      return;
    }

    case State::kBody: {
      const int v = HexValue(c);
      if (v < 0) {
        if (c == '\r' || c == '\n') return FailCutShort();
        return Fail(line_, "column " + std::to_string(Column()) + ": " + Describe(c) +
                               " is not a hexadecimal digit");
      }
      NoteCase(c);
      uint8_t& b = bytes_[hex_chars_ / 2];
      b = static_cast<uint8_t>(hex_chars_ % 2 == 0 ? v << 4 : b | v);
      if (++hex_chars_ == 2 * count_) state_ = State::kCr;
      return;
    }

    case State::kCr:
      if (c == '\r') {
        state_ = State::kLf;
      } else if (c == '\n') {
        Fail(line_, "line ends with LF only; CR LF expected");
      } else if (HexValue(c) >= 0) {
        Fail(line_, "record is longer than its count " + Hex(count_, 2) + " says: more than " +
                        std::to_string(2 * count_) + " characters follow the count");
      } else {
        Fail(line_, Describe(c) + " follows the record's checksum; CR LF expected");
      }
      return;

    case State::kLf:
      if (c == '\n') return RecordComplete();
      return Fail(line_, c == '\r' ? "stray CR at the line end; CR LF expected"
                                   : "line ends with CR only; CR LF expected");

    // After the termination record the updater reads nothing more. Text there is harmless;
    // a record there is firmware that would never reach the receiver.
    case State::kAfterEndLineStart:
      if (c == 'S') {
        state_ = State::kAfterEndS;
      } else if (c == '\n') {
        WarnAfterEnd("blank line");
        ++line_;
      } else {
        WarnAfterEnd(c == '\r' ? "blank line" : "text");
        state_ = State::kAfterEndText;
      }
      return;

    case State::kAfterEndS:
      if (c >= '0' && c <= '9') {
        if (records_after_end_++ == 0) first_record_after_end_ = line_;
        if (c >= '1' && c <= '3') ++data_records_after_end_;
      } else {
        WarnAfterEnd("text");
      }
      state_ = State::kAfterEndText;
      if (c == '\n') Step(c);
      return;

    case State::kAfterEndText:
      if (c == '\n') {
        ++line_;
        state_ = State::kAfterEndLineStart;
      }
      return;

    case State::kStopped:
      return;
  }
}

void SRecordChecker::WarnAfterEnd(const char* what) {
  if (warned_after_end_) return;
  warned_after_end_ = true;
  Warn(std::string(what) + " after the termination record; the updater never reads or sends it");
}

void SRecordChecker::CountComplete() {
  if (count_ > kMaxRecordCount) {
    return Fail(line_, "count " + Hex(count_, 2) + " (" + std::to_string(count_) +
                           ") is above 93 (147), the most the updater's 300-byte record "
                           "buffer holds");
  }
  const size_t address = kAddressBytes[type_];
  const auto needed = static_cast<unsigned>(address + 1);
  if (type_ <= 3 && count_ < needed) {
    return Fail(line_, "type " + std::to_string(type_) + " record has count " + Hex(count_, 2) +
                           "; its " + std::to_string(address) +
                           " address bytes and checksum need at least " + Hex(needed, 2));
  }
  if (type_ >= 5 && count_ != needed) {
    return Fail(line_, "type " + std::to_string(type_) + " record has count " + Hex(count_, 2) +
                           "; it holds only its " + std::to_string(address) +
                           " address bytes and checksum, count " + Hex(needed, 2));
  }
  hex_chars_ = 0;
  state_ = State::kBody;
}

void SRecordChecker::RecordComplete() {
  unsigned sum = count_;
  for (size_t i = 0; i + 1 < count_; ++i) sum += bytes_[i];
  const auto expected = static_cast<uint8_t>(~sum);
  const uint8_t given = bytes_[count_ - 1];
  if (given != expected) {
    return Fail(line_, "record checksum is " + Hex(given, 2) + ", the record's bytes give " +
                           Hex(expected, 2));
  }

  const size_t address_bytes = kAddressBytes[type_];
  uint64_t address = 0;
  for (size_t i = 0; i < address_bytes; ++i) address = address << 8 | bytes_[i];

  switch (type_) {
    case 0:
      if (records_ > 0) Warn("header record (type 0) after the first record; it is sent and answered as any other");
      break;
    case 1:
    case 2:
    case 3:
      DataRecord(address, address_bytes);
      if (state_ == State::kStopped) return;
      break;
    case 5:
    case 6:
      // The count field wraps: 16 bits in S5, 24 in S6. A count that disagrees is how a file
      // shows that it lost (or gained) records since the tool that wrote it counted them.
      if (const uint64_t counted = data_records_ % (uint64_t{1} << (8 * address_bytes)); address != counted) {
        return Fail(line_, "type " + std::to_string(type_) + " record counts " + std::to_string(address) +
                               " data records, but " + std::to_string(counted) +
                               " precede it: records were lost or added since the file was written");
      }
      break;
    case 8:
      return Fail(line_, "type 8 record: the updater does not take it as a termination "
                         "record (it would send it as data and wait for an answer)");
    default:  // 7 and 9 end the stream; the updater reads nothing after them
      records_end_ = offset_ + 1;
      end_line_ = line_;
      break;
  }

  ++records_;
  ++line_;
  line_start_ = offset_ + 1;
  state_ = (type_ == 7 || type_ == 9) ? State::kAfterEndLineStart : State::kRecordStart;
}

// Order and gaps are the file's own business: the loader writes each record at its address.
// A byte written twice is not: the receiver would hold whichever came last.
void SRecordChecker::DataRecord(uint64_t address, size_t address_bytes) {
  const uint64_t end = address + (count_ - address_bytes - 1);
  const int width = static_cast<int>(2 * address_bytes);
  if (end > (uint64_t{1} << (8 * address_bytes))) {
    return Fail(line_, "data runs past the top of the " + std::to_string(8 * address_bytes) + "-bit address space");
  }
  ++data_records_;
  if (end == address) return;  // writes nothing
  if (locate_ && address <= *locate_ && *locate_ < end) {
    found_line_ = line_;
    state_ = State::kStopped;
    return;
  }
  if (const auto twice = FirstWritten(address, end)) {
    overlap_address_ = twice;
    overlap_width_ = width;
    return Fail(line_, WrittenTwice("an earlier one"));
  }
  if (have_data_ && address < data_end_) {
    Warn("data address " + Hex(address, width) + " lies below the end of the previous data record (" +
         Hex(data_end_, width) + "): out of address order, which the loader takes");
  } else if (have_data_ && address > data_end_) {
    Warn("gap of " + std::to_string(address - data_end_) + " bytes: nothing is written from " + Hex(data_end_, width) +
         " up to " + Hex(address, width));
  }
  MarkWritten(address, end);
  have_data_ = true;
  data_end_ = end;
}

std::optional<uint64_t> SRecordChecker::FirstWritten(uint64_t begin, uint64_t end) const {
  auto after = written_.upper_bound(begin);  // the first range starting above `begin`
  if (after != written_.begin() && std::prev(after)->second > begin) return begin;
  if (after != written_.end() && after->first < end) return after->first;
  return std::nullopt;
}

void SRecordChecker::MarkWritten(uint64_t begin, uint64_t end) {
  auto range = written_.upper_bound(begin);
  if (range != written_.begin() && std::prev(range)->second == begin) {
    range = std::prev(range);
    range->second = end;
  } else {
    range = written_.emplace_hint(range, begin, end);
  }
  const auto next = std::next(range);
  if (next != written_.end() && next->first == end) {
    range->second = next->second;
    written_.erase(next);
  }
}

std::string SRecordChecker::WrittenTwice(const std::string& earlier) const {
  return "data at " + Hex(*overlap_address_, overlap_width_) + " is written by this record and by " + earlier +
         "; no byte may be written twice";
}

void SRecordChecker::NameEarlierWriter(size_t line) {
  if (fault_ && overlap_address_ && line != 0) fault_->message = WrittenTwice("line " + std::to_string(line));
}

std::optional<PayloadFault> SRecordChecker::Finish() {
  switch (state_) {
    case State::kRecordStart:
      if (offset_ == 0) {
        Fail(1, "file is empty");
      } else {
        Fail(line_, "file ends without a termination record (type 7 or 9)");
      }
      break;
    case State::kType:
    case State::kCount:
      Fail(line_, "record is cut short by the end of the file before its count field is "
                  "complete");
      break;
    case State::kBody:
      Fail(line_, "record is cut short by the end of the file after " +
                      std::to_string(hex_chars_) + " of the " + std::to_string(2 * count_) +
                      " characters its count " + Hex(count_, 2) + " gives");
      break;
    case State::kCr:
      Fail(line_, "record has no line end; CR LF expected");
      break;
    case State::kLf:
      Fail(line_, "line ends with CR only; CR LF expected");
      break;
    case State::kAfterEndS:
      WarnAfterEnd("text");  // an "S" alone ends the file: no record
      [[fallthrough]];
    case State::kAfterEndLineStart:
    case State::kAfterEndText:
      state_ = State::kStopped;  // complete: nothing after the termination record is read
      if (records_after_end_ > 0) {
        const std::string records = records_after_end_ == 1 ? "this record"
                                                             : "the " + std::to_string(records_after_end_) +
                                                                   " records from this line on";
        Fail(first_record_after_end_,
             "S-record after the termination record of line " + std::to_string(end_line_) +
                 ": the updater stops there, so " + records + " (" + std::to_string(data_records_after_end_) +
                 " data) would never be sent");
      }
      break;
    case State::kStopped:
      break;
  }
  return fault_;
}

std::optional<PayloadFault> CheckSRecordBytes(std::string_view bytes) {
  SRecordChecker checker;
  checker.Feed(bytes);
  checker.Finish();
  if (const auto address = checker.overlap_address()) {
    SRecordChecker finder(*address);
    finder.Feed(bytes);
    checker.NameEarlierWriter(finder.found_line());
  }
  return checker.fault();
}

}  // namespace larkspan
