// larkspan-cli --json: one JSON object a line on standard output for every status, progress
// step, box, version and the run's result (docs/events.schema.json), while the human lines go
// on to standard error through the human sink beside it. With several receivers each has one,
// and its events carry its port. Calls may come from any thread; each event is written whole.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "frontend/cli/progress_meter.h"
#include "frontend/cli/progress_bar.h"
#include "platform/user_sink.h"

namespace larkspan {

class JsonSink final : public UserSink {
 public:
  // `port`: the receiver's, added to each event when several are upgraded at once.
  // `progress`: where the progress events go (by default `out`), a stream of their own so that
  // an output queue may drop those a stalled reader cannot take.
  JsonSink(std::FILE* out, UserSink& human, std::string port = {}, std::FILE* progress = nullptr)
      : out_(out), progress_out_(progress ? progress : out), human_(human), port_(std::move(port)) {}

  void ShowMessage(const MessageBox& box) override;
  void ShowStatus(const WideText& status) override;
  void Progress(ProgressOp op, int a, int b) override;

  void Emit(const nlohmann::ordered_json& event) { Emit(event, out_); }
  void Watch(ProgressMeter* meter) { meter_ = meter; }

 private:
  void Emit(const nlohmann::ordered_json& event, std::FILE* out);

  std::mutex mutex_;
  std::FILE* out_;
  std::FILE* progress_out_;
  UserSink& human_;
  std::string port_;
  ProgressBar bar_;  // the human sink's bar, for the percentage
  ProgressMeter* meter_ = nullptr;
};

}  // namespace larkspan
