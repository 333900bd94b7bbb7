#include "transfer/test_payloads.h"

#include "receiver/port_name.h"

namespace larkspan {

bool RefuseTestPayloads(ProgramState& state, const PayloadDigests& generated) {
  if (state.ports.IsPseudoTerminal(kCom1)) return false;
  if (state.loader_file.Sha256() != generated.loader && state.srecord_file.Sha256() != generated.firmware) {
    return false;
  }
  state.sink.ShowMessage({kTestPayloadsText, u"Update", BoxOwner::kDialog, BoxIcon::kWarning});
  state.CloseChannelsAndFiles();
  return true;
}

}  // namespace larkspan
