#include "transfer/percent_progress.h"

#include <string>

namespace larkspan {

uint32_t Percentage(uint64_t done, uint64_t total) {
  if (total == 0) return 0;
  // done never exceeds total here; the product of a byte count below 2^57 and 100 fits.
  return static_cast<uint32_t>((done * 100) / total);
}

WideText PercentageText(uint32_t percent) { return Widen(std::to_string(percent) + "%"); }

void PercentProgress::Update(uint64_t done, uint64_t total) {
  const uint32_t percent = Percentage(done, total);
  if (percent <= last_shown_) return;
  state_.SetStatus(PercentageText(percent));
  state_.sink.Progress(ProgressOp::kStepIt);
  last_shown_ = percent;
}

}  // namespace larkspan
