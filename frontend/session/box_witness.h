// A user sink in front of a front-end's own: it passes everything on and keeps the text of the
// first box other than the opening warning, which the history gives as the reason a run
// failed. Any thread.
#pragma once

#include <mutex>
#include <optional>

#include "platform/user_sink.h"

namespace larkspan {

// The warning box the dialog shows when it opens, before anything is flashed.
inline constexpr char16_t kWarningText[] =
    u"In order to upgrade the GPS-Firmware correctly, please stop ALL applications and apply "
    u"external power to the device. It may take about 5 minutes for upgrading.";

class BoxWitness final : public UserSink {
 public:
  explicit BoxWitness(UserSink& inner) : inner_(inner) {}
  void ShowMessage(const MessageBox& box) override {
    {
      std::lock_guard lock(mutex_);
      if (!first_ && box.text != kWarningText) first_ = box.text;
    }
    inner_.ShowMessage(box);
  }
  void ShowStatus(const WideText& status) override { inner_.ShowStatus(status); }
  void Progress(ProgressOp op, int a, int b) override { inner_.Progress(op, a, b); }
  std::optional<WideText> FirstBox() const {
    std::lock_guard lock(mutex_);
    return first_;
  }

 private:
  UserSink& inner_;
  mutable std::mutex mutex_;
  std::optional<WideText> first_;
};

}  // namespace larkspan
