// The user sink of larkspan-cli: boxes print as "Caption: text" lines on standard error and
// count as acknowledged at once; status texts print on standard output, under a progress bar
// when standard output is a terminal and as plain lines otherwise. Calls may come from any
// thread; they are serialised. The bar's redraws go to a stream of their own (`bar`, by
// default `out`), so that an output queue may drop those a stopped terminal cannot take.
#pragma once

#include <cstdio>
#include <functional>
#include <mutex>
#include <string>

#include "frontend/cli/progress_bar.h"
#include "frontend/cli/progress_meter.h"
#include "platform/user_sink.h"

namespace larkspan {

// A text as one terminal line: the receiver's carriage returns would move the cursor.
std::string Printable(const WideText& text);

class TerminalSink final : public UserSink {
 public:
  TerminalSink(std::FILE* out, std::FILE* err, bool out_is_terminal, std::FILE* bar = nullptr);

  void ShowMessage(const MessageBox& box) override;
  void ShowStatus(const WideText& status) override;
  void Progress(ProgressOp op, int a, int b) override;

  // Ends a progress line still open on the terminal, so that what follows starts clean.
  void FinishLine();
  // The bar's position as a percentage of its range.
  int Percent();
  // Shows the worker's stage, rate and time left beside the bar; null: the bar alone.
  void Watch(ProgressMeter* meter);

 private:
  void Redraw();  // the bar line, on a terminal only; mutex held

  std::mutex mutex_;
  std::FILE* out_;
  std::FILE* err_;
  std::FILE* bar_out_;
  bool terminal_;
  bool line_open_ = false;  // the terminal's last line is our bar, not yet ended
  std::string status_;
  ProgressBar bar_;
  ProgressMeter* meter_ = nullptr;
};

}  // namespace larkspan
