#include "tools/receiver_sim/flash_loader.h"

#include <algorithm>
#include <utility>

#include "receiver/command_frames.h"
#include "tools/receiver_sim/sim_log.h"

namespace larkspan::sim {
namespace {

constexpr uint8_t kHeaderMark = 0x53;  // 'S'
constexpr size_t kHeaderSize = 6;      // 0x53 0x00, size (4 bytes, big-endian)
constexpr size_t kTrailerSize = 4;     // 00 00 00 00

// The type digit of a line that got as far as one, for the log; '?' otherwise.
char TypeChar(std::string_view line) {
  return line.size() >= 2 && line[0] == 'S' && line[1] >= '0' && line[1] <= '9' ? line[1] : '?';
}

}  // namespace

FlashLoader::FlashLoader(LoaderOptions options, std::optional<FlashImage> expected)
    : options_(std::move(options)), expected_(std::move(expected)) {}

// A new session: whatever an earlier upload left behind is gone (the boot code starts over
// and the loader erases the flash before it writes).
void FlashLoader::Enter(ReceiverModel& /*rx*/) {
  ++flash_updates_;
  phase_ = Phase::kHeader;
  header_.clear();
  image_size_ = 0;
  image_seen_ = 0;
  trailer_.clear();
  ignored_ = 0;
  line_.clear();
  discarding_ = false;
  silent_logged_ = false;
  records_ = 0;
  rejected_ = 0;
  data_bytes_ = 0;
  image_ = FlashImage();
}

bool FlashLoader::PowerCycle(ReceiverModel& /*rx*/) {
  phase_ = Phase::kHeader;  // the upload is gone; the next update starts anew at Enter
  return in_part_;
}

std::string FlashLoader::Answer(bool accepted) const {
  std::string answer = options_.answer_prefix;
  answer += 'S';
  answer += accepted ? options_.answer_char : 'E';
  return answer + "\r\n";
}

size_t FlashLoader::Receive(ReceiverModel& rx, std::span<const uint8_t> bytes) {
  if (phase_ != Phase::kRecords) return ReceiveUpload(rx, bytes);
  for (size_t i = 0; i < bytes.size(); ++i) {
    const uint8_t byte = bytes[i];
    if (discarding_) {
      discarding_ = byte != '\n';
      continue;
    }
    line_ += static_cast<char>(byte);
    if (byte == '\n') {
      if (TakeLine(rx, false)) return i + 1;  // the new firmware judges the rest
    } else if (line_.size() > kMaxLine) {
      TakeLine(rx, true);
      discarding_ = true;
    }
  }
  return bytes.size();
}

// The boot code's part: header, image, trailer. Everything it does not expect is counted
// and logged as ignored.
size_t FlashLoader::ReceiveUpload(ReceiverModel& rx, std::span<const uint8_t> bytes) {
  size_t i = 0;
  while (i < bytes.size() && phase_ != Phase::kRecords) {
    const uint8_t byte = bytes[i];
    switch (phase_) {
      case Phase::kHeader:
        ++i;
        if (header_.empty() && byte != kHeaderMark) {
          ++ignored_;
          break;
        }
        if (header_.size() == 1 && byte != 0x00) {
          FlushIgnored(rx);
          rx.Log(Format("ignored loader-header hex=53%02x: second byte not 00", unsigned{byte}));
          header_.clear();
          if (byte == kHeaderMark) header_.push_back(byte);
          break;
        }
        header_.push_back(byte);
        if (header_.size() < kHeaderSize) break;
        FlushIgnored(rx);
        image_size_ = (uint32_t{header_[2]} << 24) | (uint32_t{header_[3]} << 16) |
                      (uint32_t{header_[4]} << 8) | header_[5];
        rx.Log(Format("loader-header speed=%d hex=%s size=%u", rx.speed(), Hex(header_).c_str(),
                      image_size_));
        phase_ = image_size_ == 0 ? Phase::kTrailer : Phase::kImage;
        break;
      case Phase::kImage: {
        const size_t take = std::min<size_t>(bytes.size() - i, image_size_ - image_seen_);
        image_seen_ += static_cast<uint32_t>(take);
        i += take;
        if (image_seen_ == image_size_) {
          rx.Log(Format("loader-image bytes=%u", image_seen_));
          phase_ = Phase::kTrailer;
        }
        break;
      }
      case Phase::kTrailer:
        ++i;
        trailer_.push_back(byte);
        if (trailer_.size() < kTrailerSize) break;
        rx.Log("loader-trailer hex=" + Hex(trailer_));
        if (std::all_of(trailer_.begin(), trailer_.end(), [](uint8_t b) { return b == 0; })) {
          phase_ = Phase::kRecords;  // the loader runs
        } else {
          // The boot code did not find the end of the upload where the size said: the
          // loader never starts, and the receiver stays deaf until it is reset.
          rx.Log("ignored loader-trailer: not 00000000, loader not started");
          phase_ = Phase::kDead;
        }
        break;
      case Phase::kDead:
        ignored_ += bytes.size() - i;
        i = bytes.size();
        break;
      case Phase::kDone:  // the new firmware has the line; nothing reaches the loader
        i = bytes.size();
        break;
      case Phase::kRecords:
        break;
    }
  }
  if (phase_ == Phase::kDead) FlushIgnored(rx);
  // What follows the trailer in the same read is already the loader's.
  if (i < bytes.size() && phase_ == Phase::kRecords) return i + Receive(rx, bytes.subspan(i));
  return std::max<size_t>(i, 1);
}

void FlashLoader::FlushIgnored(ReceiverModel& rx) {
  if (ignored_ == 0) return;
  rx.Log(Format(phase_ == Phase::kDead ? "ignored bytes=%zu: loader not running"
                                       : "ignored bytes=%zu: before the loader header",
                ignored_));
  ignored_ = 0;
}

// One whole line (or the first kMaxLine + 1 bytes of an overlong one) is a record.
bool FlashLoader::TakeLine(ReceiverModel& rx, bool overlong) {
  const std::string line = std::exchange(line_, {});
  const uint64_t n = ++records_;
  const int type = TypeChar(line) == '?' ? -1 : TypeChar(line) - '0';

  const bool faults = flash_updates_ == 1;
  if (faults && options_.silent_after_record && n > *options_.silent_after_record) {
    // A hung loader: it neither checks nor answers nor flashes, and never ends.
    if (!silent_logged_) {
      rx.Log(Format("loader-silent after-record=%llu: by option",
                    static_cast<unsigned long long>(*options_.silent_after_record)));
      silent_logged_ = true;
    }
    LogRecord(rx, type, "none");
    return false;
  }
  if (overlong) {
    Reject(rx, type, "overlong");
    return false;
  }
  SRecord record;
  const RecordFault fault = ParseRecord(line, record);
  if (fault != RecordFault::kNone) {
    Reject(rx, record.type, FaultName(fault));
    return false;
  }
  if (faults && n == options_.reject_record) {
    Reject(rx, record.type, "by-option");
    return false;
  }
  if (IsTerminationType(record.type)) {
    LogRecord(rx, record.type, "none");  // the updater does not wait for an answer
    Finish(rx);
    return true;
  }
  if (IsDataType(record.type)) {
    in_part_ = true;
    image_.Write(record.address, record.data);
    data_bytes_ += record.data.size();
  }
  // Header (0) and count (5, 6) records are accepted without further effect.
  rx.Send(frames::Bytes(Answer(true)));
  LogRecord(rx, record.type, std::string{'S', options_.answer_char});
  return false;
}

void FlashLoader::Reject(ReceiverModel& rx, int type, std::string_view reason) {
  ++rejected_;
  rx.Log(Format("record-rejected n=%llu reason=%.*s", static_cast<unsigned long long>(records_),
                static_cast<int>(reason.size()), reason.data()));
  rx.Send(frames::Bytes(Answer(false)));
  LogRecord(rx, type, "SE");
}

void FlashLoader::LogRecord(ReceiverModel& rx, int type, std::string_view answer) {
  if (!options_.log_records) return;
  rx.Log(Format("record n=%llu type=%c answer=%.*s", static_cast<unsigned long long>(records_),
                type < 0 ? '?' : static_cast<char>('0' + type), static_cast<int>(answer.size()),
                answer.data()));
}

void FlashLoader::Finish(ReceiverModel& rx) {
  std::string match = "unknown";
  std::optional<uint32_t> difference;
  if (expected_) {
    difference = image_.FirstDifference(*expected_);
    match = difference ? "no" : "yes";
  }
  rx.Log(Format("flash-end records=%llu data-bytes=%llu match=%s",
                static_cast<unsigned long long>(records_),
                static_cast<unsigned long long>(data_bytes_), match.c_str()));
  if (difference) {
    const auto show = [](std::optional<uint8_t> b) {
      return b ? Format("%02x", unsigned{*b}) : std::string("none");
    };
    rx.Log(Format("flash-mismatch address=0x%08x flashed=%s expected=%s", *difference,
                  show(image_.At(*difference)).c_str(),
                  show(expected_->At(*difference)).c_str()));
  }
  phase_ = Phase::kDone;
  in_part_ = false;
  rx.RunNewFirmware(options_.after_flash_speed, options_.new_version,
                    options_.version_after_flash);
}

}  // namespace larkspan::sim
