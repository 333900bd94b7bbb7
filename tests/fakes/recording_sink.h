// A user sink that records everything shown, in order, as readable lines:
//   "box Caption: text", "status text", "progress set-range 0 100", "end 3".
// Boxes are acknowledged at once. Thread-safe, so a worker thread may report into it; a test may
// act the moment a status is shown.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/user_sink.h"

namespace larkspan::testing {

class RecordingSink final : public UserSink {
 public:
  void ShowMessage(const MessageBox& box) override;
  void ShowStatus(const WideText& status) override;
  void Progress(ProgressOp op, int a, int b) override;
  void EndProcess(int status) override;

  // Called on the reporting thread with each status text, after it is recorded.
  std::function<void(const std::string& status)> on_status;

  std::vector<std::string> Lines() const;
  std::vector<MessageBox> Boxes() const;
  // Only the "box ..." lines, without the "box " prefix.
  std::vector<std::string> BoxLines() const;
  // The status texts in order; with `skip_percentages`, those that are not "<n>%".
  std::vector<std::string> Statuses(bool skip_percentages = false) const;
  void Clear();

 private:
  void Add(std::string line);
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  std::vector<MessageBox> boxes_;
};

}  // namespace larkspan::testing
