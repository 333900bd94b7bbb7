# Writes OUT, a header with the SHA-256 of the generated payload files LOADER and FIRMWARE:
# how the programs know those files without carrying make-payloads. Rewritten only when a
# digest changed, so that nothing is rebuilt for nothing.
file(SHA256 "${LOADER}" loader)
file(SHA256 "${FIRMWARE}" firmware)
file(WRITE "${OUT}.new" "// Written by the build (tools/make_payloads/write_digests.cmake): the SHA-256 of the payload
// files make-payloads writes, which the updater sends only to a pseudo-terminal.
#pragma once

namespace larkspan::generated {

inline constexpr char kLoaderSha256[] = \"${loader}\";
inline constexpr char kFirmwareSha256[] = \"${firmware}\";

}  // namespace larkspan::generated
")
file(COPY_FILE "${OUT}.new" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.new")
