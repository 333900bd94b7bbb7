#include "transfer/payload_files.h"

namespace larkspan {

void OpenPayloadFiles(ProgramState& state, const std::filesystem::path& root) {
  state.loader_file.Open((root / kLoaderFileName).string());
  state.srecord_file.Open((root / kFirmwareFileName).string());
}

}  // namespace larkspan
