// What a user is told, besides the box, when the receiver's port cannot be opened: the cause
// in plain words and what to do about it. Built from what the system shows without opening
// any device: the node's owner and mode, the processes holding it, the serial devices there
// are, and whether ModemManager runs.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "platform/serial_devices.h"

namespace larkspan {

// Lines ending in '\n', each meant to follow the program's name on standard error. `ttys`
// are the machine's ttys (UdevTtys()).
std::string ExplainOpenFailure(const std::string& path, int error, const std::vector<TtyFacts>& ttys,
                               const SystemFiles& files = {});

// Prints that explanation on `err` (standard error), each line after "`program`: ".
void TellOpenFailure(const char* program, const std::string& path, int error, std::FILE* err = stderr);

// Prints on `err` (standard error) that the port shows CTS low, so that the probe channel
// sends without CTS flow control.
void TellCtsLow(const char* program, const std::string& path, std::FILE* err = stderr);

}  // namespace larkspan
