// The payloads make-payloads writes are random bytes in a release's layout: flashed into a
// real receiver they would leave it without working firmware. The updater knows them by their
// content and sends them only to a pseudo-terminal, where a simulated receiver listens.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "receiver/program_state.h"

namespace larkspan {

struct GeneratedPayloads {
  std::vector<uint8_t> loader;  // the flash loader image
  std::string firmware;         // the firmware S-record file
};

inline constexpr char16_t kTestPayloadsText[] =
    u"These files are test data made by make-payloads, not firmware for a real receiver.";

// Called after the payload files are opened and before anything goes to the receiver. When
// COM1 is not a pseudo-terminal and either open file is, byte for byte, the generated one:
// shows the "Update" box with a warning icon, closes the channels and files, and returns true.
// `generated` is asked for the generated files only then.
bool RefuseTestPayloads(ProgramState& state, const std::function<GeneratedPayloads()>& generated);

}  // namespace larkspan
