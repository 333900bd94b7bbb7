// The payloads the installer carries, found by type name (any case) and numeric id as the
// handheld's resources were. The real table points at the bytes linked into the program;
// tests build tables of their own. Read-only; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace larkspan {

struct EmbeddedPayload {
  std::u16string_view type;  // as stored: "BIN", "EXE", "FIRMWARE"
  uint16_t id;
  std::span<const uint8_t> bytes;
};

class EmbeddedPayloads {
 public:
  explicit EmbeddedPayloads(std::vector<EmbeddedPayload> table) : table_(std::move(table)) {}
  virtual ~EmbeddedPayloads() = default;
  // The payload of that type (compared without regard to case) and id, or nothing.
  virtual std::optional<std::span<const uint8_t>> Find(std::u16string_view type, uint16_t id) const;

 private:
  std::vector<EmbeddedPayload> table_;
};

// The three payloads linked into this program: the flash loader image (BIN 141), the
// updater (EXE 142) and the firmware S-record file (FIRMWARE 143).
EmbeddedPayloads LinkedPayloads();

}  // namespace larkspan
