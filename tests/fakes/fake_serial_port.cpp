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

const char* EscapeName(Escape function) {
  switch (function) {
    case Escape::kSetRts: return "set-rts";
    case Escape::kClrRts: return "clr-rts";
    case Escape::kSetDtr: return "set-dtr";
    case Escape::kClrDtr: return "clr-dtr";
  }
  return "?";
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
  bool SetState(const LineSettings& settings) override {
    line_.applied_states.push_back(settings);
    line_.Log("set-state baud=" + std::to_string(settings.baud) + " flags=" + Hex(settings.flags) +
              (line_.refuse_state ? " refused" : ""));
    if (line_.refuse_state) return Fail(EINVAL);
    line_.port_state = settings;
    line_.baud = settings.baud;
    return true;
  }
  bool GetTimeouts(CommTimeouts& timeouts) override {
    line_.Log("get-timeouts");
    timeouts = timeouts_;
    return true;
  }
  bool SetTimeouts(const CommTimeouts& t) override {
    line_.applied_timeouts.push_back(t);
    line_.Log("set-timeouts " + std::to_string(t.read_interval) + "," +
              std::to_string(t.read_total_multiplier) + "," + std::to_string(t.read_total_constant) +
              "," + std::to_string(t.write_total_multiplier) + "," +
              std::to_string(t.write_total_constant) + (line_.refuse_timeouts ? " refused" : ""));
    if (line_.refuse_timeouts) return Fail(EINVAL);
    timeouts_ = t;
    return true;
  }
  bool SetupQueues(uint32_t in_size, uint32_t out_size) override {
    line_.Log("queues " + std::to_string(in_size) + "," + std::to_string(out_size) +
              (line_.refuse_queues ? " refused" : ""));
    return line_.refuse_queues ? Fail(EINVAL) : true;
  }
  bool Purge(uint32_t flags) override {
    line_.Log("purge " + Hex(flags));
    if (flags & purge::kRxClear) line_.incoming_.clear();
    return true;
  }
  bool EscapeFunction(Escape function) override {
    line_.Log(std::string("escape ") + EscapeName(function));
    return true;
  }
  bool Read(std::span<uint8_t> buffer, size_t& count_read) override {
    count_read = 0;
    if (line_.fail_reads) return Fail(EIO);
    if (line_.incoming_.empty() && line_.talk) {
      const std::string said = line_.talk(line_.baud);
      line_.incoming_.insert(line_.incoming_.end(), said.begin(), said.end());
    }
    if (!line_.incoming_.empty()) {
      const size_t n = std::min(buffer.size(), line_.incoming_.size());
      std::copy_n(line_.incoming_.begin(), n, buffer.begin());
      line_.incoming_.erase(line_.incoming_.begin(), line_.incoming_.begin() + static_cast<ptrdiff_t>(n));
      line_.clock_.Advance(line_.LineTimeUs(n));
      count_read = line_.over_report_reads ? n + 1 : n;
      return true;
    }
    const bool returns_at_once = timeouts_.read_interval == kMaxTimeout &&
                                 timeouts_.read_total_multiplier == 0 &&
                                 timeouts_.read_total_constant == 0;
    if (!returns_at_once) {
      const uint64_t total_ms =
          uint64_t{timeouts_.read_total_multiplier} * buffer.size() + timeouts_.read_total_constant;
      line_.clock_.Advance(total_ms * 1000);
    }
    return true;
  }
  bool Write(std::span<const uint8_t> bytes, size_t& count_written) override {
    count_written = 0;
    if (line_.fail_writes) {
      line_.Log("write-failed " + std::to_string(bytes.size()));
      return Fail(EIO);
    }
    const size_t n = std::min(bytes.size(), line_.write_limit.value_or(bytes.size()));
    std::vector<uint8_t> moved(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(n));
    line_.Log("write " + std::to_string(n));
    line_.writes.push_back({moved, line_.baud});
    line_.clock_.Advance(line_.LineTimeUs(n));
    if (line_.hear) line_.hear(moved, line_.baud);
    count_written = n;
    return true;
  }
  int LastError() const override { return error_; }

 private:
  bool Fail(int error) {
    error_ = error;
    return false;
  }
  FakeSerialPorts& line_;
  CommTimeouts timeouts_{};
  int error_ = 0;
};

FakeSerialPorts::~FakeSerialPorts() {
  EXPECT_EQ(open_handles, 0) << "a port handle outlived the test's fake";
}

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

void FakeSerialPorts::Log(std::string text) { events.push_back({std::move(text), clock_.NowUs()}); }

std::vector<std::string> FakeSerialPorts::EventTexts(const std::string& prefix) const {
  std::vector<std::string> texts;
  for (const auto& event : events) {
    if (event.text.rfind(prefix, 0) == 0) texts.push_back(event.text);
  }
  return texts;
}

uint64_t FakeSerialPorts::TimeOf(const std::string& prefix, size_t n) const {
  for (const auto& event : events) {
    if (event.text.rfind(prefix, 0) == 0 && n-- == 0) return event.at_us;
  }
  ADD_FAILURE() << "no event '" << prefix << "'";
  return 0;
}

}  // namespace larkspan::testing
