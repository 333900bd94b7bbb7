// What larkspan-cli shows while it upgrades several receivers at once. On a terminal, one row
// a receiver (port, bar, stage, percent, rate and time left, last status), each redrawn in
// place; boxes and other lines print above the rows. Elsewhere, plain lines, each after its
// port in brackets. Boxes keep their texts: "[/dev/ttyUSB2] Time Out: ...". Any thread.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "frontend/cli/progress_bar.h"
#include "frontend/cli/progress_meter.h"
#include "platform/user_sink.h"

namespace larkspan {

class FleetBoard {
 public:
  // `width`: the terminal's columns; a row is cut to fit, so that it never wraps.
  // `row_out`: where a row's redraws in place go (by default `out`), a stream of each row's own
  // so that an output queue may drop those a stopped terminal cannot take.
  FleetBoard(std::FILE* out, std::FILE* err, bool terminal, int width = 80,
             std::function<std::FILE*(size_t row)> row_out = {})
      : out_(out), err_(err), terminal_(terminal), width_(width), row_out_(std::move(row_out)) {}

  // One receiver's sink: its boxes, statuses and progress go to its row.
  class Row final : public UserSink {
   public:
    Row(FleetBoard& board, size_t index, std::string port) : board_(board), index_(index), port_(std::move(port)) {}
    void ShowMessage(const MessageBox& box) override;
    void ShowStatus(const WideText& status) override;
    void Progress(ProgressOp op, int a, int b) override;
    // A line of this receiver's, above the rows ("[port] line").
    void Say(const std::string& line);
    // The stage, rate and time left beside the bar; null: the bar alone.
    void Watch(ProgressMeter* meter);
    const std::string& port() const { return port_; }

   private:
    friend class FleetBoard;
    std::string Text() const;  // the row as drawn; board's mutex held

    FleetBoard& board_;
    size_t index_;
    std::string port_;
    std::string status_;
    ProgressBar bar_;
    ProgressMeter* meter_ = nullptr;
    std::string drawn_;  // what the terminal shows of it
    std::FILE* out_ = nullptr;  // where its redraws in place go
  };

  // A row for `port`; all rows are added before any receiver runs.
  Row& AddRow(const std::string& port);
  // Runs `print` (which writes whole lines) with the rows lifted off the terminal, then draws
  // them again below what it printed.
  void Above(const std::function<void()>& print);
  // Leaves the rows as they stand; what follows prints below them.
  void Finish();

 private:
  void Lift();          // mutex held
  void DrawAll();       // mutex held
  void Draw(Row& row);  // mutex held: that row only, in place
  void PlainLine(std::FILE* file, const Row& row, const std::string& text);  // mutex held

  std::mutex mutex_;
  std::FILE* out_;
  std::FILE* err_;
  bool terminal_;
  int width_;
  std::function<std::FILE*(size_t row)> row_out_;
  size_t port_width_ = 0;
  std::vector<std::unique_ptr<Row>> rows_;
  size_t drawn_rows_ = 0;  // rows on the terminal, the cursor on the line below them
};

}  // namespace larkspan
