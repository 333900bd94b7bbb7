#include "tests/fakes/recording_sink.h"

namespace larkspan::testing {

void RecordingSink::Add(std::string line, const std::string& transcript_detail) {
  if (transcript) transcript->Add(line + transcript_detail);
  std::lock_guard lock(mutex_);
  lines_.push_back(std::move(line));
}

void RecordingSink::ShowMessage(const MessageBox& box) {
  const WideText caption = box.caption.empty() ? WideText(kAppName) : box.caption;
  static constexpr const char* kIcons[] = {"none", "information", "warning", "error"};
  Add("box " + ToUtf8(caption) + ": " + ToUtf8(box.text),
      std::string(" [icon ") + kIcons[static_cast<int>(box.icon)] +
          (box.owner == BoxOwner::kDialog ? ", owner dialog]" : ", no owner]"));
}

void RecordingSink::ShowStatus(const WideText& status) {
  const std::string text = ToUtf8(status);
  Add("status " + text);
  if (on_status) on_status(text);
}

void RecordingSink::Progress(ProgressOp op, int a, int b) {
  switch (op) {
    case ProgressOp::kSetRange: Add("progress set-range " + std::to_string(a) + " " + std::to_string(b)); break;
    case ProgressOp::kSetPos: Add("progress set-pos " + std::to_string(a)); break;
    case ProgressOp::kSetStep: Add("progress set-step " + std::to_string(a)); break;
    case ProgressOp::kStepIt: Add("progress step-it"); break;
  }
}


std::vector<std::string> RecordingSink::Lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

}  // namespace larkspan::testing
