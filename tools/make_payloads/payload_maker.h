// Builds stand-ins for the release's two receiver payloads, the flash loader image and the
// firmware S-record file, with the release's exact sizes and record layout and contents from
// a fixed seed, so every machine builds the same bytes. Pure functions; any thread. The file
// names are the updater's own (transfer/payload_files.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "transfer/payload_files.h"
#include "transfer/srecord_format.h"

namespace larkspan::payloads {

// Both files' bytes.
struct GeneratedPayloads {
  std::vector<uint8_t> loader;  // the flash loader image
  std::string firmware;         // the firmware S-record file
};

// The release's figures.
inline constexpr size_t kLoaderImageSize = 14'316;      // 0x37EC
inline constexpr size_t kFirmwareFileSize = 918'698;
inline constexpr size_t kFirmwareRecordCount = 19'141;  // header, data records, termination
inline constexpr size_t kFirmwareFullRecords = 19'138;  // data records with 16 data bytes
inline constexpr size_t kFirmwareLastRecordBytes = 12;  // data bytes of the last data record
inline constexpr size_t kFirmwareDataSize =
    kFirmwareFullRecords * 16 + kFirmwareLastRecordBytes;  // 306,220, at 0x00000000..0x0004AC2B

// The flash loader image: an ARM little-endian exception-vector table of branches, a reset
// handler's opening instructions, then seeded code-like words and data.
std::vector<uint8_t> BuildLoaderImage();
// The firmware's 306,220 data bytes, seeded.
std::vector<uint8_t> BuildFirmwareData();
// The whole firmware S-record file as it lies on disk.
std::string BuildFirmwareSRecords();

// Both files, as make-payloads writes them (the build hands their digests to the programs).
GeneratedPayloads BuildPayloads();

// Replaces `path` with `bytes`: a temporary file in the same directory, flushed to disk, then
// renamed over the target, so a reader sees the old file or the whole new one. On failure
// returns false with the cause in *error and leaves no temporary file behind.
bool WriteFileAtomically(const std::filesystem::path& path, std::string_view bytes,
                         std::string* error);
// Creates `dir` if needed and writes both payloads into it under their release names.
bool WritePayloads(const std::filesystem::path& dir, std::string* error);

}  // namespace larkspan::payloads
