// The user sink: everything the updater tells the user goes through it — message boxes,
// status texts, the four progress-bar operations and the end of the process. Back-ends:
// the terminal (larkspan-cli), Qt (the dialog) and a recorder for tests. Called from the
// dialog thread and from the upgrade worker; each back-end says how it hands calls over.
#pragma once

#include <cstdint>
#include <utility>

#include "platform/text.h"

namespace larkspan {

// The application's name: the caption of a box that names none.
inline constexpr char16_t kAppName[] = u"Larkspan";

enum class BoxOwner : uint8_t { kNone, kDialog };
enum class BoxIcon : uint8_t { kNone, kInformation, kWarning, kError };

struct MessageBox {
  WideText text;
  WideText caption;  // empty: the application's name
  BoxOwner owner = BoxOwner::kNone;
  BoxIcon icon = BoxIcon::kNone;
};

enum class ProgressOp : uint8_t { kSetRange, kSetPos, kSetStep, kStepIt };

class UserSink {
 public:
  virtual ~UserSink() = default;
  // Shows a modal box with an OK button and returns once the user acknowledged it.
  virtual void ShowMessage(const MessageBox& box) = 0;
  // A new status text was set (the program state holds it, too).
  virtual void ShowStatus(const WideText& status) = 0;
  // kSetRange takes (low, high); kSetPos and kSetStep take `a`; kStepIt takes nothing.
  // Returns once the operation has been applied.
  virtual void Progress(ProgressOp op, int a = 0, int b = 0) = 0;
};

// Shorthand for the ownerless boxes of the receiver link and the worker.
inline void ShowBox(UserSink& sink, WideText text, WideText caption) {
  sink.ShowMessage({std::move(text), std::move(caption), BoxOwner::kNone, BoxIcon::kNone});
}

}  // namespace larkspan
