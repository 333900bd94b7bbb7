#include "receiver/update_channel.h"

#include "receiver/port_name.h"

namespace larkspan {

void CloseWithLinesDown(std::unique_ptr<SerialPort>& port) {
  if (!port) return;
  port->EscapeFunction(Escape::kClrDtr);
  port->EscapeFunction(Escape::kClrRts);
  // Bytes still waiting to be sent are dropped, not sent.
  port->Purge(purge::kTxClear | purge::kRxClear);
  port.reset();
}

void UpdateChannel::Open() {
  port_.reset();
  int error = 0;
  port_ = ports_.Open(kCom1, error);
  if (!port_) {
    ShowBox(sink_, u"COM1 can't be opened.", u"Message");
    return;
  }

  settings_.length = 28;
  settings_.baud = kOpenBaud;
  settings_.flags = line_flag::WithLow15(settings_.flags, kFlagsLow15);
  settings_.reserved = 0;
  settings_.xon_limit = 0;
  settings_.xoff_limit = 0;
  settings_.byte_size = 8;
  settings_.parity = 0;
  settings_.stop_bits = 0;
  settings_.xon_char = settings_.xoff_char = settings_.error_char = 0;
  settings_.eof_char = settings_.event_char = 0;
  if (!port_->SetState(settings_)) ShowBox(sink_, u"Error.. Cannot set UART control block", u"set uart");
  if (!port_->SetTimeouts(kTimeouts)) ShowBox(sink_, u"Error.. Cannot set UART timeouts", u"set uart");
  if (!port_->SetupQueues(kQueueSize, kQueueSize)) {
    ShowBox(sink_, u"Error.. Cannot set UART buffers", u"set uart");
  }
}

void UpdateChannel::Close() { CloseWithLinesDown(port_); }

bool UpdateChannel::ChangeSpeed(uint32_t baud) {
  settings_.baud = baud;
  return port_ && port_->SetState(settings_);
}

void UpdateChannel::Send(std::span<const uint8_t> bytes) {
  size_t written = 0;
  if (!Write(bytes, written)) ShowBox(sink_, u"writefile fail!", u"Error");
}

bool UpdateChannel::Read(std::span<uint8_t> buffer, size_t& count_read) {
  count_read = 0;
  return port_ && port_->Read(buffer, count_read);
}

bool UpdateChannel::Write(std::span<const uint8_t> bytes, size_t& count_written) {
  count_written = 0;
  return port_ && port_->Write(bytes, count_written);
}

bool UpdateChannel::Drain(size_t& left_behind) {
  left_behind = 0;
  return port_ && port_->Drain(left_behind);
}

}  // namespace larkspan
