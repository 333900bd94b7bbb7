#include "frontend/cli/fleet_board.h"

#include "frontend/cli/terminal_sink.h"
#include "frontend/session/upgrade_history.h"

namespace larkspan {

namespace {
constexpr int kBarWidth = 20;

// `text` cut to `width` columns, never inside a UTF-8 character.
std::string Fit(std::string text, size_t width) {
  if (text.size() <= width) return text;
  size_t end = width;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  text.resize(end);
  return text;
}
}  // namespace

FleetBoard::Row& FleetBoard::AddRow(const std::string& port) {
  std::lock_guard lock(mutex_);
  port_width_ = std::max(port_width_, port.size());
  Row& row = *rows_.emplace_back(std::make_unique<Row>(*this, rows_.size(), port));
  row.out_ = row_out_ ? row_out_(row.index_) : out_;
  return row;
}

void FleetBoard::Above(const std::function<void()>& print) {
  std::lock_guard lock(mutex_);
  Lift();
  print();
  std::fflush(nullptr);
  DrawAll();
}

void FleetBoard::Finish() {
  std::lock_guard lock(mutex_);
  drawn_rows_ = 0;
  std::fflush(out_);
}

void FleetBoard::Lift() {
  if (!terminal_ || drawn_rows_ == 0) return;
  // Up to the first row, and the screen cleared from there down.
  std::fprintf(out_, "\x1b[%zuA\r\x1b[J", drawn_rows_);
  std::fflush(out_);
  drawn_rows_ = 0;
}

void FleetBoard::DrawAll() {
  if (!terminal_) return;
  Lift();
  for (const auto& row : rows_) {
    row->drawn_ = row->Text();
    std::fprintf(out_, "\r%s\x1b[K\n", row->drawn_.c_str());
  }
  drawn_rows_ = rows_.size();
  std::fflush(out_);
}

void FleetBoard::Draw(Row& row) {
  if (!terminal_) return;
  if (drawn_rows_ != rows_.size()) return DrawAll();
  std::string text = row.Text();
  if (text == row.drawn_) return;
  row.drawn_ = std::move(text);
  // Up to the row, rewrite it, and back down to the line below the rows.
  const size_t up = rows_.size() - row.index_;
  std::fprintf(row.out_, "\x1b[%zuA\r%s\x1b[K\x1b[%zuB\r", up, row.drawn_.c_str(), up);
  std::fflush(row.out_);
}

void FleetBoard::PlainLine(std::FILE* file, const Row& row, const std::string& text) {
  std::fprintf(file, "[%s] %s\n", row.port_.c_str(), text.c_str());
  std::fflush(file);
}

std::string FleetBoard::Row::Text() const {
  std::string text = port_;
  text.resize(std::max(text.size(), board_.port_width_), ' ');
  text += "  " + bar_.Drawn(kBarWidth);
  const auto reading = meter_ ? meter_->Read(bar_.Percent()) : std::nullopt;
  if (reading) {
    text += " " + reading->Text();
  } else if (const char* stage = meter_ ? StageName(meter_->telemetry().stage.load()) : nullptr) {
    text += " " + std::string(stage);
  }
  if (!status_.empty()) text += "  " + status_;
  return Fit(std::move(text), static_cast<size_t>(std::max(board_.width_ - 1, 1)));
}

void FleetBoard::Row::ShowMessage(const MessageBox& box) {
  const WideText& caption = box.caption.empty() ? WideText(kAppName) : box.caption;
  std::lock_guard lock(board_.mutex_);
  board_.Lift();
  board_.PlainLine(board_.err_, *this, Printable(caption) + ": " + Printable(box.text));
  board_.DrawAll();
}

void FleetBoard::Row::ShowStatus(const WideText& status) {
  std::lock_guard lock(board_.mutex_);
  status_ = Printable(status);
  if (board_.terminal_) {
    board_.Draw(*this);
  } else {
    board_.PlainLine(board_.out_, *this, status_);
  }
}

void FleetBoard::Row::Progress(ProgressOp op, int a, int b) {
  std::lock_guard lock(board_.mutex_);
  bar_.Apply(op, a, b);
  board_.Draw(*this);
}


void FleetBoard::Row::Say(const std::string& line) {
  std::lock_guard lock(board_.mutex_);
  board_.Lift();
  board_.PlainLine(board_.out_, *this, line);
  board_.DrawAll();
}

void FleetBoard::Row::Watch(ProgressMeter* meter) {
  std::lock_guard lock(board_.mutex_);
  meter_ = meter;
  board_.Draw(*this);
}

}  // namespace larkspan
