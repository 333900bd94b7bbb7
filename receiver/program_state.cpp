#include "receiver/program_state.h"

#include <utility>

namespace larkspan {

void ProgramState::SetStatus(WideText text) {
  {
    std::lock_guard lock(status_mutex_);
    status_ = text;
  }
  // The text is complete before the flag tells the dialog to show it.
  status_changed.store(1);
  sink.ShowStatus(text);
}

void ProgramState::CloseChannelsAndFiles() {
  update_channel.Close();
  loader_file.Close();
  srecord_file.Close();
  probe_channel.Close();
}

void ProgramState::SetStatusQuietly(WideText text) {
  std::lock_guard lock(status_mutex_);
  status_ = std::move(text);
}

WideText ProgramState::Status() const {
  std::lock_guard lock(status_mutex_);
  return status_;
}

}  // namespace larkspan
