// SoakSink: the user sink of one soak run, which records what the updater shows.
// Each run owns one: the run's own thread (the startup version read) and its upgrade worker
// call it, and the run's thread reads it back. Every member takes a lock: any thread may call it.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/user_sink.h"

namespace larkspan::soak {

// Boxes count as acknowledged at once; the end of the process is only recorded (the worker
// then goes on, and reports the failure itself).
class SoakSink final : public UserSink {
 public:
  void ShowMessage(const MessageBox& box) override;
  void ShowStatus(const WideText& status) override;
  void Progress(ProgressOp, int, int) override {}

  // Each box as "caption: text".
  std::vector<std::string> boxes() const;
  std::vector<std::string> statuses() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> boxes_;
  std::vector<std::string> statuses_;
};

}  // namespace larkspan::soak
