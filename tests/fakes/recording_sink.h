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
#include "tests/fakes/transcript.h"

namespace larkspan::testing {

class RecordingSink final : public UserSink {
 public:
  void ShowMessage(const MessageBox& box) override;
  void ShowStatus(const WideText& status) override;
  void Progress(ProgressOp op, int a, int b) override;

  Transcript* transcript = nullptr;  // when set, every line also goes there (boxes with icon and owner)
  // Called on the reporting thread with each status text, after it is recorded.
  std::function<void(const std::string& status)> on_status;

  std::vector<std::string> Lines() const;

 private:
  void Add(std::string line, const std::string& transcript_detail = {});
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace larkspan::testing
