// `larkspan-cli ports`: the serial devices of the machine, to find the receiver among them,
// as a table or as JSON lines, and with --probe the firmware version each free one reports.
#pragma once

#include <map>
#include <string>

#include "platform/serial_devices.h"

namespace larkspan {

// What listening at 4800 baud found on a device: the receiver's version, or why none.
struct ProbeResult {
  std::string version;  // empty when none was heard
  std::string why_not;
};
using ProbeResults = std::map<std::string, ProbeResult>;  // by device node

// Listens on every device that no process holds and that is not the kernel's console for the
// receiver's NMEA version sentence, all at once, one reader window each (12 to 14 s).
ProbeResults ProbePorts(const SerialDeviceList& list);

// The listing as a table for people, and as one JSON object a line. `probe` is null without
// --probe.
std::string PortsTable(const SerialDeviceList& list, const ProbeResults* probe);
std::string PortsJsonLines(const SerialDeviceList& list, const ProbeResults* probe);

}  // namespace larkspan
