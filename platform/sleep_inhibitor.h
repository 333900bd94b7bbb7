// The machine does not sleep while a worker runs. The handheld kept that promise by resetting
// its idle timer at every tick of the upgrade; on Linux it is a systemd-logind inhibitor lock
// ("sleep:idle", block mode), taken when a worker starts and released when it ends, however
// it ends (a process that ends drops its descriptor, and with it the lock). Where there is no
// system bus or no logind, the upgrade goes on without it. Used by the worker's thread.
#pragma once

#include <functional>
#include <string>

namespace larkspan {

class SleepInhibitor {
 public:
  virtual ~SleepInhibitor() = default;
  // Takes the lock; false, with the reason in `why`, when it cannot be had.
  virtual bool Take(std::string& why) = 0;
  // Releases a lock taken; nothing when none is held.
  virtual void Release() = 0;
};

// Holds nothing: for a run whose lock someone else holds (the several-port mode holds one for
// all its receivers) and for tests.
class NoSleepInhibitor final : public SleepInhibitor {
 public:
  bool Take(std::string&) override { return true; }
  void Release() override {}
};

// Through sd-bus on the system bus ($DBUS_SYSTEM_BUS_ADDRESS, else the system's own).
class LogindInhibitor final : public SleepInhibitor {
 public:
  LogindInhibitor() = default;
  LogindInhibitor(const LogindInhibitor&) = delete;
  LogindInhibitor& operator=(const LogindInhibitor&) = delete;
  ~LogindInhibitor() override { Release(); }
  bool Take(std::string& why) override;
  void Release() override;

 private:
  int fd_ = -1;  // the lock: logind keeps it while this descriptor is open
};

// Holds the lock for its lifetime. `on_refused` is told why when it cannot be had.
class SleepHold {
 public:
  explicit SleepHold(SleepInhibitor& inhibitor, const std::function<void(const std::string& why)>& on_refused = {});
  ~SleepHold() { inhibitor_.Release(); }
  SleepHold(const SleepHold&) = delete;
  SleepHold& operator=(const SleepHold&) = delete;

 private:
  SleepInhibitor& inhibitor_;
};

}  // namespace larkspan
