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
#include <numeric>
#include <string>
#include <vector>

namespace larkspan {
namespace {

constexpr CommTimeouts kUpdateTimeouts{0, 0, 1000, 0, 1000};
constexpr CommTimeouts kProbeTimeouts{kMaxTimeout, 0, 0, 10, 1000};

// A pty pair. One slave descriptor stays open for the test's life, so the pty stays up
// between the port's opens and the test can look at the tty's exclusive flag.
class TermiosSerialPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0);
    char name[128] = {};
    ASSERT_EQ(ptsname_r(master_, name, sizeof name), 0);
    slave_path_ = name;
    slave_ = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(slave_, 0);
  }
  void TearDown() override {
    CloseMaster();
    if (slave_ >= 0) close(slave_);
  }
  void CloseMaster() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }

  std::unique_ptr<SerialPort> OpenCom1(int* error = nullptr) {
    int ignored = 0;
    return TermiosSerialPorts(PortNames{slave_path_}).Open(u"COM1:", error ? *error : ignored);
  }
  int ExclusiveFlag() const {
    int exclusive = -1;
    ioctl(slave_, TIOCGEXCL, &exclusive);
    return exclusive;
  }
  speed_t MasterSpeed() const {
    termios tio{};
    tcgetattr(master_, &tio);  // on a pty master this shows the slave's settings
    return cfgetospeed(&tio);
  }
  // Reads `n` bytes from the master side, or what came before a two-second lull.
  std::vector<uint8_t> ReadMaster(size_t n) const {
    std::vector<uint8_t> got(n);
    size_t have = 0;
    for (pollfd w{master_, POLLIN, 0}; have < n && poll(&w, 1, 2000) > 0;) {
      const ssize_t r = read(master_, got.data() + have, n - have);
      if (r > 0) have += static_cast<size_t>(r);
    }
    got.resize(have);
    return got;
  }
  static LineSettings Settings(uint32_t baud, uint32_t low_flags) {
    LineSettings s;
    s.length = 28;
    s.baud = baud;
    s.flags = line_flag::WithLow15(0, low_flags);
    s.byte_size = 8;
    return s;
  }

  int master_ = -1;
  int slave_ = -1;
  std::string slave_path_;
};

TEST(PortNamesTest, MapsCom1OnlyAndReadsTheEnvironment) {
  const PortNames names{"/dev/ttyUSB3"};
  EXPECT_EQ(names.PathOf(u"COM1:"), "/dev/ttyUSB3");
  EXPECT_EQ(names.PathOf(u"com1:"), "/dev/ttyUSB3");
  for (const char16_t* other : {u"COM2:", u"COM1", u""})
    EXPECT_EQ(names.PathOf(other), std::nullopt);

  setenv("LARKSPAN_COM1", "/dev/pts/77", 1);
  EXPECT_EQ(PortNames::FromEnvironment().com1_path, "/dev/pts/77");
  setenv("LARKSPAN_COM1", "", 1);
  EXPECT_EQ(PortNames::FromEnvironment().com1_path, "/dev/ttyS0");
  unsetenv("LARKSPAN_COM1");
}

TEST_F(TermiosSerialPortTest, OpensExclusivelyAndLeavesTheTtyFreeOnClose) {
  int error = -1;
  {
    auto port = OpenCom1(&error);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(ExclusiveFlag(), 1);
    EXPECT_EQ(OpenCom1(&error), nullptr);  // a second handle is refused, even for root
    EXPECT_EQ(error, EWOULDBLOCK);
  }
  EXPECT_EQ(ExclusiveFlag(), 0);  // closing cleared the tty's exclusive flag
  EXPECT_NE(OpenCom1(), nullptr);

  // Another program holding the lock keeps us out, leaving the tty's flags alone.
  const int holder = open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(OpenCom1(&error), nullptr);
  EXPECT_EQ(error, EWOULDBLOCK);
  EXPECT_EQ(ExclusiveFlag(), 0);
  close(holder);
  EXPECT_NE(OpenCom1(), nullptr);
}

TEST_F(TermiosSerialPortTest, RefusesUnknownNamesMissingPathsAndNonTtys) {
  char file[] = "/tmp/larkspan-not-a-tty-XXXXXX";
  const int fd = mkstemp(file);
  ASSERT_GE(fd, 0);
  close(fd);
  const struct {
    std::string path;
    std::u16string name;
    int error;
  } cases[] = {{slave_path_, u"COM2:", ENOENT},
               {"/nonexistent/tty", u"COM1:", ENOENT},
               {file, u"COM1:", ENOTTY}};
  for (const auto& c : cases) {
    int error = 0;
    EXPECT_EQ(TermiosSerialPorts(PortNames{c.path}).Open(c.name, error), nullptr) << c.path;
    EXPECT_EQ(error, c.error) << c.path;
  }
  unlink(file);
}

TEST_F(TermiosSerialPortTest, AppliesAndReportsLineSettings) {
  auto port = OpenCom1();
  ASSERT_NE(port, nullptr);
  const std::pair<uint32_t, speed_t> speeds[] = {
      {4800, B4800}, {38400, B38400}, {57600, B57600}, {115200, B115200}};
  for (const auto& [baud, speed] : speeds) {
    ASSERT_TRUE(port->SetState(Settings(baud, 0x0001)));
    LineSettings read_back;
    read_back.length = 28;
    ASSERT_TRUE(port->GetState(read_back));
    EXPECT_EQ(read_back.length, 28u) << baud;  // the caller's field, untouched
    EXPECT_EQ(read_back.baud, baud);
    EXPECT_EQ(read_back.byte_size, 8);
    EXPECT_EQ(read_back.parity, 0);
    EXPECT_EQ(read_back.stop_bits, 0);
    EXPECT_EQ(read_back.flags, line_flag::kBinary);
    EXPECT_EQ(MasterSpeed(), speed) << baud;
  }

  // The probe channel's flags: CTS flow, DTR and RTS held high, on a raw line.
  ASSERT_TRUE(port->SetState(Settings(57600, 0x1017)));
  LineSettings probe;
  ASSERT_TRUE(port->GetState(probe));
  EXPECT_EQ(probe.flags, line_flag::kBinary | line_flag::kOutxCtsFlow |
                             line_flag::kDtrControlEnable | line_flag::kRtsControlEnable);
  termios tio{};
  ASSERT_EQ(tcgetattr(master_, &tio), 0);
  EXPECT_NE(tio.c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(tio.c_iflag & (IXON | ICRNL), 0u);
  EXPECT_EQ(tio.c_oflag & OPOST, 0u);

  // What a tty cannot do is refused with EINVAL and changes nothing.
  LineSettings bad[8];
  for (auto& s : bad) s = Settings(38400, 0x0001);
  bad[0].baud = 12345;
  bad[1].baud = 0;
  bad[2].byte_size = 9;
  bad[3].byte_size = 4;
  bad[4].parity = 3;      // mark
  bad[5].stop_bits = 1;   // one and a half
  bad[6].flags = 0x0021;  // DTR handshake
  bad[7].flags = 0x3001;  // RTS toggle
  for (const LineSettings& s : bad) {
    EXPECT_FALSE(port->SetState(s));
    EXPECT_EQ(port->LastError(), EINVAL);
  }
  EXPECT_EQ(MasterSpeed(), B57600);
}

TEST_F(TermiosSerialPortTest, ReadsEndAsTheirTimeoutsSay) {
  auto port = OpenCom1();
  ASSERT_NE(port, nullptr);
  uint8_t got[8] = {};
  const uint8_t sent[] = {0xA0, 0xA2, 0x00};
  // With nothing waiting, both the update channel (after its limit) and the probe channel
  // (at once) succeed with no bytes.
  for (const CommTimeouts& t : {kUpdateTimeouts, kProbeTimeouts}) {
    ASSERT_TRUE(port->SetTimeouts(t));
    size_t count = 99;
    EXPECT_TRUE(port->Read({got, 1}, count));
    EXPECT_EQ(count, 0u);
  }
  // With bytes waiting, the probe channel hands them over; an interval limit ends a read
  // once the bytes stop coming, with what came.
  for (const CommTimeouts& t : {kProbeTimeouts, CommTimeouts{50, 0, 2000, 0, 0}}) {
    ASSERT_TRUE(port->SetTimeouts(t));
    ASSERT_EQ(write(master_, sent, sizeof sent), 3);
    usleep(20'000);
    size_t count = 0;
    EXPECT_TRUE(port->Read(got, count));
    ASSERT_EQ(count, 3u);
    EXPECT_EQ(got[1], 0xA2);
  }
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
  EXPECT_EQ(ReadMaster(all.size()), all);

  const std::vector<uint8_t> reversed(all.rbegin(), all.rend());
  ASSERT_EQ(write(master_, reversed.data(), reversed.size()), 256);
  std::vector<uint8_t> got(256);
  ASSERT_TRUE(port->Read(got, count));
  EXPECT_EQ(count, got.size());
  EXPECT_EQ(got, reversed);
}

TEST_F(TermiosSerialPortTest, ReadsAndWritesFailOnceThePeerIsGone) {
  auto port = OpenCom1();
  ASSERT_NE(port, nullptr);
  size_t count = 0;
  // With the other side gone, reads and writes fail instead of waiting or spinning.
  CloseMaster();
  ASSERT_TRUE(port->SetTimeouts(kUpdateTimeouts));
  uint8_t byte = 0;
  EXPECT_FALSE(port->Read({&byte, 1}, count));
  EXPECT_EQ(port->LastError(), EIO);
  EXPECT_FALSE(port->Write(std::span<const uint8_t>(&byte, 1), count));
  EXPECT_EQ(port->LastError(), EIO);
}

}  // namespace
}  // namespace larkspan
