#include "tests/e2e/mock_logind.h"

#include <unistd.h>

#include <filesystem>
#include <stdexcept>

namespace larkspan::e2e {

MockLogind::MockLogind() : address_("unix:path=" + (dir_.path() / "bus").string()) {
  bus_ = Spawn({"/usr/bin/dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=" + address_},
               dir_.path() / "bus.out", dir_.path() / "bus.err");
  for (int i = 0; i < 250 && !std::filesystem::exists(dir_.path() / "bus"); ++i) usleep(20000);
  // Debian's dbusmock loads in the system's own Python.
  logind_ = Spawn({"/usr/bin/python3", "-m", "dbusmock", "--system", "--template", "logind", "--logfile",
                   dir_.path() / "calls.log"},
                  dir_.path() / "logind.out", dir_.path() / "logind.err", {"DBUS_SYSTEM_BUS_ADDRESS=" + address_});
  for (int i = 0; i < 250 && Inhibitors().empty(); ++i) usleep(20000);
  if (Inhibitors().empty()) {
    Stop(logind_);
    Stop(bus_);
    throw std::runtime_error("the mock logind did not start: " + ReadFile(dir_.path() / "logind.err"));
  }
}

MockLogind::~MockLogind() {
  Stop(logind_);
  Stop(bus_);
}

std::string MockLogind::Inhibitors() const {
  const RunResult run = Run({"/usr/bin/dbus-send", "--bus=" + address_, "--print-reply", "--dest=org.freedesktop.login1",
                             "/org/freedesktop/login1", "org.freedesktop.login1.Manager.ListInhibitors"},
                            10);
  return run.exit_status == 0 ? run.out : "";
}

}  // namespace larkspan::e2e
