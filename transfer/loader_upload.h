// The loader upload: the first upload stage of the upgrade worker. At 115200 baud it sends
// the loader header with the image's size, every byte of the flash loader image in a write
// of its own, and the loader trailer; then it shows "Waiting..." while the receiver starts
// the loader. Worker thread.
#pragma once

#include <array>
#include <cstdint>

#include "receiver/program_state.h"
#include "transfer/worker_telemetry.h"

namespace larkspan {

// "S", 0, then the image size as a 32-bit big-endian count.
std::array<uint8_t, 6> LoaderHeader(uint32_t image_size);
inline constexpr std::array<uint8_t, 4> kLoaderTrailer = {0, 0, 0, 0};

// Uploads the open flash loader image. Every failure shows its box and the stage goes on,
// except that a byte that cannot be read from the image is never replaced by a stale one:
// the upload stops there and returns false, as the receiver now holds a broken loader.
// True when every byte of the image was read. The bytes sent are counted in `telemetry`.
bool UploadLoader(ProgramState& state, WorkerTelemetry& telemetry);

}  // namespace larkspan
