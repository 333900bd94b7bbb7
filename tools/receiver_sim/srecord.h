// Motorola S-records as the simulated flash loader judges them, and the flash image they
// build: one line is checked on its own (mark, type, count, hex, checksum, CR LF), data
// records are written into a sparse address → byte map. Plain values; any thread.
#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "transfer/srecord_format.h"

namespace larkspan::sim {

// What the loader holds against a line, in the order it checks.
enum class RecordFault {
  kNone,
  kBadLineEnd,   // the line does not end with CR LF
  kNoMark,       // first byte is not 'S'
  kUnknownType,  // type is not one of 0, 1, 2, 3, 5, 6, 7, 8, 9
  kBadCount,     // count field is not two hex digits
  kBadLength,    // not exactly 2 × count characters between the count and the line end
  kBadHex,       // a non-hex character among them
  kShortCount,   // count too small for the type's address and the checksum
  kBadChecksum,  // checksum byte is not the one's complement of the sum
};
std::string_view FaultName(RecordFault fault);  // "bad-line-end", "no-mark", ...

struct SRecord {
  int type = -1;  // 0..9; -1 when the type character was not a digit
  uint32_t address = 0;
  std::vector<uint8_t> data;  // between the address and the checksum
};

// Types 1, 2, 3 carry bytes to flash; types 7, 8, 9 end the stream.
constexpr bool IsDataType(int type) { return type >= 1 && type <= 3; }
constexpr bool IsTerminationType(int type) { return type >= 7 && type <= 9; }

// Checks one line as received, line end included. Fills `out` as far as the line could be
// read (at least the type, when its character is a digit), whatever the verdict.
RecordFault ParseRecord(std::string_view line, SRecord& out);


// A sparse flash image: which addresses were written, and with what. Writing an address
// twice keeps the last byte.
class FlashImage {
 public:
  void Write(uint32_t address, std::span<const uint8_t> bytes);
  std::optional<uint8_t> At(uint32_t address) const;
  // Distinct addresses written.
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // The lowest address at which the two images differ (written in one only, or with other
  // bytes); nothing when they are equal.
  std::optional<uint32_t> FirstDifference(const FlashImage& other) const;
  bool operator==(const FlashImage& other) const { return pages_ == other.pages_; }

 private:
  static constexpr uint32_t kPageBits = 8;
  static constexpr uint32_t kPageSize = 1u << kPageBits;
  struct Page {
    std::array<uint8_t, kPageSize> bytes{};  // zero where not written, so == compares content
    std::bitset<kPageSize> written;
    bool operator==(const Page&) const = default;
  };
  std::map<uint32_t, Page> pages_;  // by address >> kPageBits
  size_t size_ = 0;
};

// Reads an S-record file into `image`: every record up to the first termination record is
// checked (lines may end with CR LF or LF alone), and the data records are written. On a
// bad record or an unreadable file returns false and says why in `error`.
bool LoadSRecordFile(const std::string& path, FlashImage& image, std::string* error);
// The same for text already in memory; `name` prefixes the error.
bool LoadSRecords(std::string_view text, std::string_view name, FlashImage& image,
                  std::string* error);

}  // namespace larkspan::sim
