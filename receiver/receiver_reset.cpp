// The receiver reset: the last step of an upgrade with the receiver. It opens the port on its
// own terms (DTR high, RTS low, no queue sizes, no purge), sends the navigation-initialisation
// sentence and lets the receiver take it before a plain close.
#include "receiver/command_frames.h"
#include "receiver/port_name.h"
#include "receiver/probe_channel.h"

namespace larkspan {

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
