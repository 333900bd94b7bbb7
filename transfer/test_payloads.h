// The payloads make-payloads writes are random bytes in a release's layout: flashed into a
// real receiver they would leave it without working firmware. The updater knows them by their
// SHA-256, which the build hands it, and sends them only to a pseudo-terminal, where a
// simulated receiver listens.
#pragma once

#include <string>

#include "receiver/program_state.h"

namespace larkspan {

// Two payload files by their SHA-256, lower-case hex.
struct PayloadDigests {
  std::string loader;    // the flash loader image
  std::string firmware;  // the firmware S-record file
};

inline constexpr char16_t kTestPayloadsText[] =
    u"These files are test data made by make-payloads, not firmware for a real receiver.";

// Called after the payload files are opened and before anything goes to the receiver. When
// COM1 is not a pseudo-terminal and either open file is, byte for byte, the generated one:
// shows the "Update" box with a warning icon, closes the channels and files, and returns true.
bool RefuseTestPayloads(ProgramState& state, const PayloadDigests& generated);

}  // namespace larkspan
