#include "frontend/cli/json_sink.h"

#include "frontend/session/upgrade_history.h"

#include <cstdlib>

namespace larkspan {

namespace {
const char* IconName(BoxIcon icon) {
  switch (icon) {
    case BoxIcon::kInformation: return "information";
    case BoxIcon::kWarning: return "warning";
    case BoxIcon::kError: return "error";
    case BoxIcon::kNone: break;
  }
  return "none";
}

template <typename T>
nlohmann::ordered_json OrNull(const std::optional<T>& value) {
  return value ? nlohmann::ordered_json(*value) : nlohmann::ordered_json();
}
}  // namespace

void JsonSink::Emit(const nlohmann::ordered_json& event, std::FILE* out) {
  std::string line;
  if (port_.empty()) {
    line = JsonLine(event);
  } else {
    nlohmann::ordered_json with_port = {{"event", event["event"]}, {"port", port_}};
    for (const auto& [key, value] : event.items()) with_port[key] = value;
    line = JsonLine(with_port);
  }
  std::lock_guard lock(mutex_);
  std::fputs(line.c_str(), out);
  std::fflush(out);
}

void JsonSink::ShowMessage(const MessageBox& box) {
  human_.ShowMessage(box);
  Emit({{"event", "box"},
        {"caption", ToUtf8(box.caption.empty() ? WideText(kAppName) : box.caption)},
        {"text", ToUtf8(box.text)},
        {"icon", IconName(box.icon)}});
}

void JsonSink::ShowStatus(const WideText& status) {
  human_.ShowStatus(status);
  Emit({{"event", "status"}, {"text", ToUtf8(status)}});
}

void JsonSink::Progress(ProgressOp op, int a, int b) {
  human_.Progress(op, a, b);
  int percent = 0;
  {
    std::lock_guard lock(mutex_);
    bar_.Apply(op, a, b);
    percent = bar_.Percent();
  }
  if (op != ProgressOp::kStepIt || !meter_) return;
  const auto reading = meter_->Read(percent);
  if (!reading) return;
  Emit({{"event", "progress"},
        {"stage", reading->StageName()},
        {"percent", reading->percent},
        {"unit", reading->Unit()},
        {"done", reading->done},
        {"total", OrNull(reading->total)},
        {"rate", OrNull(reading->rate)},
        {"eta_s", OrNull(reading->eta_s)}},
       progress_out_);
}

}  // namespace larkspan
