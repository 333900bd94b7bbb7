// The installed-version record: after an upgrade the updater leaves the new firmware version
// text in the registry, value "FW" of HKEY_LOCAL_MACHINE\SOFTWARE\Apps\Tessan SW. The key is
// opened, never created; nothing is shown whatever happens. Called by the upgrade worker.
#pragma once

#include <string_view>

#include "platform/registry.h"

namespace larkspan {

// The firmware version this updater installs, as the dialog shows it and the record stores it.
inline constexpr std::string_view kNewVersionText = " 2.4.13.03.10";
inline constexpr char16_t kInstalledVersionRoot[] = u"HKEY_LOCAL_MACHINE";
inline constexpr char16_t kInstalledVersionKey[] = u"SOFTWARE\\Apps\\Tessan SW";
inline constexpr char16_t kInstalledVersionValue[] = u"FW";

// Writes the new version text into the installed-version key when that key exists. False
// when the key exists but the value could not be set; a missing key is no failure.
bool RecordInstalledVersion(Registry& registry);

// Stores `text` (8-bit ASCII, at most 255 characters are kept) as a REG_SZ value: its
// characters widened to 16 bits, then a 16-bit zero. Returns 1 on success, 0 otherwise.
int WriteVersionValue(RegistryKey& key, std::u16string_view value_name, std::string_view text);

}  // namespace larkspan
