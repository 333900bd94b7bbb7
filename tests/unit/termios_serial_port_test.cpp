// The termios back-end on a real pseudo-terminal, for what a fake port cannot show: the
// tty's own settings, what reads return under each channel's time-outs, the exclusive open,
// purges, and control lines that a pty does not have. The test holds the master side (the
// receiver's end); the port under test opens the slave side by its path.
#include "platform/termios_serial_port.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/e2e/process.h"
#include "tests/unit/scenario_rig.h"
#include "transfer/upgrade_worker.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <cerrno>
#include <numeric>
#include <thread>
#include <tuple>

// The modem lines the port drives, as its ioctl calls ask: a pty has none to show them.
std::string driven;
extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  if (request == TIOCMBIS || request == TIOCMBIC) {
    driven += std::string(*static_cast<int*>(arg) == TIOCM_DTR ? "dtr" : "rts") + (request == TIOCMBIS ? "+ " : "- ");
  }
  static const auto real = reinterpret_cast<int (*)(int, unsigned long, void*)>(dlsym(RTLD_NEXT, "ioctl"));
  return real(fd, request, arg);
}

namespace larkspan {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr CommTimeouts kUpdate{0, 0, 1000, 0, 1000}, kProbe{kMaxTimeout, 0, 0, 10, 1000};

// XON and XOFF as a new tty has them, and as they stay without software flow control.
LineSettings Line(uint32_t baud, uint32_t low_flags = 1, uint8_t parity = 0, uint8_t stop_bits = 0, uint8_t bits = 8) {
  return {.length = 28, .baud = baud, .flags = low_flags, .byte_size = bits, .parity = parity, .stop_bits = stop_bits,
          .xon_char = 0x11, .xoff_char = 0x13};
}

// Waits, two seconds at most, until `fd` holds `n` bytes to read: a pty hands bytes over to
// the other side asynchronously.
void Await(int fd, size_t n) {
  int have = 0;
  for (int i = 0; i < 2000 && ioctl(fd, FIONREAD, &have) == 0 && have < static_cast<int>(n); ++i) usleep(1000);
}

// A pty pair. The test's own slave descriptor keeps the pty up between the port's opens and
// shows the tty's exclusive flag.
class TermiosSerialPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0);
    path_ = ptsname(master_);
    ASSERT_GE(slave_ = open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK), 0);
  }
  void TearDown() override {
    close(master_);
    close(slave_);
  }
  std::unique_ptr<SerialPort> Open(std::u16string_view name = u"COM1:", std::string path = "") {
    return TermiosSerialPorts(PortNames{path.empty() ? path_ : path}).Open(name, error_);
  }

  int master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK), slave_ = -1, error_ = -1;
  std::string path_;
};

// COM1: in any letter case, one handle at a time, even for root (the flock). Closing leaves
// neither the lock nor the tty's exclusive flag behind; a refused open leaves the flag alone,
// and the first failed open of a run is told. A pty is known as one.
TEST_F(TermiosSerialPortTest, OpensExclusivelyAndRefusesWhatIsNoFreeTty) {
  const auto exclusive = [this] { int on = -1; return ioctl(slave_, TIOCGEXCL, &on) == 0 ? on : -1; };
  auto port = Open(u"com1:");
  EXPECT_EQ(exclusive(), 1);
  port.reset();
  EXPECT_EQ(exclusive(), 0);
  const int holder = open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  for (const auto& [name, path, error] : {std::tuple<const char16_t*, std::string, int>{u"COM1:", path_, EWOULDBLOCK},
                                          {u"COM2:", path_, ENOENT}, {u"COM1:", "/nonexistent/tty", ENOENT},
                                          {u"COM1:", "/dev/null", ENOTTY}}) {
    EXPECT_EQ(Open(name, path), nullptr);
    EXPECT_EQ(error_, error) << path;
  }
  EXPECT_EQ(exclusive(), 0);
  close(holder);
  EXPECT_TRUE(TermiosSerialPorts(PortNames{path_}).IsPseudoTerminal(u"COM1:"));
  EXPECT_FALSE(TermiosSerialPorts(PortNames{"/dev/null"}).IsPseudoTerminal(u"COM1:")) << "a device, but no pty";
  TermiosSerialPorts ports(PortNames{"/nonexistent/tty"});
  std::string told;
  ports.on_open_failure = [&](const std::string& path, int error) { told += path + " " + std::to_string(error) + ";"; };
  EXPECT_FALSE(ports.Open(u"COM1:", error_) || ports.Open(u"COM2:", error_));
  EXPECT_EQ(told, "/nonexistent/tty 2;") << "told once a run";
  EXPECT_NE(Open(), nullptr);
  EXPECT_EQ(error_, 0);
}

// Settings land on the tty, raw, and read back as applied; a pty forces 8 data bits without
// parity. It has no modem lines either: driving DTR and RTS there is no failure, and the levels
// asked for (each channel's, then the escape functions') are seen on their way.
TEST_F(TermiosSerialPortTest, AppliesLineSettingsAndRefusesWhatATtyCannotDo) {
  termios tio{};
  tcgetattr(slave_, &tio);
  tio.c_cflag |= HUPCL;  // as a serial driver's tty starts: it drops its lines on close
  ASSERT_EQ(tcsetattr(slave_, TCSANOW, &tio), 0);
  auto port = Open();
  ASSERT_NE(port, nullptr);
  driven.clear();
  // Each handle as it opens, then with each channel's settings; last the probe channel's, whose
  // parity check has no parity. HUPCL stays off: a close leaves DTR and RTS as they were set.
  for (const auto& [applied, cflag, iflag, read_back] :
       {std::tuple{std::optional<LineSettings>(), tcflag_t{B38400 | CS8}, tcflag_t{0}, Line(38400)},
        {Line(4800), B4800 | CS8, 0, Line(4800)}, {Line(115200), B115200 | CS8, 0, Line(115200)},
        {Line(9600, 0x0003, 2, 2), B9600 | CS8 | CSTOPB, INPCK, Line(9600, 0x0003, 0, 2)},
        {Line(57600, 0x1017), B57600 | CS8 | CRTSCTS, 0, Line(57600, 0x1015)},
        {Line(19200, 0x0301), B19200 | CS8, IXON | IXOFF, Line(19200, 0x0301)}}) {  // XON/XOFF both ways
    ASSERT_TRUE(!applied || port->SetState(*applied));
    tcgetattr(master_, &tio);  // a pty master reports its slave's settings
    EXPECT_EQ(tio.c_cflag & (CBAUD | CSIZE | PARENB | CSTOPB | CRTSCTS | HUPCL), cflag);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | INPCK), iflag);
    EXPECT_EQ((tio.c_lflag & (ICANON | ECHO | ISIG)) | (tio.c_oflag & OPOST), 0u);
    LineSettings back{.length = 28};
    EXPECT_TRUE(port->GetState(back) && back == read_back) << read_back.baud;
  }
  EXPECT_TRUE(port->EscapeFunction(Escape::kSetDtr) && port->EscapeFunction(Escape::kSetRts) &&
              port->EscapeFunction(Escape::kClrDtr) && port->EscapeFunction(Escape::kClrRts));
  EXPECT_EQ(driven, "dtr- rts- dtr- rts- dtr- rts- dtr+ rts+ dtr- rts- dtr+ rts+ dtr- rts- ");
  LineSettings same_xon_xoff = Line(38400, 0x0101);  // software flow control cannot tell them apart
  same_xon_xoff.xoff_char = same_xon_xoff.xon_char;
  for (const LineSettings& bad : {Line(12345), Line(0), Line(38400, 1, 0, 0, 9), Line(38400, 1, 0, 0, 4), Line(38400, 1, 3),
                                  Line(38400, 1, 0, 1), Line(38400, 0x0021), Line(38400, 0x3001), same_xon_xoff}) {
    EXPECT_FALSE(port->SetState(bad));
    EXPECT_EQ(port->LastError(), EINVAL);
  }
  LineSettings unchanged;
  EXPECT_TRUE(port->GetState(unchanged) && unchanged.baud == 19200);
  // Every standard rate of a tty is taken and read back.
  for (const uint32_t baud : {50, 75, 110, 134, 150, 200, 300, 600, 1200, 1800, 2400, 4800, 9600, 19200, 38400, 57600,
                              115200, 230400, 460800, 500000, 576000, 921600, 1000000, 1152000, 1500000, 2000000,
                              2500000, 3000000, 3500000, 4000000}) {
    EXPECT_TRUE(port->SetState(Line(baud)) && port->GetState(unchanged) && unchanged.baud == baud) << baud;
  }
}

// A read returns at most what it asked for: once that much came, else what came by its limit
// (possibly nothing, still a success); the probe channel's never waits. Bytes come either
// before the read or while it waits. A purge drops input waiting, never bytes written, and
// every byte value passes both ways.
TEST_F(TermiosSerialPortTest, ReadsReturnWhatArrivedWithinTheirTimeoutsAndPurgesDropOnlyInput) {
  auto port = Open();
  ASSERT_TRUE(port && port->SetState(Line(115200)));
  Bytes all(256);
  std::iota(all.begin(), all.end(), 0);
  for (const auto& [timeouts, before, during, asked, returned, purge_first] :
       {std::tuple{kUpdate, 0, 0, 1, 0, false}, {kUpdate, 3, 0, 2, 2, false}, {kUpdate, 3, 0, 8, 3, false},
        {kUpdate, 0, 3, 3, 3, false}, {kProbe, 0, 0, 1, 0, false}, {kProbe, 0, 3, 3, 0, false},
        {kProbe, 256, 0, 256, 256, false}, {kProbe, 256, 0, 256, 0, true},
        {CommTimeouts{50, 0, 0, 0, 0}, 0, 3, 8, 3, false}}) {  // no total limit: a pause after the last byte ends it
    ASSERT_TRUE(port->SetTimeouts(timeouts));
    ASSERT_EQ(write(master_, all.data(), before), before);
    Await(slave_, before);
    ASSERT_TRUE(!purge_first || port->Purge(purge::kTxClear | purge::kRxClear));
    std::jthread sender([&, during = during] {  // the bytes that come while the read waits
      usleep(during > 0 ? 300000 : 0);
      EXPECT_EQ(write(master_, all.data(), during), during);
    });
    Bytes got(static_cast<size_t>(asked));
    size_t count = 99;
    EXPECT_TRUE(port->Read(got, count));
    got.resize(count);
    EXPECT_EQ(got, Bytes(all.begin(), all.begin() + returned)) << before << "+" << during << " of " << asked;
    sender.join();
    Await(slave_, purge_first ? 0 : before + during - returned);
    ASSERT_TRUE(port->Purge(purge::kRxClear));
  }
  size_t count = 0;
  EXPECT_TRUE(port->Write(all, count) && port->Purge(purge::kTxClear | purge::kRxClear));  // as a close does
  EXPECT_EQ(count, all.size());
  Bytes got(512);
  Await(master_, all.size());
  got.resize(static_cast<size_t>(std::max<ssize_t>(read(master_, got.data(), got.size()), 0)));
  EXPECT_EQ(got, all);

  // A write that runs out of time, the other side reading nothing, ends with what went.
  ASSERT_TRUE(port->SetTimeouts({0, 0, 0, 0, 100}));
  EXPECT_TRUE(port->Write(Bytes(1 << 20), count));
  EXPECT_TRUE(count > 0 && count < (1u << 20)) << count;
  // Once the other side is gone, reads and writes fail instead of waiting or spinning.
  close(std::exchange(master_, -1));
  ASSERT_TRUE(port->SetTimeouts(kUpdate));
  EXPECT_FALSE(port->Read(got, count));
  EXPECT_EQ(port->LastError(), EIO);
  EXPECT_FALSE(port->Write(all, count));
  EXPECT_EQ(port->LastError(), EIO);
}

// What one read() took is served from the port's buffer: bytes that wait there come even with
// the descriptor swapped for a folder, whose reads then fail. A purge drops the buffer with the
// tty's input; with nothing waiting, a read still lasts its whole time-out.
TEST_F(TermiosSerialPortTest, ReadsServeWhatOneReadTookAndAPurgeDropsIt) {
  auto port = Open();
  ASSERT_TRUE(port && port->SetState(Line(115200)) && port->SetTimeouts(kUpdate));
  const auto read_one = [&] {
    uint8_t byte = 0;
    size_t count = 9;
    EXPECT_TRUE(port->Read({&byte, 1}, count));
    return count == 1 ? std::string(1, static_cast<char>(byte)) : std::string(count, '?');
  };
  ASSERT_EQ(write(master_, "ABC", 3), 3);
  Await(slave_, 3);
  EXPECT_EQ(read_one(), "A");
  const int fd = dynamic_cast<TermiosSerialPort&>(*port).fd(), tty = dup(fd), folder = open("/", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(dup2(folder, fd), 0);  // what the read took still comes; then reads fail
  EXPECT_EQ(read_one(), "B");
  EXPECT_EQ(read_one(), "C");
  uint8_t byte = 0;
  size_t count = 0;
  EXPECT_FALSE(port->Read({&byte, 1}, count));
  EXPECT_EQ(port->LastError(), EISDIR);
  dup2(tty, fd);
  for (int end : {tty, folder}) close(end);
  ASSERT_TRUE(port->Purge(purge::kRxClear));
  ASSERT_EQ(write(master_, "D", 1), 1);
  EXPECT_EQ(read_one(), "D");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(read_one(), "");
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
}

// A hold keeps every other opener out, in the gaps between the holder's channels too, while
// the holder's own opens go through, also as a user other than root, whom TIOCEXCL would
// refuse a fresh open.
TEST_F(TermiosSerialPortTest, AHoldKeepsOtherOpenersOutAndLetsItsOwnIn) {
  TermiosSerialPorts ours(PortNames{path_}), theirs(PortNames{path_});
  auto hold = ours.Hold(u"COM1:");
  ASSERT_TRUE(hold);
  EXPECT_TRUE(ours.Open(u"COM1:", error_)) << error_;
  EXPECT_FALSE(theirs.Open(u"COM1:", error_)) << "in the gap after the holder's channel closed";
  const pid_t child = fork();
  if (child == 0) _exit(setgid(65534) == 0 && setuid(65534) == 0 && ours.Open(u"COM1:", error_) ? 0 : 1);
  int status = -1;
  EXPECT_EQ(waitpid(child, &status, 0) == child ? status : -1, 0) << "the holder's own open as nobody";
  hold.reset();
  EXPECT_TRUE(theirs.Open(u"COM1:", error_)) << error_;
}

// A driver with a low-latency flag and a latency timer, as ftdi_sio has; one whose timer this
// user may not lower keeps it.
struct FtdiDriver final : TtyDriver {
  std::optional<int> SerialFlags(int) override { return flags; }
  bool SetSerialFlags(int, int to) override { return Note("flags", flags = to); }
  std::optional<std::string> UsbSerialDriver(const std::string&) override { return "ftdi_sio"; }
  std::optional<int> LatencyTimerMs(const std::string&) override { return timer; }
  bool SetLatencyTimerMs(const std::string&, int ms) override { return Note("timer", timer_fixed ? timer : timer = ms); }
  bool Note(const char* what, int value) {
    calls += std::string(what) + " " + std::to_string(value) + ", ";
    return !timer_fixed || *what == 'f';
  }
  int flags = 0x10, timer = 16;
  bool timer_fixed = false;
  std::string calls;
};

// Asked for on each open and put back on each close, through the driver seam; where the timer
// stays high, said once. A pty's real driver has neither: nothing is asked, nothing said.
TEST_F(TermiosSerialPortTest, LowLatencyIsAskedForOnOpenAndPutBackOnClose) {
  for (const bool fixed : {false, true}) {
    FtdiDriver driver;
    driver.timer_fixed = fixed;
    TermiosSerialPorts ports(PortNames{path_}, &driver);
    std::string told;
    ports.on_slow_line = [&](const SlowLine& line) { told += line.driver + " " + std::to_string(line.latency_ms) + ";"; };
    for (int open = 0; open < 2; ++open) ASSERT_NE(ports.Open(u"COM1:", error_), nullptr);
    EXPECT_EQ(driver.calls, fixed ? "flags 8208, timer 16, flags 16, flags 8208, timer 16, flags 16, "
                                  : "flags 8208, timer 1, flags 16, timer 16, flags 8208, timer 1, flags 16, timer 16, ");
    EXPECT_EQ(told, fixed ? "ftdi_sio 16;" : "");
  }
  TermiosSerialPorts ports(PortNames{path_});
  ports.on_slow_line = [](const SlowLine&) { ADD_FAILURE() << "a pty is no USB-serial adapter"; };
  EXPECT_NE(ports.Open(u"COM1:", error_), nullptr);
}

// A stop (what a second SIGINT asks for) ends the loader upload at its next byte, and the port
// closes through its own code: no exclusive flag left on the tty, the driver's latency back.
TEST_F(TermiosSerialPortTest, AStopEndsTheUploadAtItsNextByteAndPutsThePortBack) {
  FtdiDriver driver;
  TermiosSerialPorts ports(PortNames{path_}, &driver);
  testing::Rig rig;
  ProgramState state(ports, rig.clock, rig.sink, rig.registry);
  state.loader_file.Open(rig.File(std::string(200'000, '\x7F')).path().string());
  state.srecord_file.Open(rig.File(testing::Records(3)).path().string());
  size_t received = 0;
  std::thread receiver([&] {
    uint8_t bytes[4096];
    for (int idle = 0; idle < 2000; ++idle, usleep(1000)) {
      for (ssize_t n; (n = read(master_, bytes, sizeof bytes)) > 0; idle = 0) received += static_cast<size_t>(n);
      if (received > 50'000) state.stop_signal.store(SIGINT);
    }
  });
  WorkerTelemetry telemetry;
  EXPECT_EQ(UpgradeWorker(state, telemetry), 0);
  receiver.join();
  int exclusive = -1;
  EXPECT_TRUE(ioctl(slave_, TIOCGEXCL, &exclusive) == 0 && exclusive == 0);
  EXPECT_EQ(std::tuple(driver.flags, driver.timer, telemetry.failed_stage.load()), std::tuple(0x10, 16, WorkerStage::kLoader));
  EXPECT_LT(received, 150'000u) << "the upload went on after the stop";
}

// The machine's driver reads a USB-serial device's driver and latency timer from sysfs.
TEST(TtyDriver, ReadsAndSetsTheLatencyTimerOfAUsbSerialDeviceInSysfs) {
  namespace fs = std::filesystem;
  const e2e::TempDir sys;
  const fs::path device = sys.path() / "class/tty/ttyUSB0/device", bus = sys.path() / "bus/usb-serial";
  fs::create_directories(device);
  fs::create_directories(bus / "drivers/ftdi_sio");
  fs::create_directory_symlink(bus, device / "subsystem");
  fs::create_directory_symlink(bus / "drivers/ftdi_sio", device / "driver");
  std::ofstream(device / "latency_timer") << "16\n";
  TtyDriver driver(sys.path());
  EXPECT_EQ(driver.UsbSerialDriver("ttyUSB0"), "ftdi_sio");
  EXPECT_EQ(driver.LatencyTimerMs("ttyUSB0"), 16);
  EXPECT_TRUE(driver.SetLatencyTimerMs("ttyUSB0", 1));
  EXPECT_EQ(e2e::ReadFile(device / "latency_timer"), "1\n");
  EXPECT_FALSE(driver.UsbSerialDriver("ttyACM0") || driver.LatencyTimerMs("ttyACM0") ||
               driver.SetLatencyTimerMs("ttyACM0", 1));
  fs::create_symlink(device / "latency_timer", sys.path() / "by-id");
  EXPECT_EQ(TtyKernelName((sys.path() / "by-id").string()), "latency_timer") << "links are followed";
}

}  // namespace
}  // namespace larkspan
