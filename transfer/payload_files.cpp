#include "transfer/payload_files.h"

#include <cstring>

namespace larkspan {

void OpenPayloadFiles(ProgramState& state, const std::filesystem::path& root) {
  state.loader_file.Open((root / kLoaderFileName).string());
  state.srecord_file.Open((root / kFirmwareFileName).string());
}

std::string UnopenedPayloadFiles(const ProgramState& state, const std::filesystem::path& root) {
  return UnopenedPayloadFiles(state.loader_file, state.srecord_file, root);
}

std::string UnopenedPayloadFiles(const ReadOnlyFile& loader, const ReadOnlyFile& firmware,
                                 const std::filesystem::path& root) {
  std::string lines;
  for (const auto& [file, name] : {std::pair{&loader, kLoaderFileName}, {&firmware, kFirmwareFileName}}) {
    if (!file->IsOpen()) lines += "cannot open " + (root / name).string() + ": " + std::strerror(file->error()) + "\n";
  }
  return lines;
}

}  // namespace larkspan
