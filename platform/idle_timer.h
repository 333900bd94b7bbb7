// The system idle timer the dialog resets at every tick so that a handheld does not suspend
// during an upgrade. Linux has nothing to reset: the real back-end does nothing, and tests
// count the calls. Dialog thread.
#pragma once

namespace larkspan {

class IdleTimer {
 public:
  virtual ~IdleTimer() = default;
  virtual void Reset() = 0;
};

class NoIdleTimer final : public IdleTimer {
 public:
  void Reset() override {}
};

}  // namespace larkspan
