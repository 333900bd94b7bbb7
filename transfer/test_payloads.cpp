#include "transfer/test_payloads.h"

#include <span>

#include "receiver/port_name.h"

namespace larkspan {

bool RefuseTestPayloads(ProgramState& state, const std::function<GeneratedPayloads()>& generated) {
  if (state.ports.IsPseudoTerminal(kCom1)) return false;
  const GeneratedPayloads known = generated();
  const std::span<const uint8_t> firmware(reinterpret_cast<const uint8_t*>(known.firmware.data()),
                                          known.firmware.size());
  if (!state.loader_file.HasContent(known.loader) && !state.srecord_file.HasContent(firmware)) return false;
  state.sink.ShowMessage({kTestPayloadsText, u"Update", BoxOwner::kDialog, BoxIcon::kWarning});
  state.CloseChannelsAndFiles();
  return true;
}

}  // namespace larkspan
