// The termios back-end against a pseudo-terminal: this test holds the master side, the port
// under test opens the slave side by its path.
#include "platform/termios_serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <numeric>
#include <string>
#include <vector>

namespace larkspan {
namespace {

using std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

constexpr CommTimeouts kUpdateTimeouts{0, 0, 1000, 0, 1000};
constexpr CommTimeouts kProbeTimeouts{kMaxTimeout, 0, 0, 10, 1000};

// A pty pair. One slave descriptor stays open for the test's life, so the pty stays up
// between the port's opens and the test can look at the tty's exclusive flag.
class Pty {
 public:
  Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    char name[128] = {};
    if (ptsname_r(master_, name, sizeof name) != 0) return;
    slave_path_ = name;
    slave_ = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
  }
  ~Pty() {
    CloseMaster();
    if (slave_ >= 0) close(slave_);
  }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  bool ok() const { return master_ >= 0 && slave_ >= 0; }
  int master() const { return master_; }
  int slave() const { return slave_; }
  const std::string& slave_path() const { return slave_path_; }
  void CloseMaster() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }

  // Reads `n` bytes from the master side, or what came within `limit`.
  std::vector<uint8_t> ReadMaster(size_t n, milliseconds limit = milliseconds(2000)) const {
    std::vector<uint8_t> got;
    const auto deadline = SteadyClock::now() + limit;
    while (got.size() < n && SteadyClock::now() < deadline) {
      pollfd watched{master_, POLLIN, 0};
      if (poll(&watched, 1, 20) <= 0) continue;
      uint8_t chunk[512];
      const ssize_t r = read(master_, chunk, std::min(sizeof chunk, n - got.size()));
      if (r > 0) got.insert(got.end(), chunk, chunk + r);
    }
    return got;
  }

  speed_t MasterSpeed() const {
    termios tio{};
    tcgetattr(master_, &tio);  // on a pty master this shows the slave's settings
    return cfgetospeed(&tio);
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slave_path_;
};

class TermiosSerialPortTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(pty_.ok()); }

  std::unique_ptr<SerialPort> OpenCom1(int& error) { return ports_.Open(u"COM1:", error); }
  std::unique_ptr<SerialPort> OpenCom1() {
    int error = -1;
    auto port = OpenCom1(error);
    EXPECT_NE(port, nullptr) << "errno " << error;
    return port;
  }

  static LineSettings Settings(uint32_t baud, uint32_t low_flags) {
    LineSettings s;
    s.length = 28;
    s.baud = baud;
    s.flags = line_flag::WithLow15(0, low_flags);
    s.byte_size = 8;
    return s;
  }

  int ExclusiveFlag() const {
    int exclusive = -1;
    ioctl(pty_.slave(), TIOCGEXCL, &exclusive);
    return exclusive;
  }

  Pty pty_;
  TermiosSerialPorts ports_{PortNames{pty_.slave_path()}};
};

TEST(PortNamesTest, MapsCom1OnlyAndReadsTheEnvironment) {
  const PortNames names{"/dev/ttyUSB3"};
  EXPECT_EQ(names.PathOf(u"COM1:"), "/dev/ttyUSB3");
  EXPECT_EQ(names.PathOf(u"com1:"), "/dev/ttyUSB3");
  EXPECT_EQ(names.PathOf(u"COM2:"), std::nullopt);
  EXPECT_EQ(names.PathOf(u"COM1"), std::nullopt);
  EXPECT_EQ(names.PathOf(u""), std::nullopt);

  const char* saved = getenv("LARKSPAN_COM1");
  const std::string saved_value = saved ? saved : "";
  setenv("LARKSPAN_COM1", "/dev/pts/77", 1);
  EXPECT_EQ(PortNames::FromEnvironment().com1_path, "/dev/pts/77");
  setenv("LARKSPAN_COM1", "", 1);
  EXPECT_EQ(PortNames::FromEnvironment().com1_path, "/dev/ttyS0");
  unsetenv("LARKSPAN_COM1");
  EXPECT_EQ(PortNames::FromEnvironment().com1_path, "/dev/ttyS0");
  if (saved) setenv("LARKSPAN_COM1", saved_value.c_str(), 1);
}

TEST_F(TermiosSerialPortTest, OpensExclusivelyAndLeavesTheTtyFreeOnClose) {
  int error = -1;
  {
    auto port = OpenCom1(error);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(ExclusiveFlag(), 1);

    // A second handle is refused while the first is open, even for root.
    int second_error = 0;
    EXPECT_EQ(OpenCom1(second_error), nullptr);
    EXPECT_EQ(second_error, EWOULDBLOCK);
  }
  // Closing cleared the tty's exclusive flag, so the next open (by anyone) succeeds.
  EXPECT_EQ(ExclusiveFlag(), 0);
  EXPECT_NE(OpenCom1(), nullptr);
  EXPECT_EQ(ExclusiveFlag(), 0);

  // Another program holding the lock keeps us out until it lets go.
  const int holder = open(pty_.slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(OpenCom1(error), nullptr);
  EXPECT_EQ(error, EWOULDBLOCK);
  EXPECT_EQ(ExclusiveFlag(), 0);  // the refused open left the tty's flags alone
  close(holder);
  EXPECT_NE(OpenCom1(), nullptr);
}

TEST_F(TermiosSerialPortTest, RefusesUnknownNamesMissingPathsAndNonTtys) {
  int error = 0;
  EXPECT_EQ(ports_.Open(u"COM2:", error), nullptr);
  EXPECT_EQ(error, ENOENT);

  EXPECT_EQ(TermiosSerialPorts(PortNames{"/nonexistent/tty"}).Open(u"COM1:", error), nullptr);
  EXPECT_EQ(error, ENOENT);

  char file[] = "/tmp/larkspan-not-a-tty-XXXXXX";
  const int fd = mkstemp(file);
  ASSERT_GE(fd, 0);
  close(fd);
  EXPECT_EQ(TermiosSerialPorts(PortNames{file}).Open(u"COM1:", error), nullptr);
  EXPECT_EQ(error, ENOTTY);
  unlink(file);
}

TEST_F(TermiosSerialPortTest, AppliesAndReportsLineSettings) {
  auto port = OpenCom1();
  ASSERT_NE(port, nullptr);

  const std::pair<uint32_t, speed_t> speeds[] = {
      {4800, B4800}, {38400, B38400}, {57600, B57600}, {115200, B115200}};
  for (const auto& [baud, speed] : speeds) {
    SCOPED_TRACE(baud);
    ASSERT_TRUE(port->SetState(Settings(baud, 0x0001)));
    LineSettings read_back;
    read_back.length = 28;
    ASSERT_TRUE(port->GetState(read_back));
    EXPECT_EQ(read_back.length, 28u);  // the caller's field, untouched
    EXPECT_EQ(read_back.baud, baud);
    EXPECT_EQ(read_back.byte_size, 8);
    EXPECT_EQ(read_back.parity, 0);
    EXPECT_EQ(read_back.stop_bits, 0);
    EXPECT_EQ(read_back.flags, line_flag::kBinary);
    EXPECT_EQ(pty_.MasterSpeed(), speed);
  }

  // The probe channel's flags: CTS flow, DTR and RTS held high.
  ASSERT_TRUE(port->SetState(Settings(57600, 0x1017)));
  LineSettings probe;
  ASSERT_TRUE(port->GetState(probe));
  EXPECT_EQ(probe.length, 0u);
  EXPECT_EQ(probe.flags, line_flag::kBinary | line_flag::kOutxCtsFlow |
                             line_flag::kDtrControlEnable | line_flag::kRtsControlEnable);
  termios tio{};
  ASSERT_EQ(tcgetattr(pty_.master(), &tio), 0);
  EXPECT_NE(tio.c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);  // raw
  EXPECT_EQ(tio.c_iflag & (IXON | ICRNL), 0u);
  EXPECT_EQ(tio.c_oflag & OPOST, 0u);

  // What a tty cannot do is refused with EINVAL and changes nothing.
  LineSettings bad[8];
  for (auto& s : bad) s = Settings(38400, 0x0001);
  bad[0].baud = 12345;
  bad[1].baud = 0;
  bad[2].byte_size = 9;
  bad[3].byte_size = 4;
  bad[4].parity = 3;           // mark
  bad[5].stop_bits = 1;        // one and a half
  bad[6].flags = 0x0021;       // DTR handshake
  bad[7].flags = 0x3001;       // RTS toggle
  for (const LineSettings& s : bad) {
    EXPECT_FALSE(port->SetState(s));
    EXPECT_EQ(port->LastError(), EINVAL);
  }
  EXPECT_EQ(pty_.MasterSpeed(), B57600);

  // Time-outs and queue sizes are kept as given.
  CommTimeouts timeouts;
  ASSERT_TRUE(port->GetTimeouts(timeouts));
  EXPECT_EQ(timeouts, CommTimeouts{});
  ASSERT_TRUE(port->SetTimeouts(kProbeTimeouts));
  ASSERT_TRUE(port->GetTimeouts(timeouts));
  EXPECT_EQ(timeouts, kProbeTimeouts);
  ASSERT_TRUE(port->SetupQueues(4096, 512));
  const auto& termios_port = dynamic_cast<const TermiosSerialPort&>(*port);
  EXPECT_EQ(termios_port.in_queue_size(), 4096u);
  EXPECT_EQ(termios_port.out_queue_size(), 512u);

  // A pty has no modem lines; driving them is not a failure.
  for (Escape e : {Escape::kSetDtr, Escape::kSetRts, Escape::kClrDtr, Escape::kClrRts}) {
    EXPECT_TRUE(port->EscapeFunction(e));
  }
  EXPECT_TRUE(port->Purge(purge::kTxClear | purge::kRxClear));
}

TEST_F(TermiosSerialPortTest, ReadsWaitAsTheirTimeoutsSay) {
  auto port = OpenCom1();
  ASSERT_NE(port, nullptr);
  uint8_t byte = 0;
  size_t count = 99;

  // Update channel: one second at most, then success with nothing.
  ASSERT_TRUE(port->SetTimeouts(kUpdateTimeouts));
  auto start = SteadyClock::now();
  EXPECT_TRUE(port->Read({&byte, 1}, count));
  auto took = SteadyClock::now() - start;
  EXPECT_EQ(count, 0u);
  EXPECT_GE(took, milliseconds(900));
  EXPECT_LE(took, milliseconds(1500));

  // Probe channel: at once.
  ASSERT_TRUE(port->SetTimeouts(kProbeTimeouts));
  count = 99;
  start = SteadyClock::now();
  EXPECT_TRUE(port->Read({&byte, 1}, count));
  EXPECT_EQ(count, 0u);
  EXPECT_LT(SteadyClock::now() - start, milliseconds(100));

  // ... and with bytes waiting it hands them over.
  const uint8_t sent[] = {0xA0, 0xA2, 0x00};
  ASSERT_EQ(write(pty_.master(), sent, sizeof sent), 3);
  usleep(20'000);
  uint8_t got[8] = {};
  EXPECT_TRUE(port->Read(got, count));
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(got[1], 0xA2);

  // An interval limit ends a read once the bytes stop coming, well before its total limit.
  ASSERT_TRUE(port->SetTimeouts(CommTimeouts{50, 0, 2000, 0, 0}));
  ASSERT_EQ(write(pty_.master(), sent, sizeof sent), 3);
  start = SteadyClock::now();
  EXPECT_TRUE(port->Read(got, count));
  took = SteadyClock::now() - start;
  EXPECT_EQ(count, 3u);
  EXPECT_GE(took, milliseconds(40));
  EXPECT_LE(took, milliseconds(500));
}

TEST_F(TermiosSerialPortTest, CarriesEveryByteValueBothWays) {
  auto port = OpenCom1();
  ASSERT_NE(port, nullptr);
  ASSERT_TRUE(port->SetState(Settings(115200, 0x0001)));
  ASSERT_TRUE(port->SetTimeouts(kUpdateTimeouts));

  std::vector<uint8_t> all(256);
  std::iota(all.begin(), all.end(), 0);
  size_t count = 0;
  ASSERT_TRUE(port->Write(all, count));
  EXPECT_EQ(count, all.size());
  // A write followed at once by the close's purge still delivers every byte.
  EXPECT_TRUE(port->Purge(purge::kTxClear | purge::kRxClear));
  EXPECT_EQ(pty_.ReadMaster(all.size()), all);

  std::vector<uint8_t> reversed(all.rbegin(), all.rend());
  ASSERT_EQ(write(pty_.master(), reversed.data(), reversed.size()), 256);
  std::vector<uint8_t> got(256);
  const auto start = SteadyClock::now();
  ASSERT_TRUE(port->Read(got, count));
  EXPECT_EQ(count, got.size());
  EXPECT_EQ(got, reversed);
  EXPECT_LT(SteadyClock::now() - start, milliseconds(500));  // no waiting once all arrived
}

TEST_F(TermiosSerialPortTest, WriteStopsAtItsTimeoutAndAGonePeerFails) {
  auto port = OpenCom1();
  ASSERT_NE(port, nullptr);
  // Nobody reads the master side, so the pty fills up and the write runs out of time.
  ASSERT_TRUE(port->SetTimeouts(CommTimeouts{0, 0, 0, 0, 200}));
  const std::vector<uint8_t> lots(1 << 20, 0x55);
  size_t count = 0;
  const auto start = SteadyClock::now();
  EXPECT_TRUE(port->Write(lots, count));
  const auto took = SteadyClock::now() - start;
  EXPECT_GT(count, 0u);
  EXPECT_LT(count, lots.size());
  EXPECT_GE(took, milliseconds(190));
  EXPECT_LE(took, milliseconds(1000));
  EXPECT_TRUE(port->Purge(purge::kTxClear | purge::kRxClear));

  // With the other side gone, reads and writes fail instead of waiting or spinning.
  pty_.CloseMaster();
  ASSERT_TRUE(port->SetTimeouts(kUpdateTimeouts));
  uint8_t byte = 0;
  EXPECT_FALSE(port->Read({&byte, 1}, count));
  EXPECT_EQ(port->LastError(), EIO);
  EXPECT_FALSE(port->Write(std::span<const uint8_t>(&byte, 1), count));
  EXPECT_EQ(port->LastError(), EIO);
}

}  // namespace
}  // namespace larkspan
