// Checks of the payload files on disk: each opened without blocking (a FIFO or a device is
// refused, not waited on), read once, and judged by the checks of transfer/payload_check.h.
// Used by `larkspan-cli check` and `upgrade`, the session, the tests and the fuzzers. Any
// thread.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <vector>

#include "transfer/payload_check.h"

namespace larkspan {

// The first error of an S-record file (both lines named when a byte is written twice).
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
  std::optional<PayloadFault> fault;  // the first error: the upload would fail
  std::vector<PayloadFault> warnings;  // harmless to the upload; the first kMaxWarnings
  size_t more_warnings = 0;
};
// Checks a payload file of the given kind, or of the kind GuessPayloadKind finds.
PayloadCheck CheckPayloadFile(const std::filesystem::path& path, std::optional<PayloadKind> kind = std::nullopt);

}  // namespace larkspan
