// The device root: the folder the installer writes the payload files into and the updater
// resolves their bare names against ($LARKSPAN_ROOT, else the user's data folder), and the
// folder that stands for the registry ($LARKSPAN_REGISTRY, else the user's config folder).
// Read from the environment; any thread. Both are absolute: programs call them once, at start,
// so that a relative $LARKSPAN_ROOT means the folder it meant then. A relative XDG folder is
// ignored (the XDG rules say so), and without $HOME the home folder comes from the password
// database.
#pragma once

#include <filesystem>

namespace larkspan {

std::filesystem::path DeviceRoot();
std::filesystem::path RegistryRoot();
// The upgrade history: $XDG_STATE_HOME/larkspan/history.jsonl, else ~/.local/state/larkspan/.
std::filesystem::path HistoryFile();

// `path` made absolute against the working directory, or as it is when that cannot be had.
std::filesystem::path AbsolutePath(const std::filesystem::path& path);

}  // namespace larkspan
