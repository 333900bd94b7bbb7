// The percentage shown during both uploads: the status text becomes "<p>%" and the progress
// bar steps once each time the whole percentage grows. Worker thread.
#pragma once

#include <cstdint>

#include "receiver/program_state.h"

namespace larkspan {

// (done * 100) / total, rounded down, in 64-bit arithmetic so that no file size overflows it.
// 0 for an empty total.
uint32_t Percentage(uint64_t done, uint64_t total);

// "<digits>%".
WideText PercentageText(uint32_t percent);

class PercentProgress {
 public:
  explicit PercentProgress(ProgramState& state) : state_(state) {}
  // Shows the percentage of done/total when it is above the last one shown.
  void Update(uint64_t done, uint64_t total);

 private:
  ProgramState& state_;
  uint32_t last_shown_ = 0;
};

}  // namespace larkspan
