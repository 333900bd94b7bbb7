#include "transfer/loader_upload.h"

#include "transfer/percent_progress.h"

namespace larkspan {

namespace {
constexpr char16_t kCaption[] = u"Update";
constexpr uint32_t kLoaderStartSeconds = 8;

// One write of a fixed block, with the two checks the header and the trailer share. With
// `drain` the block counts as written only once it and everything before it have left the
// host: bytes still queued when the write's time ran out never reached the receiver.
void WriteBlock(ProgramState& state, std::span<const uint8_t> block, const char16_t* failed_text,
                const char16_t* short_text, bool drain = false) {
  size_t written = 0;
  if (!state.update_channel.Write(block, written)) ShowBox(state.sink, failed_text, kCaption);
  bool whole = written == block.size();
  size_t left_behind = 0;
  if (drain) whole = state.update_channel.Drain(left_behind) && left_behind == 0 && whole;
  if (!whole) ShowBox(state.sink, short_text, kCaption);
}
}  // namespace

std::array<uint8_t, 6> LoaderHeader(uint32_t image_size) {
  return {'S',
          0,
          static_cast<uint8_t>(image_size >> 24),
          static_cast<uint8_t>(image_size >> 16),
          static_cast<uint8_t>(image_size >> 8),
          static_cast<uint8_t>(image_size)};
}

bool UploadLoader(ProgramState& state, WorkerTelemetry& telemetry) {
  state.SetStatus(u"Transmitting target loader binary file..");
  // The header carries a 32-bit count. A size the file cannot report, or one beyond that
  // count, fails the upload as an unreadable byte does, before anything is sent: no header
  // could announce the image truly.
  const int64_t file_size = state.loader_file.Size();
  bool intact = file_size >= 0 && file_size <= int64_t{UINT32_MAX};
  const uint32_t size = intact ? static_cast<uint32_t>(file_size) : 0;
  if (intact) {
    WriteBlock(state, LoaderHeader(size), u"Error.. Incorrect upload of target loader file",
               u"Error.. Incorrect upload of target loader file");
  } else {
    ShowBox(state.sink, u"Error.. Cannot receive from file", kCaption);
    ShowBox(state.sink, u"Error.. Incorrect upload of target loader file", kCaption);
  }

  PercentProgress progress(state);
  // A stop ends the upload at the next byte, and the trailer does not go out.
  for (uint32_t i = 0; i < size && intact && !state.Stopping(); ++i) {
    uint8_t byte = 0;
    size_t read = 0;
    if (!state.loader_file.Read({&byte, 1}, read)) {
      ShowBox(state.sink, u"Error.. Cannot receive from file", kCaption);
    }
    if (read != 1) {
      ShowBox(state.sink, u"Error.. Incorrect upload of target loader file", kCaption);
      intact = false;  // sending any other byte in its place would flash a corrupt loader
      break;
    }
    size_t written = 0;
    if (!state.update_channel.Write({&byte, 1}, written)) {
      ShowBox(state.sink, u"Error.. Cannot transmit to UART", kCaption);
    }
    if (written != 1) ShowBox(state.sink, u"Error.. Incorrect transmit to UART", kCaption);
    telemetry.stage_done.store(uint64_t{i} + 1);
    progress.Update(uint64_t{i} + 1, size);
  }

  // A loader missing bytes must not be started: the trailer goes out only after a whole image.
  // The loader's 8 seconds start once the trailer has left the host, not while the driver
  // still holds the image's last bytes.
  if (intact && !state.Stopping()) {
    WriteBlock(state, kLoaderTrailer, u"Error.. Cannot transmit to UART", u"Error.. Incorrect transmit to UART",
               /*drain=*/true);
  }
  state.SetStatus(u"Waiting...");
  state.WaitSeconds(kLoaderStartSeconds);
  state.sink.Progress(ProgressOp::kSetPos, 0);
  return intact;
}

}  // namespace larkspan
