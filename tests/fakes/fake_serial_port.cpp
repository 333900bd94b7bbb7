#include "tests/fakes/fake_serial_port.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "platform/text.h"

namespace larkspan::testing {

namespace {
std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04x", value);
  return text;
}
}  // namespace

class FakeSerialPorts::Port final : public SerialPort {
 public:
  explicit Port(FakeSerialPorts& line) : line_(line) {}
  ~Port() override {
    line_.Log("close");
    --line_.open_handles;
    line_.live_ = nullptr;
  }

  bool GetState(LineSettings& settings) override {
    line_.Log("get-state");
    const uint32_t length = settings.length;  // the caller's length field stays
    settings = line_.port_state;
    settings.length = length;
    return true;
  }
  bool SetState(const LineSettings& s) override {
    const auto n = [](auto v) { return std::to_string(v); };
    if (!Answer("set-state baud=" + n(s.baud) + " flags=" + Hex(s.flags) + " length=" + n(s.length) + " data=" +
                    n(s.byte_size) + " parity=" + n(s.parity) + " stop=" + n(s.stop_bits) + " xon/xoff-limits=" +
                    n(s.xon_limit) + "/" + n(s.xoff_limit) + " xon/xoff=" + Hex(static_cast<uint8_t>(s.xon_char)) +
                    "/" + Hex(static_cast<uint8_t>(s.xoff_char)),
                line_.refuse_state)) {
      return false;
    }
    line_.port_state = s;
    line_.baud = s.baud;
    return true;
  }
  bool GetTimeouts(CommTimeouts& timeouts) override {
    line_.Log("get-timeouts");
    timeouts = timeouts_;
    return true;
  }
  bool SetTimeouts(const CommTimeouts& t) override {
    const auto n = [](uint32_t v) { return std::to_string(v); };
    if (!Answer("set-timeouts " + n(t.read_interval) + "," + n(t.read_total_multiplier) + "," +
                    n(t.read_total_constant) + "," + n(t.write_total_multiplier) + "," + n(t.write_total_constant),
                line_.refuse_timeouts)) {
      return false;
    }
    timeouts_ = t;
    return true;
  }
  bool SetupQueues(uint32_t in_size, uint32_t out_size) override {
    return Answer("queues " + std::to_string(in_size) + "," + std::to_string(out_size), line_.refuse_queues);
  }
  bool Purge(uint32_t flags) override {
    line_.Log("purge " + Hex(flags));
    if (flags & purge::kRxClear) line_.incoming_.clear();
    return true;
  }
  bool EscapeFunction(Escape function) override {
    static constexpr const char* kNames[] = {"", "", "", "set-rts", "clr-rts", "set-dtr", "clr-dtr"};
    line_.Log(std::string("escape ") + kNames[static_cast<int>(function)]);
    return true;
  }
  bool Read(std::span<uint8_t> buffer, size_t& count_read) override {
    count_read = 0;
    const std::string asked = "read " + std::to_string(line_.baud) + " ask=" + std::to_string(buffer.size());
    if (line_.fail_reads) return Answer(asked, true, EIO);
    if (line_.incoming_.empty() && line_.talk) {
      const std::string said = line_.talk(line_.baud);
      line_.incoming_.insert(line_.incoming_.end(), said.begin(), said.end());
    }
    const size_t n = std::min(buffer.size(), line_.incoming_.size());
    if (n > 0) {
      std::copy_n(line_.incoming_.begin(), n, buffer.begin());
      line_.incoming_.erase(line_.incoming_.begin(), line_.incoming_.begin() + static_cast<ptrdiff_t>(n));
      line_.Log(asked + (line_.over_report_reads ? " over-reported" : ""), Text(buffer.first(n)));
      line_.clock_.Advance(line_.LineTimeUs(n));
      count_read = line_.over_report_reads ? n + 1 : n;
      return true;
    }
    line_.Log(asked + " nothing");
    const bool returns_at_once = timeouts_.read_interval == kMaxTimeout && timeouts_.read_total_multiplier == 0 &&
                                 timeouts_.read_total_constant == 0;
    if (!returns_at_once) {
      line_.clock_.Advance(1000 * (uint64_t{timeouts_.read_total_multiplier} * buffer.size() + timeouts_.read_total_constant));
    }
    return true;
  }
  bool Write(std::span<const uint8_t> bytes, size_t& count_written) override {
    count_written = 0;
    if (line_.fail_writes) return Answer("write " + std::to_string(bytes.size()), true, EIO);
    const size_t n = std::min(bytes.size(), line_.write_limit.value_or(bytes.size()));
    const std::vector<uint8_t> moved(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(n));
    line_.Log("write " + std::to_string(line_.baud) + " n=" + std::to_string(n), Text(moved));
    line_.writes.push_back({moved, line_.baud});
    line_.clock_.Advance(line_.LineTimeUs(n));
    if (line_.hear) line_.hear(moved, line_.baud);
    count_written = n;
    return true;
  }
  bool Drain(size_t& left_behind) override {
    line_.Log("drain left=" + std::to_string(left_behind = line_.drain_leaves));
    return true;
  }
  bool GetModemStatus(std::optional<uint32_t>& lines) override {
    line_.Log("modem-status " + ((lines = line_.modem_lines) ? Hex(*lines) : std::string("none")));
    return true;
  }
  int LastError() const override { return error_; }

 private:
  // Logs the call, marked when it is refused (a setting) or fails (I/O); true when neither.
  bool Answer(const std::string& call, bool refused, int error = EINVAL) {
    line_.Log(call + (!refused ? "" : error == EINVAL ? " refused" : " failed"));
    if (refused) error_ = error;
    return !refused;
  }
  FakeSerialPorts& line_;
  CommTimeouts timeouts_{};
  int error_ = 0;
};

FakeSerialPorts::~FakeSerialPorts() { EXPECT_EQ(open_handles, 0) << "a port handle outlived the test's fake"; }

std::unique_ptr<SerialPort> FakeSerialPorts::Open(std::u16string_view name, int& error) {
  const std::string port = ToUtf8(name);
  ++opens;
  if (open_error != 0 || live_ != nullptr || opens == fail_open_number) {
    error = open_error != 0 ? open_error : EBUSY;
    Log("open-failed " + port + " " + std::to_string(error));
    return nullptr;
  }
  Log("open " + port);
  auto handle = std::make_unique<Port>(*this);
  live_ = handle.get();
  max_open_handles = std::max(max_open_handles, ++open_handles);
  return handle;
}

void FakeSerialPorts::Log(std::string what, std::optional<std::string> bytes) {
  if (transcript) transcript->Add(std::move(what), bytes.value_or(""), bytes && !bytes->empty());
}

}  // namespace larkspan::testing
