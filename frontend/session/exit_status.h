// The exit statuses of larkspan-cli, and of the sessions every front-end runs: what failed
// first. Any thread.
#pragma once

namespace larkspan::exit_status {
inline constexpr int kOk = 0;
inline constexpr int kFailed = 1;           // the upgrade failed after the receiver was touched
inline constexpr int kUsage = 2;
inline constexpr int kPortUnavailable = 3;  // the port cannot be opened
inline constexpr int kPayloadsRefused = 4;  // a failed check, or test data on a real port
inline constexpr int kReceiverSilent = 5;   // no answer before anything was flashed
inline constexpr int kNotBackToNmea = 6;    // flashed, but not brought back to NMEA
inline constexpr int kDeclined = 7;         // the user did not confirm the upgrade: nothing was sent
}  // namespace larkspan::exit_status
