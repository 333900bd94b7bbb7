// The device root: the folder the installer writes the payload files into and the updater
// resolves their bare names against ($LARKSPAN_ROOT, else the user's data folder), and the
// folder that stands for the registry ($LARKSPAN_REGISTRY, else the user's config folder).
// Read from the environment; any thread.
#pragma once

#include <filesystem>

namespace larkspan {

std::filesystem::path DeviceRoot();
std::filesystem::path RegistryRoot();

}  // namespace larkspan
