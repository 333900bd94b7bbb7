#include "receiver/probe_channel.h"

#include <algorithm>
#include <optional>

#include "receiver/command_frames.h"
#include "receiver/port_name.h"
#include "receiver/update_channel.h"

namespace larkspan {

WideText UnableToOpenText(std::u16string_view port, int error) {
  // "Unable to open %s, Error No.=%d"
  return u"Unable to open " + WideText(port) + u", Error No.=" + Widen(std::to_string(error));
}

bool ProbeChannel::Open(std::u16string_view port, uint32_t speed) {
  int error = 0;
  port_ = ports_.Open(port, error);
  if (!port_) {
    sink_.ShowMessage({UnableToOpenText(port, error), u"Error"});
    return false;
  }
  port_->SetupQueues(kQueueSize, kQueueSize);  // not checked
  port_->Purge(purge::kTxClear | purge::kRxClear);

  // Start from the port's own settings so that the fields not listed (high flag bits, XON
  // and XOFF limits and characters) keep their values.
  LineSettings settings{};
  settings.length = 28;
  port_->GetState(settings);
  settings.baud = speed;
  settings.flags = line_flag::WithLow15(settings.flags, kFlagsLow15);
  settings.byte_size = 8;
  settings.parity = 0;
  settings.stop_bits = 0;
  if (!port_->SetState(settings)) {
    ShowBox(sink_, u"Unable to configure the serial port", u"Error");
    return false;
  }

  CommTimeouts timeouts{};
  port_->GetTimeouts(timeouts);
  timeouts = kTimeouts;
  if (!port_->SetTimeouts(timeouts)) {
    ShowBox(sink_, u"Unable to set the time-out parameters", u"Error");
    return false;
  }

  port_->EscapeFunction(Escape::kSetDtr);
  port_->EscapeFunction(Escape::kSetRts);

  // A receiver wired with TX, RX and ground alone (most modules and cables) never raises CTS,
  // and under CTS flow control nothing would ever leave for it. Asked once the lines are up
  // (some cables loop RTS back to CTS): where the port has lines and CTS is low, the channel
  // goes on without CTS flow; its 32-byte frames need no pacing. A pty has no lines.
  std::optional<uint32_t> lines;
  if (port_->GetModemStatus(lines) && lines && (*lines & modem_line::kCts) == 0) {
    settings.flags &= ~line_flag::kOutxCtsFlow;
    if (!port_->SetState(settings)) {
      ShowBox(sink_, u"Unable to configure the serial port", u"Error");
      return false;
    }
    if (on_cts_low && !cts_low_told_) on_cts_low();
    cts_low_told_ = true;
  }
  return true;
}

void ProbeChannel::Close() { CloseWithLinesDown(port_); }

void ProbeChannel::SendText(std::string_view text) {
  if (!port_) return;
  size_t written = 0;
  port_->Write(frames::Bytes(text), written);
}

void ProbeChannel::SendSwitchToNmeaFrame() {
  if (!port_) {
    ShowBox(sink_, u"Error.. COM had not be opened", u"Message");
    return;
  }
  size_t written = 0;
  if (port_->Write(frames::kSwitchToNmea, written)) {
    // The frame is sent once it has left the host: only what left within the write's time
    // counts, and the channel's close would drop the rest.
    size_t left_behind = 0;
    if (port_->Drain(left_behind)) written -= std::min(written, left_behind);
  } else {
    ShowBox(sink_, u"Error.. Cannot transmit to UART", u"Message");
  }
  if (written != frames::kSwitchToNmea.size()) {
    ShowBox(sink_, u"Error.. Incorrect transmission to UART", u"Message");
  }
}

// The receiver reset, the last step of an upgrade with the receiver: it opens the port on its
// own terms (DTR high, RTS low, no queue sizes, no purge), sends the navigation-initialisation
// sentence and lets the receiver take it before a plain close.
bool ProbeChannel::ResetReceiver() {
  int error = 0;
  port_ = ports_.Open(kCom1, error);
  if (!port_) {
    sink_.ShowMessage({UnableToOpenText(kCom1, error), u"Error"});
    return false;
  }

  // Only these fields are written; the rest of the record, its length field included,
  // stays as it was (zero before the first reset).
  reset_settings_.baud = kResetBaud;
  reset_settings_.flags = line_flag::WithLow15(reset_settings_.flags, kResetFlagsLow15);
  reset_settings_.byte_size = 8;
  reset_settings_.parity = 0;
  reset_settings_.stop_bits = 0;
  port_->SetState(reset_settings_);  // not checked

  CommTimeouts timeouts{};
  port_->GetTimeouts(timeouts);
  timeouts = kResetTimeouts;
  if (!port_->SetTimeouts(timeouts)) {
    ShowBox(sink_, u"Unable to set the time-out parameters", u"Error");
    return false;
  }

  clock_.SleepMs(100);
  SendText(frames::kReset);
  clock_.SleepMs(5000);
  port_.reset();  // plain close: DTR stays as the settings left it, nothing is discarded
  return true;
}

}  // namespace larkspan
