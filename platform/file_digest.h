// The SHA-256 of a file, as the upgrade history names the payload files a receiver was
// flashed with and the updater knows the generated test payloads. Through OpenSSL's libcrypto (Debian's libssl-dev): a digest is no place for
// code of our own. Any thread.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace larkspan {

// Lower-case hex, or nothing when the file cannot be read.
std::optional<std::string> Sha256OfFile(const std::filesystem::path& file);
// The same of what the open descriptor `fd` holds, read from its start without moving its
// position.
std::optional<std::string> Sha256OfDescriptor(int fd);

}  // namespace larkspan
