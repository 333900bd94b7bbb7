// Replacing a file so that a crash at any moment leaves the old or the new content, never a
// torn one: the bytes go to a temporary file in the same folder, reach the disk, and the
// temporary file is renamed over the old one. Any thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

namespace larkspan {

// Writes `bytes` as `file` with permissions `mode`. On failure the old file is untouched, no
// temporary file is left, and `error` (when given) says what failed.
bool ReplaceFileAtomically(const std::filesystem::path& file, std::span<const uint8_t> bytes, mode_t mode = 0644,
                           std::string* error = nullptr);

}  // namespace larkspan
