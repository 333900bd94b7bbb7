#include "tests/fakes/recording_sink.h"

#include <cctype>

namespace larkspan::testing {

void RecordingSink::Add(std::string line) {
  std::lock_guard lock(mutex_);
  lines_.push_back(std::move(line));
}

void RecordingSink::ShowMessage(const MessageBox& box) {
  {
    std::lock_guard lock(mutex_);
    boxes_.push_back(box);
  }
  const WideText caption = box.caption.empty() ? WideText(kAppName) : box.caption;
  Add("box " + ToUtf8(caption) + ": " + ToUtf8(box.text));
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

void RecordingSink::EndProcess(int status) { Add("end " + std::to_string(status)); }

std::vector<std::string> RecordingSink::Lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

std::vector<MessageBox> RecordingSink::Boxes() const {
  std::lock_guard lock(mutex_);
  return boxes_;
}

std::vector<std::string> RecordingSink::BoxLines() const {
  std::vector<std::string> boxes;
  for (const auto& line : Lines()) {
    if (line.rfind("box ", 0) == 0) boxes.push_back(line.substr(4));
  }
  return boxes;
}

std::vector<std::string> RecordingSink::Statuses(bool skip_percentages) const {
  std::vector<std::string> statuses;
  for (const auto& line : Lines()) {
    if (!line.starts_with("status ")) continue;
    if (skip_percentages && line.size() > 7 && std::isdigit(static_cast<unsigned char>(line[7]))) continue;
    statuses.push_back(line.substr(7));
  }
  return statuses;
}

void RecordingSink::Clear() {
  std::lock_guard lock(mutex_);
  lines_.clear();
  boxes_.clear();
}

}  // namespace larkspan::testing
