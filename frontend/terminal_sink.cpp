#include "frontend/terminal_sink.h"

#include <algorithm>
#include <cstdlib>

namespace larkspan {

namespace {
constexpr int kBarWidth = 30;

// A status text as one terminal line: the receiver's carriage returns would move the cursor.
std::string Printable(const WideText& text) {
  std::string line = ToUtf8(text);
  std::replace_if(line.begin(), line.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
  return line;
}
}  // namespace

TerminalSink::TerminalSink(std::FILE* out, std::FILE* err, bool out_is_terminal)
    : out_(out), err_(err), terminal_(out_is_terminal) {}

void TerminalSink::ShowMessage(const MessageBox& box) {
  std::lock_guard lock(mutex_);
  if (line_open_) {
    std::fputc('\n', out_);
    std::fflush(out_);
    line_open_ = false;
  }
  const WideText& caption = box.caption.empty() ? WideText(kAppName) : box.caption;
  std::fprintf(err_, "%s: %s\n", Printable(caption).c_str(), Printable(box.text).c_str());
  std::fflush(err_);
  if (terminal_ && !status_.empty()) Redraw();
}

void TerminalSink::ShowStatus(const WideText& status) {
  std::lock_guard lock(mutex_);
  status_ = Printable(status);
  if (terminal_) {
    Redraw();
  } else {
    std::fprintf(out_, "%s\n", status_.c_str());
    std::fflush(out_);
  }
}

void TerminalSink::Progress(ProgressOp op, int a, int b) {
  std::lock_guard lock(mutex_);
  switch (op) {
    case ProgressOp::kSetRange: low_ = a; high_ = b; break;
    case ProgressOp::kSetPos: position_ = a; break;
    case ProgressOp::kSetStep: step_ = a; break;
    case ProgressOp::kStepIt:
      // A progress bar wraps to its low end when a step passes the high end.
      position_ += step_;
      if (position_ > high_) position_ = low_ + (position_ - high_);
      break;
  }
  position_ = std::clamp(position_, low_, std::max(low_, high_));
  if (terminal_ && !status_.empty()) Redraw();
}

int TerminalSink::Percent() {
  std::lock_guard lock(mutex_);
  return (position_ - low_) * 100 / std::max(1, high_ - low_);
}

void TerminalSink::Watch(ProgressMeter* meter) {
  std::lock_guard lock(mutex_);
  meter_ = meter;
}

void TerminalSink::Redraw() {
  const int span = std::max(1, high_ - low_);
  const int filled = (position_ - low_) * kBarWidth / span;
  std::string bar(static_cast<size_t>(filled), '#');
  bar.resize(kBarWidth, '.');
  const auto reading = meter_ ? meter_->Read((position_ - low_) * 100 / span) : std::nullopt;
  // \r and erase-to-end-of-line: the bar line is rewritten in place.
  std::fprintf(out_, "\r[%s] %s%s\x1b[K", bar.c_str(), status_.c_str(),
               reading ? ("  " + reading->Text()).c_str() : "");
  std::fflush(out_);
  line_open_ = true;
}

void TerminalSink::FinishLine() {
  std::lock_guard lock(mutex_);
  if (line_open_) std::fputc('\n', out_);
  line_open_ = false;
  std::fflush(out_);
}

void TerminalSink::EndProcess(int status) {
  FinishLine();
  if (before_end) before_end(status);
  std::fflush(err_);
  std::exit(status);
}

}  // namespace larkspan
