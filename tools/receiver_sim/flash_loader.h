// The simulated receiver's flash side: what runs in loader mode at 115200. First the boot
// code takes the flash loader upload (header 0x53 0x00 + 32-bit big-endian size, the image,
// trailer 00 00 00 00); then the loader takes the firmware S-records one line at a time,
// checks each, answers it and writes the data records into a flash image; the termination
// record starts the new firmware. Plugged into ReceiverModel; single-threaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tools/receiver_sim/receiver_model.h"
#include "tools/receiver_sim/srecord.h"

namespace larkspan::sim {

struct LoaderOptions {
  // Faults of the loader, in the first flash update only: one after a power cycle goes well.
  uint64_t reject_record = 0;                   // answer this record (1-based) as bad; 0: none
  std::optional<uint64_t> silent_after_record;  // records after this one get no answer
  std::string answer_prefix;                    // sent in front of every answer
  char answer_char = '5';                       // 'S' then this accepts a record
  bool log_records = false;                     // one log line per record
  // The new firmware, once flashed.
  int after_flash_speed = 115200;  // it starts in SiRF binary at this speed
  std::string new_version = " 2.4.13.03.10";
  bool version_after_flash = true;  // false: it never sends a version line
};

class FlashLoader : public FlashUpdateHook {
 public:
  // The longest line the loader keeps; a longer one without a line feed is junk.
  static constexpr size_t kMaxLine = 600;

  // `expected`: the data of the firmware file the updater should send, to compare the
  // flashed image with at the end; nothing when unknown.
  FlashLoader(LoaderOptions options, std::optional<FlashImage> expected);

  void Enter(ReceiverModel& rx) override;
  size_t Receive(ReceiverModel& rx, std::span<const uint8_t> bytes) override;
  bool PowerCycle(ReceiverModel& rx) override;

  // The answer line to a record, the prefix included: 'S' + answer char, or "SE".
  std::string Answer(bool accepted) const;

  // For tests: what the loader has seen so far.
  enum class Phase { kHeader, kImage, kTrailer, kRecords, kDead, kDone };
  Phase phase() const { return phase_; }
  uint64_t records() const { return records_; }
  uint64_t rejected() const { return rejected_; }
  uint64_t data_bytes() const { return data_bytes_; }
  const FlashImage& image() const { return image_; }

 private:
  size_t ReceiveUpload(ReceiverModel& rx, std::span<const uint8_t> bytes);
  // Returns true when the record ended the flashing (the mode has changed).
  bool TakeLine(ReceiverModel& rx, bool overlong);
  void Reject(ReceiverModel& rx, int type, std::string_view reason);
  void LogRecord(ReceiverModel& rx, int type, std::string_view answer);
  void FlushIgnored(ReceiverModel& rx);
  void Finish(ReceiverModel& rx);

  const LoaderOptions options_;
  const std::optional<FlashImage> expected_;

  Phase phase_ = Phase::kHeader;
  int flash_updates_ = 0;  // loader uploads begun
  bool in_part_ = false;   // the flash holds records of an update that did not end
  // Loader upload.
  std::vector<uint8_t> header_;
  uint32_t image_size_ = 0;
  uint32_t image_seen_ = 0;
  std::vector<uint8_t> trailer_;
  size_t ignored_ = 0;  // bytes before the header, not yet logged
  // S-record stream.
  std::string line_;
  bool discarding_ = false;  // dropping the rest of an overlong line, up to its line feed
  bool silent_logged_ = false;
  uint64_t records_ = 0;
  uint64_t rejected_ = 0;
  uint64_t data_bytes_ = 0;
  FlashImage image_;
};

}  // namespace larkspan::sim
