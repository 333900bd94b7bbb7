// The limits of the firmware S-record file that the updater's reader relies on. Shared by
// the S-record stream and the payload checks.
#pragma once

#include <cstddef>

namespace larkspan {

// One record, from its mark to its line end, fills at most this many bytes...
inline constexpr size_t kRecordSpace = 300;
// ...so its count field is at most 147: 4 + (147 + 1) * 2 = 300.
inline constexpr unsigned kMaxRecordCount = (kRecordSpace - 4) / 2 - 1;

}  // namespace larkspan
