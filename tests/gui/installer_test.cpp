// The installer: its dialog on Qt's offscreen platform in a temporary device root, with a payload
// table of its own whose updater is a stand-in script that notes where it ran; the payloads the
// build linked in; and payloads written by child processes that are cut short or killed.
#include <signal.h>
#include <sys/resource.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QTest>
#include <QtWidgets>

#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include "installer/installer_dialog.h"
#include "installer/payload_extraction.h"
#include "tests/e2e/process.h"
#include "tests/golden.h"
#include "tests/gui/controls.h"

namespace larkspan {
namespace {

namespace fs = std::filesystem;

// The updater notes where it runs, its argument count, the root it was given and the
// descriptors it holds (ls's own directory among them: 3).
const std::string kLoader(14316, 'Z'),
                  kUpdater = "#!/bin/sh\necho \"$(pwd) $# $LARKSPAN_ROOT $(ls /proc/self/fd | tr '\\n' ' ')\" > ran.txt\n",
                  kFirmware = "S00600004844521B\r\nS70500000000FA\r\n";
std::span<const uint8_t> Bytes(const std::string& text) { return {reinterpret_cast<const uint8_t*>(text.data()), text.size()}; }
const EmbeddedPayload kPayloads[] = {
    {u"BIN", 141, Bytes(kLoader)}, {u"EXE", 142, Bytes(kUpdater)}, {u"FIRMWARE", 143, Bytes(kFirmware)}};

// The first `count` payloads; it can act when the dialog looks up the first one.
struct Payloads final : EmbeddedPayloads {
  explicit Payloads(int count = 3) : EmbeddedPayloads({kPayloads, kPayloads + count}) {}
  std::optional<std::span<const uint8_t>> Find(std::u16string_view type, uint16_t id) const override {
    if (on_first_find) std::exchange(on_first_find, nullptr)();
    return EmbeddedPayloads::Find(type, id);
  }
  mutable std::function<void()> on_first_find;
};

// Writes `payload` out as the flash loader image, as the installer does.
void Extract(const fs::path& root, std::span<const uint8_t> payload) {
  ExtractPayload(EmbeddedPayloads({{u"BIN", 141, payload}}), root, "1.bin", "dlgsp2.bin", u"Bin", 141, 0644);
}

class InstallerTest : public ::testing::Test {
 protected:
  std::string File(const char* name) const {
    return fs::is_directory(root_.path() / name) ? "a folder" : e2e::ReadFile(root_.path() / name);
  }
  QString Listing() const {
    const QDir root(QString::fromStdString(root_.path().string()));
    return root.entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).join(' ');
  }
  // Shows the dialog, lets `act` press something (OK by default), waits until it has closed.
  static void Run(const EmbeddedPayloads& payloads, const fs::path& root, const std::function<void(QDialog&)>& act = PressOk) {
    InstallerDialog dialog(payloads, root);
    dialog.pause_ms = 1;
    dialog.show();
    act(dialog);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !dialog.isVisible(); }, 5000));
  }
  static void PressOk(QDialog& dialog) { dialog.findChild<QPushButton*>("1000")->click(); }
  e2e::TempDir root_;
};

TEST_F(InstallerTest, HasItsTemplatesControls) {
  const Payloads payloads;
  const InstallerDialog dialog(payloads, root_.path());
  EXPECT_EQ(dialog.windowFlags() & ~Qt::WindowType_Mask, Qt::CustomizeWindowHint | Qt::WindowTitleHint) << "no system menu";
  const QPoint centre = QGuiApplication::primaryScreen()->availableGeometry().center();
  EXPECT_LE((dialog.frameGeometry().center() - centre).manhattanLength(), 4);
  testing::ExpectGolden("dialogs/installer_dialog.txt", testing::Controls(dialog));
  // A payload is found by its type in any letter case and its id, nothing else.
  EXPECT_TRUE(payloads.Find(u"bin", 141) && EmbeddedPayloads({{u"AZ", 7, Bytes(kFirmware)}}).Find(u"az", 7));
  EXPECT_FALSE(payloads.Find(u"BIN", 142) || payloads.Find(u"BINARY", 141) || payloads.Find(u"BI", 141));
}

// OK writes the payloads over an earlier installation, removes its temporary files, starts the
// updater in the device root and closes. A payload missing, or a folder in the way of its
// temporary file or of its final file: that final file stays as it was, the rest goes ahead.
TEST_F(InstallerTest, OkReplacesWhatItCanStartsTheUpdaterAndCloses) {
  struct Case { int payloads; const char* in_the_way; const char* kept; QString left_over; };
  const Case cases[] = {{3, "", "", ""}, {2, "", "Orvel_GPS_Firmware_R10.s", ""},
                        {3, "1.bin", "dlgsp2.bin", "1.bin "}, {3, "dlgsp2.bin", "dlgsp2.bin", ""}};
  const std::pair<const char*, std::string> finals[] = {
      {"dlgsp2.bin", kLoader}, {"Larkspan.exe", kUpdater}, {"Orvel_GPS_Firmware_R10.s", kFirmware}};
  // A descriptor the installer holds open stays with it.
  const int held = open("/dev/null", O_RDONLY);
  setenv("LARKSPAN_ROOT", "elsewhere", 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.in_the_way) + " " + c.kept);
    fs::remove_all(root_.path());
    fs::create_directories(*c.in_the_way ? root_.path() / c.in_the_way / "inside" : root_.path());
    for (const auto& [name, content] : finals) std::ofstream(root_.path() / name) << "old";
    const std::string kept = File(c.kept);
    const Payloads payloads(c.payloads);
    bool disabled_first = false;
    Run(payloads, root_.path(), [&](QDialog& dialog) {
      payloads.on_first_find = [&] {
        disabled_first = !dialog.findChild<QPushButton*>("1000")->isEnabled() &&
                         !dialog.findChild<QPushButton*>("1003")->isEnabled() &&
                         dialog.findChild<QLabel*>("1004")->text() == "Copying files, please wait.";
      };
      PressOk(dialog);
    });
    EXPECT_TRUE(disabled_first) << "the buttons are disabled and the status shown before the first payload";
    for (const auto& [name, content] : finals) EXPECT_EQ(File(name), name == std::string(c.kept) ? kept : content) << name;
    ASSERT_TRUE(QTest::qWaitFor([&] { return !File("ran.txt").empty(); }, 5000));
    EXPECT_EQ(File("ran.txt"), fs::canonical(root_.path()).string() + " 0 " + root_.path().string() + " 0 1 2 3 \n")
        << "started in the device root, told so, without arguments or other descriptors";
    EXPECT_TRUE(QTest::qWaitFor([] {
      siginfo_t child{};
      return waitid(P_ALL, 0, &child, WEXITED | WNOHANG | WNOWAIT) != 0;  // no child at all
    }, 5000)) << "the updater ended and was reaped: no zombie is left";
    EXPECT_EQ(Listing(), c.left_over + "dlgsp2.bin Larkspan.exe Orvel_GPS_Firmware_R10.s ran.txt") << "nothing else is left";
  }
  unsetenv("LARKSPAN_ROOT");
  close(held);
}

// Without a display: `larkspan --help` works and `larkspan` says it needs one (status 2, no
// abort); `installer --unattended` installs offscreen into a relative root made absolute the
// payloads the build linked in, byte for byte, starts no updater and says what to run; a root
// that cannot be written fails it.
TEST(Headless, LarkspanExplainsAndTheUnattendedInstallerInstallsWithoutStartingTheUpdater) {
  const e2e::TempDir dir;
  const auto headless = [&](std::vector<std::string> argv, const std::string& root = "device") {
    argv.insert(argv.begin(), {"/usr/bin/env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u", "QT_QPA_PLATFORM", "-C",
                               dir.path().string(), "LARKSPAN_ROOT=" + root});
    return e2e::Run(argv, 60);
  };
  const e2e::RunResult help = headless({UPDATER_FILE, "--help"}), bare = headless({UPDATER_FILE});
  EXPECT_EQ(help.exit_status, 0);
  EXPECT_NE(help.out.find("Usage: larkspan [OPTIONS]"), std::string::npos) << help.out;
  for (const char* program : {UPDATER_FILE, INSTALLER_FILE}) {
    const std::string name = std::filesystem::path(program).filename();
    EXPECT_EQ(headless({program, "--version"}).out, name + " " LARKSPAN_VERSION "\n");
  }
  EXPECT_EQ(bare.exit_status, 2);
  EXPECT_EQ(bare.err, "larkspan: needs a display, and none is set (DISPLAY, WAYLAND_DISPLAY or QT_QPA_PLATFORM); "
                      "larkspan-cli does the same job without one: larkspan-cli upgrade\n");

  const e2e::RunResult install = headless({INSTALLER_FILE, "--unattended"});
  EXPECT_EQ(install.exit_status, 0);
  // (Qt may say first that it found no runtime folder.)
  EXPECT_TRUE(install.err.ends_with("installer: the files are in " + (dir.path() / "device").string() +
                                    "; with no display the updater was not started: run larkspan-cli upgrade\n"))
      << install.err;
  EXPECT_EQ(e2e::ReadFile(dir.path() / "device/dlgsp2.bin"), e2e::ReadFile(LOADER_FILE));
  EXPECT_EQ(e2e::ReadFile(dir.path() / "device/Larkspan.exe"), e2e::ReadFile(UPDATER_FILE));
  EXPECT_EQ(e2e::ReadFile(dir.path() / "device/Orvel_GPS_Firmware_R10.s"), e2e::ReadFile(FIRMWARE_FILE));
  std::ofstream(dir.path() / "a-file") << "x";
  const e2e::RunResult unwritable = headless({INSTALLER_FILE, "--unattended"}, "a-file");
  EXPECT_EQ(unwritable.exit_status, 1);
  EXPECT_TRUE(unwritable.err.ends_with("installer: not every file could be written into " +
                                       (dir.path() / "a-file").string() + "\n")) << unwritable.err;
}

// Exit, the caption's OK, Escape and a close request write nothing; neither does OK when the
// device root cannot be written, and the dialog still closes.
TEST_F(InstallerTest, NothingIsWrittenByExitOrCancelOrIntoAnUnwritableRoot) {
  std::ofstream(root_.path() / "root-is-a-file") << "x";
  const Payloads payloads;
  for (const auto& act : std::vector<std::function<void(QDialog&)>>{
           [](QDialog& d) { d.findChild<QPushButton*>("1003")->click(); }, [](QDialog& d) { d.accept(); },
           [](QDialog& d) { QTest::keyClick(&d, Qt::Key_Escape); }, [](QDialog& d) { d.close(); }}) {
    Run(payloads, root_.path(), act);
  }
  Run(payloads, root_.path() / "root-is-a-file");
  EXPECT_EQ(Listing(), "root-is-a-file");
}

// A child whose files may not grow past 4 KiB: its temporary file stops short.
TEST(PayloadExtractionFault, ATemporaryFileCutShortIsNeverCopiedOverAGoodFile) {
  e2e::TempDir root;
  std::ofstream(root.path() / "dlgsp2.bin") << "old";
  const pid_t child = fork();
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);  // a write past the limit then fails with EFBIG
    const rlimit limit{4096, 4096};
    if (setrlimit(RLIMIT_FSIZE, &limit) == 0) Extract(root.path(), std::vector<uint8_t>(65536, 'n'));
    _exit(0);
  }
  ASSERT_EQ(e2e::WaitFor(child, 30), 0);
  EXPECT_EQ(fs::file_size(root.path() / "1.bin"), 4096u);
  EXPECT_EQ(e2e::ReadFile(root.path() / "dlgsp2.bin"), "old");
  EXPECT_EQ(std::distance(fs::directory_iterator(root.path()), {}), 2) << "no temporary of a replace is left";
}

// Killed at random moments while it writes two payloads by turns over an earlier installation,
// an installation leaves the final file whole: one payload or the other, never a mix or nothing.
TEST(PayloadExtraction, AKilledInstallationNeverLeavesATornFinalFile) {
  e2e::TempDir root;
  const std::vector<uint8_t> a(8 << 20, 'a'), b(8 << 20, 'b');
  Extract(root.path(), a);
  std::mt19937 random(20261206);
  for (int round = 0; round < 12; ++round) {
    const pid_t writer = fork();
    if (writer == 0) for (int i = 0;; ++i) Extract(root.path(), i % 2 ? a : b);
    usleep(std::uniform_int_distribution<useconds_t>(5'000, 120'000)(random));
    kill(writer, SIGKILL);
    e2e::WaitFor(writer, 5);
    const std::string content = e2e::ReadFile(root.path() / "dlgsp2.bin");
    EXPECT_TRUE(content == std::string(a.size(), 'a') || content == std::string(b.size(), 'b')) << round;
  }
}

}  // namespace
}  // namespace larkspan

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
