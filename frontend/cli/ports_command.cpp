#include "frontend/cli/ports_command.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include "frontend/session/upgrade_session.h"
#include "platform/clock.h"
#include "platform/device_root.h"
#include "platform/port_names.h"
#include "platform/registry.h"
#include "platform/termios_serial_port.h"
#include "receiver/program_state.h"
#include "receiver/version_reader.h"

namespace larkspan {

namespace {

constexpr char kConsoleText[] = "kernel console, never opened";

// A probe shows nothing: what it found goes into its result.
class QuietSink final : public UserSink {
 public:
  void ShowMessage(const MessageBox&) override {}
  void ShowStatus(const WideText&) override {}
  void Progress(ProgressOp, int, int) override {}
};



// Opens the device as the update channel does (exclusively, 4800 baud) and runs one window of
// the version reader on it.
ProbeResult ProbeOne(const std::string& node) {
  int open_error = 0;
  TermiosSerialPorts ports(PortNames{node});
  ports.on_open_failure = [&](const std::string&, int error) { open_error = error; };
  SystemClock clock;
  QuietSink sink;
  FileRegistry registry(RegistryRoot());  // not touched: nothing is recorded
  ProgramState state(ports, clock, sink, registry);
  state.update_channel.Open();
  if (!state.update_channel.IsOpen()) return {"", std::string("cannot be opened: ") + std::strerror(open_error)};
  const bool heard = ReadVersion(state) == VersionRead::kSeen;
  state.update_channel.Close();
  if (!heard) return {"", "no version heard"};
  return {TrimVersion(ToUtf8(state.current_version)), ""};
}

std::string InUse(const SerialDevice& device) {
  if (device.console) return kConsoleText;
  std::string text;
  for (const PortHolder& holder : device.holders) {
    text += (text.empty() ? "" : ", ") + holder.name + " (pid " + std::to_string(holder.pid) + ")";
  }
  return text;
}

std::string ProbeText(const ProbeResult& result) {
  return result.version.empty() ? result.why_not : "version " + result.version;
}

}  // namespace

ProbeResults ProbePorts(const SerialDeviceList& list) {
  ProbeResults results;
  std::vector<std::pair<std::string, ProbeResult>> found;
  for (const SerialDevice& device : list.devices) {
    if (device.console) {
      results[device.node] = {"", "not probed: the kernel's console"};
    } else if (!device.holders.empty()) {
      results[device.node] = {"", "not probed: held by another process"};
    } else {
      found.emplace_back(device.node, ProbeResult{});
    }
  }
  {
    std::vector<std::jthread> listeners;
    for (auto& [node, result] : found) listeners.emplace_back([&node, &result] { result = ProbeOne(node); });
  }
  for (auto& [node, result] : found) results[node] = std::move(result);
  return results;
}

std::string PortsTable(const SerialDeviceList& list, const ProbeResults* probe) {
  if (list.devices.empty()) return "No serial devices found (pseudo-terminals and virtual consoles are not listed).\n";
  std::vector<std::vector<std::string>> rows{{"DEVICE", "BY-ID", "DRIVER", "USB", "PRODUCT", "IN USE"}};
  if (probe) rows[0].push_back("PROBE AT 4800 BAUD");
  for (const SerialDevice& device : list.devices) {
    rows.push_back({device.node, device.by_id, device.driver, device.usb_id, device.product, InUse(device)});
    if (probe) rows.back().push_back(probe->contains(device.node) ? ProbeText(probe->at(device.node)) : "");
  }
  std::vector<size_t> widths(rows[0].size(), 0);
  for (auto& row : rows) {
    for (size_t i = 0; i < row.size(); ++i) {
      if (row[i].empty()) row[i] = "-";
      widths[i] = std::max(widths[i], row[i].size());
    }
  }
  std::string text;
  for (const auto& row : rows) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) line += row[i] + std::string(widths[i] - row[i].size() + 2, ' ');
    text += line.erase(line.find_last_not_of(' ') + 1) + "\n";
  }
  if (list.holders_unseen) {
    text += "Processes of other users cannot be seen; this shows what holds a device: sudo fuser -v DEVICE\n";
  }
  return text;
}

std::string PortsJsonLines(const SerialDeviceList& list, const ProbeResults* probe) {
  const auto text_or_null = [](const std::string& text) { return text.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(text); };
  std::string lines;
  for (const SerialDevice& device : list.devices) {
    nlohmann::ordered_json holders = nlohmann::ordered_json::array();
    for (const PortHolder& holder : device.holders) holders.push_back({{"pid", holder.pid}, {"name", holder.name}});
    nlohmann::ordered_json line = {{"event", "port"},
                           {"node", device.node},
                           {"by_id", text_or_null(device.by_id)},
                           {"driver", text_or_null(device.driver)},
                           {"usb_id", text_or_null(device.usb_id)},
                           {"product", text_or_null(device.product)},
                           {"console", device.console},
                           {"held_by", holders},
                           {"holders_all_seen", !list.holders_unseen}};
    if (probe && probe->contains(device.node)) {
      line["version"] = text_or_null(probe->at(device.node).version);
      line["probe"] = ProbeText(probe->at(device.node));
    }
    lines += line.dump() + "\n";
  }
  return lines;
}

}  // namespace larkspan
