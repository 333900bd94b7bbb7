#include "platform/sleep_inhibitor.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstring>

namespace larkspan {

bool LogindInhibitor::Take(std::string& why) {
  Release();
  sd_bus* bus = nullptr;
  sd_bus_error error{};  // SD_BUS_ERROR_NULL, without its C compound literal
  sd_bus_message* reply = nullptr;
  int result = sd_bus_open_system(&bus);
  if (result >= 0) {
    result = sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                                "org.freedesktop.login1.Manager", "Inhibit", &error, &reply, "ssss", "sleep:idle",
                                "Larkspan", "Updating the GPS receiver's firmware", "block");
  }
  int fd = -1;
  if (result >= 0) result = sd_bus_message_read(reply, "h", &fd);
  // The reply owns the descriptor it carries: keep a copy of our own.
  if (result >= 0 && (fd_ = fcntl(fd, F_DUPFD_CLOEXEC, 3)) < 0) result = -errno;
  if (result < 0) {
    why = sd_bus_error_is_set(&error) ? error.message : std::strerror(-result);
  }
  sd_bus_message_unref(reply);
  sd_bus_error_free(&error);
  sd_bus_flush_close_unref(bus);
  return fd_ >= 0;
}

void LogindInhibitor::Release() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

SleepHold::SleepHold(SleepInhibitor& inhibitor, const std::function<void(const std::string& why)>& on_refused)
    : inhibitor_(inhibitor) {
  std::string why;
  if (!inhibitor_.Take(why) && on_refused) on_refused(why);
}

}  // namespace larkspan
