// The parts of larkspan-cli's commands that an upgrade of one receiver and of several at once
// share: how a run ended and its result event, the payload files' check as printed, the slow
// USB-serial line's warning, the version as shown and the firmware file's record count.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

#include "frontend/cli/cli_options.h"
#include "frontend/session/box_witness.h"
#include "frontend/session/upgrade_session.h"
#include "platform/text.h"
#include "platform/tty_latency.h"
#include "receiver/program_state.h"
#include "transfer/payload_file_check.h"

namespace larkspan {

// The result event of --json: the last line of a run, with its hint (none: empty).
nlohmann::ordered_json ResultEvent(const Outcome& outcome, const std::optional<std::string>& old_version,
                                   const std::optional<std::string>& new_version, double seconds,
                                   const std::string& hint);

// A version as shown: "Label: text" (the receiver's leading space kept as the separator), and
// its --json event ("current" or "new", the text without leading spaces).
std::string VersionLine(const char* label, const std::string& text);
nlohmann::ordered_json VersionEvent(const char* which, const std::string& text);

// What a file's check found, one a line, each after `prefix`: its error (or "ok" when
// `say_ok`), then its warnings. True when it has no error.
bool PrintFindings(std::FILE* out, const std::string& prefix, const PayloadCheck& check, bool say_ok);

// Said once, before an upgrade, for a USB-serial adapter that keeps received bytes back: what
// its latency timer will cost over the firmware file's records, and how a user allows the
// updater to lower it.
void TellSlowLine(const SlowLine& line, const std::filesystem::path& firmware, std::FILE* err = stderr);

// The firmware file's records, for the progress line's total: its lines.
uint64_t CountRecords(const std::filesystem::path& firmware);

}  // namespace larkspan
