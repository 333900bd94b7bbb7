// The progress bar as the updater drives it, without drawing it: its range, position and step,
// the four operations and the bar's text. The terminal's line, its rows for several receivers
// and the JSON events each keep one.
#pragma once

#include <algorithm>
#include <string>

#include "platform/user_sink.h"

namespace larkspan {

struct ProgressBar {
  int low = 0, high = 100, position = 0, step = 10;

  void Apply(ProgressOp op, int a, int b) {
    switch (op) {
      case ProgressOp::kSetRange: low = a; high = b; break;
      case ProgressOp::kSetPos: position = a; break;
      case ProgressOp::kSetStep: step = a; break;
      case ProgressOp::kStepIt:
        // A progress bar wraps to its low end when a step passes the high end.
        position += step;
        if (position > high) position = low + (position - high);
        break;
    }
    position = std::clamp(position, low, std::max(low, high));
  }
  int Percent() const { return (position - low) * 100 / std::max(1, high - low); }
  // "[#####.....]", `width` characters between the brackets.
  std::string Drawn(int width) const {
    std::string bar(static_cast<size_t>((position - low) * width / std::max(1, high - low)), '#');
    bar.resize(static_cast<size_t>(width), '.');
    return "[" + bar + "]";
  }
};

}  // namespace larkspan
