#include "bench/soak_sink.h"

#include "platform/text.h"

namespace larkspan::soak {

void SoakSink::ShowMessage(const MessageBox& box) {
  std::lock_guard lock(mutex_);
  boxes_.push_back(ToUtf8(box.caption.empty() ? std::u16string(kAppName) : box.caption) + ": " + ToUtf8(box.text));
}

void SoakSink::ShowStatus(const WideText& status) {
  std::lock_guard lock(mutex_);
  statuses_.push_back(ToUtf8(status));
}

std::vector<std::string> SoakSink::boxes() const {
  std::lock_guard lock(mutex_);
  return boxes_;
}

std::vector<std::string> SoakSink::statuses() const {
  std::lock_guard lock(mutex_);
  return statuses_;
}

}  // namespace larkspan::soak
