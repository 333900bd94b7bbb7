#include "platform/wire_trace.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

#include "platform/sigpipe.h"

namespace larkspan {

namespace {

constexpr auto kFlushEvery = std::chrono::milliseconds(100);
// How much may wait for a slow reader before lines are dropped: minutes of the stream.
constexpr size_t kMostQueued = size_t{16} << 20;
// How long the last lines may wait for a reader that takes nothing when the trace ends.
constexpr auto kLastFlushPatience = std::chrono::milliseconds(1000);

std::string Number(uint64_t value) {
  char digits[24];
  return std::string(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

std::string Hex32(uint32_t value) {
  char digits[16];
  const auto end = std::to_chars(digits, digits + sizeof digits, value, 16).ptr;
  return "0x" + std::string(digits, end);
}

// "ok" or "failed <errno>", after the call's own words.
std::string Outcome(std::string what, bool ok, const SerialPort& port) {
  return what + (ok ? " ok" : " failed " + Number(static_cast<uint64_t>(port.LastError())));
}

class TracingSerialPort final : public SerialPort {
 public:
  TracingSerialPort(std::unique_ptr<SerialPort> inner, WireTrace& trace) : inner_(std::move(inner)), trace_(trace) {}
  ~TracingSerialPort() override {
    inner_.reset();
    trace_.Line("close");
  }

  bool GetState(LineSettings& settings) override { return inner_->GetState(settings); }
  bool SetState(const LineSettings& s) override {
    const bool ok = inner_->SetState(s);
    trace_.Line(Outcome("state baud=" + Number(s.baud) + " data=" + Number(s.byte_size) + " parity=" +
                            Number(s.parity) + " stop=" + Number(s.stop_bits) + " flags=" + Hex32(s.flags),
                        ok, *inner_));
    return ok;
  }
  bool GetTimeouts(CommTimeouts& timeouts) override { return inner_->GetTimeouts(timeouts); }
  bool SetTimeouts(const CommTimeouts& t) override {
    const bool ok = inner_->SetTimeouts(t);
    trace_.Line(Outcome("timeouts " + Number(t.read_interval) + "," + Number(t.read_total_multiplier) + "," +
                            Number(t.read_total_constant) + "," + Number(t.write_total_multiplier) + "," +
                            Number(t.write_total_constant),
                        ok, *inner_));
    return ok;
  }
  bool SetupQueues(uint32_t in_size, uint32_t out_size) override {
    const bool ok = inner_->SetupQueues(in_size, out_size);
    trace_.Line(Outcome("queues " + Number(in_size) + "," + Number(out_size), ok, *inner_));
    return ok;
  }
  bool Purge(uint32_t flags) override {
    const bool ok = inner_->Purge(flags);
    trace_.Line(Outcome("purge " + Hex32(flags), ok, *inner_));
    return ok;
  }
  bool EscapeFunction(Escape function) override {
    const bool ok = inner_->EscapeFunction(function);
    static constexpr const char* kNames[] = {"", "", "", "set-rts", "clr-rts", "set-dtr", "clr-dtr"};
    const auto index = static_cast<uint32_t>(function);
    trace_.Line(Outcome(std::string("line ") + (index < 7 ? kNames[index] : "?"), ok, *inner_));
    return ok;
  }
  bool Read(std::span<uint8_t> buffer, size_t& count_read) override {
    const bool ok = inner_->Read(buffer, count_read);
    if (ok) {
      trace_.Transfer("read ok", nullptr, buffer.first(std::min(count_read, buffer.size())));
    } else {
      trace_.Line(Outcome("read", false, *inner_));
    }
    return ok;
  }
  bool Write(std::span<const uint8_t> bytes, size_t& count_written) override {
    const bool ok = inner_->Write(bytes, count_written);
    if (ok) {
      trace_.Transfer("write ok", &count_written, bytes);
    } else {
      trace_.Line(Outcome("write", false, *inner_), bytes, true);
    }
    return ok;
  }
  bool Drain(size_t& left_behind) override {
    const bool ok = inner_->Drain(left_behind);
    trace_.Line(Outcome("drain", ok, *inner_) + (ok ? " " + Number(left_behind) : ""));
    return ok;
  }
  bool GetModemStatus(std::optional<uint32_t>& lines) override {
    const bool ok = inner_->GetModemStatus(lines);
    trace_.Line(Outcome("modem", ok, *inner_) + (!ok ? "" : lines ? " " + Hex32(*lines) : " none"));
    return ok;
  }
  int LastError() const override { return inner_->LastError(); }

 private:
  std::unique_ptr<SerialPort> inner_;
  WireTrace& trace_;
};

}  // namespace

WireTrace::WireTrace(const std::string& path, std::function<void(const std::string&)> fault)
    : path_(path), fault_(std::move(fault)), start_(std::chrono::steady_clock::now()) {
  // A FIFO opens once its reader has; from then on no write waits for it.
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd_ < 0) {
    error_ = path + ": " + std::strerror(errno);
    return;
  }
  ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
  queued_ = "# larkspan wire trace 1\n";
  flusher_ = std::jthread([this](std::stop_token stop) {
    BlockSigpipeInThisThread();
    bool writable = true;
    while (!stop.stop_requested() && writable) {
      writable = Flush(std::chrono::milliseconds(0));
      std::unique_lock lock(mutex_);
      if (dropping_) Fault("the trace " + path_ + " fell behind: its reader does not keep up, and calls are missing "
                           "from it from here on\n");
      wake_.wait_for(lock, stop, kFlushEvery, [] { return false; });
    }
    if (writable) Flush(kLastFlushPatience);
  });
}

void WireTrace::Finish() {
  if (!flusher_.joinable()) return;
  flusher_.request_stop();
  flusher_.join();
}

WireTrace::~WireTrace() {
  Finish();
  if (fd_ >= 0) ::close(fd_);
}

bool WireTrace::Flush(std::chrono::milliseconds patience) {
  auto give_up = std::chrono::steady_clock::now() + patience;
  for (;;) {
    // The queue is taken over only once what was taken before is written: lines wait in the
    // queue, where its limit holds, while the reader is behind.
    if (written_ == writing_.size()) {
      std::lock_guard lock(mutex_);
      writing_.clear();
      written_ = 0;
      writing_.swap(queued_);
      if (writing_.empty()) break;
    }
    const ssize_t n = ::write(fd_, writing_.data() + written_, writing_.size() - written_);
    if (n > 0) {
      written_ += static_cast<size_t>(n);
      give_up = std::chrono::steady_clock::now() + patience;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) {
      Fault("the trace " + path_ + " cannot be written: " + std::strerror(errno) + "\n");
      return false;
    }
    if (std::chrono::steady_clock::now() >= give_up) break;
    pollfd ready{fd_, POLLOUT, 0};
    ::poll(&ready, 1, 10);
  }
  if (writing_.empty()) {  // the reader has taken everything
    std::lock_guard lock(mutex_);
    dropping_ = false;
  } else if (patience.count() > 0) {
    Fault("the trace " + path_ + " ends early: its reader did not take the last calls\n");
  }
  return true;
}

void WireTrace::Fault(const std::string& text) {
  if (faulted_ || !fault_) return;
  faulted_ = true;
  fault_(text);
}

void WireTrace::Queue() {
  if (dropping_ || queued_.size() + line_.size() > kMostQueued) {
    dropping_ = true;
    return;
  }
  queued_ += line_;
}

void WireTrace::Stamp() {
  const auto now = std::chrono::steady_clock::now();
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits,
                                 std::chrono::duration_cast<std::chrono::microseconds>(now - start_).count()).ptr;
  line_.assign(digits, end);
  line_.push_back(' ');
}

void WireTrace::End(std::span<const uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  line_.push_back(' ');
  if (bytes.empty()) line_.push_back('-');
  for (uint8_t byte : bytes) {
    line_.push_back(kDigits[byte >> 4]);
    line_.push_back(kDigits[byte & 15]);
  }
  line_.push_back('\n');
  Queue();
}

void WireTrace::Line(std::string_view what, std::span<const uint8_t> bytes, bool with_bytes) {
  std::lock_guard lock(mutex_);
  if (fd_ < 0) return;
  Stamp();
  line_.append(what);
  if (with_bytes) {
    End(bytes);
  } else {
    line_.push_back('\n');
    Queue();
  }
}

void WireTrace::Transfer(std::string_view what, const size_t* count, std::span<const uint8_t> bytes) {
  std::lock_guard lock(mutex_);
  if (fd_ < 0) return;
  Stamp();
  line_.append(what);
  if (count) {
    char digits[24];
    line_.push_back(' ');
    line_.append(digits, std::to_chars(digits, digits + sizeof digits, *count).ptr);
  }
  End(bytes);
}

std::unique_ptr<SerialPort> TracingSerialPorts::Open(std::u16string_view name, int& error) {
  auto port = inner_.Open(name, error);
  std::string text = "open ";
  for (char16_t c : name) text.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  trace_.Line(text + (port ? " ok" : " failed " + Number(static_cast<uint64_t>(error))));
  if (!port) return nullptr;
  return std::make_unique<TracingSerialPort>(std::move(port), trace_);
}

}  // namespace larkspan
