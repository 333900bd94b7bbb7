// Writing the installer's payloads into the device root and starting the updater from
// there. No Qt: the installer dialog calls it on its one thread, and tests call it directly.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string_view>

#include "installer/embedded_payloads.h"

namespace larkspan {

// Writes the payload of `type` and `id` to the temporary file `temporary_name`, then copies
// it to `final_name`, both in `root`. A payload that is not in the table writes nothing.
// A temporary file that could not be created or fully written is not copied, and the final
// file is replaced atomically, so a good file from an earlier installation is never replaced
// by a partial one. The final file gets `mode`. Returns whether the final file was written.
bool ExtractPayload(const EmbeddedPayloads& payloads, const std::filesystem::path& root,
                    std::string_view temporary_name, std::string_view final_name, std::u16string_view type,
                    uint16_t id, mode_t mode);

// Starts `program` (an absolute path) with no arguments, in `working_folder` (absolute, the
// device root, also passed as $LARKSPAN_ROOT), with no descriptors beyond standard input,
// output and error, without waiting for it; a detached thread reaps it so that no zombie is
// left. Returns whether it started.
bool StartUpdater(const std::filesystem::path& program, const std::filesystem::path& working_folder);

}  // namespace larkspan
