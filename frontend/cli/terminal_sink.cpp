#include "frontend/cli/terminal_sink.h"

#include <algorithm>
#include <cstdlib>

namespace larkspan {

namespace {
constexpr int kBarWidth = 30;

}  // namespace

std::string Printable(const WideText& text) {
  std::string line = ToUtf8(text);
  std::replace_if(line.begin(), line.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
  return line;
}

TerminalSink::TerminalSink(std::FILE* out, std::FILE* err, bool out_is_terminal, std::FILE* bar)
    : out_(out), err_(err), bar_out_(bar ? bar : out), terminal_(out_is_terminal) {}

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
  bar_.Apply(op, a, b);
  if (terminal_ && !status_.empty()) Redraw();
}

int TerminalSink::Percent() {
  std::lock_guard lock(mutex_);
  return bar_.Percent();
}

void TerminalSink::Watch(ProgressMeter* meter) {
  std::lock_guard lock(mutex_);
  meter_ = meter;
}

void TerminalSink::Redraw() {
  const auto reading = meter_ ? meter_->Read(bar_.Percent()) : std::nullopt;
  // \r and erase-to-end-of-line: the bar line is rewritten in place.
  std::fprintf(bar_out_, "\r%s %s%s\x1b[K", bar_.Drawn(kBarWidth).c_str(), status_.c_str(),
               reading ? ("  " + reading->Text()).c_str() : "");
  std::fflush(bar_out_);
  line_open_ = true;
}

void TerminalSink::FinishLine() {
  std::lock_guard lock(mutex_);
  if (line_open_) std::fputc('\n', out_);
  line_open_ = false;
  std::fflush(out_);
}

}  // namespace larkspan
