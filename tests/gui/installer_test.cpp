// The installer's dialog on Qt's offscreen platform, in a temporary device root, with a
// payload table of its own whose updater is a stand-in script that records where it ran.
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "frontend/dialog_units.h"
#include "installer/installer_dialog.h"
#include "tests/e2e/process.h"

namespace larkspan {
namespace {

namespace fs = std::filesystem;
using e2e::ReadFile;
using e2e::TempDir;

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

// A payload table that also notes what the dialog showed when the first payload was looked up.
class WatchedPayloads final : public EmbeddedPayloads {
 public:
  using EmbeddedPayloads::EmbeddedPayloads;
  mutable std::function<void()> on_first_find;
  std::optional<std::span<const uint8_t>> Find(std::u16string_view type, uint16_t id) const override {
    if (on_first_find) std::exchange(on_first_find, nullptr)();
    return EmbeddedPayloads::Find(type, id);
  }
};

class InstallerTest : public ::testing::Test {
 protected:
  // The stand-in updater: notes its working folder and its argument count, then ends.
  const std::vector<uint8_t> updater_ = Bytes("#!/bin/sh\necho \"$(pwd) $#\" > ran.txt\n");
  const std::vector<uint8_t> loader_ = std::vector<uint8_t>(14316, 0x5A);
  const std::vector<uint8_t> firmware_ = Bytes("S00600004844521B\r\nS70500000000FA\r\n");

  std::vector<EmbeddedPayload> Table(bool with_firmware = true) {
    std::vector<EmbeddedPayload> table = {{u"BIN", 141, loader_}, {u"EXE", 142, updater_}};
    if (with_firmware) table.push_back({u"FIRMWARE", 143, firmware_});
    return table;
  }
  fs::path Root() const { return dir_.path(); }
  std::string Ran() const { return ReadFile(Root() / "ran.txt"); }
  // Runs the dialog: shows it, lets `act` press something, and waits until it has closed.
  void Run(const EmbeddedPayloads& payloads, const std::function<void(InstallerDialog&)>& act, fs::path root = {}) {
    InstallerDialog dialog(payloads, root.empty() ? Root() : root);
    dialog.pause_ms = 1;
    dialog.show();
    act(dialog);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog.isVisible(); }, 5000));
  }
  static void Press(InstallerDialog& dialog, int id) { qobject_cast<QPushButton*>(dialog.Control(id))->click(); }
  bool Empty() const { return fs::is_empty(Root()); }

  TempDir dir_;
};

TEST_F(InstallerTest, HasItsTemplatesControls) {
  EmbeddedPayloads payloads(Table());
  InstallerDialog dialog(payloads, Root());
  EXPECT_EQ(dialog.windowTitle(), "Installer");
  EXPECT_FALSE(dialog.windowIcon().isNull());
  struct Expected {
    int id;
    const char* text;
    int left, top, width, height;
  };
  for (const Expected& c : {Expected{1000, "OK", 15, 72, 50, 14}, Expected{1001, "Going to update GPS FW...", 7, 13, 108, 17},
                            Expected{1003, "Exit", 69, 72, 50, 14}, Expected{1004, "", 7, 44, 111, 8}}) {
    SCOPED_TRACE(c.id);
    QWidget* widget = dialog.Control(c.id);
    ASSERT_NE(widget, nullptr);
    EXPECT_EQ(widget->geometry(), DialogUnitsToPixels(dialog.font(), c.left, c.top, c.width, c.height));
    const QString text = widget->inherits("QPushButton") ? qobject_cast<QPushButton*>(widget)->text()
                                                         : qobject_cast<QLabel*>(widget)->text();
    EXPECT_EQ(text, c.text);
    if (auto* button = qobject_cast<QPushButton*>(widget)) {
      EXPECT_FALSE(button->isDefault());
      EXPECT_FALSE(button->autoDefault());
    }
  }
  EXPECT_EQ(dialog.size(), DialogUnitsToPixels(dialog.font(), 0, 0, 139, 103).size());
}

TEST_F(InstallerTest, OkWritesThePayloadsStartsTheUpdaterAndCloses) {
  WatchedPayloads payloads(Table());
  bool disabled_first = false;
  QString status_first;
  Run(payloads, [&](InstallerDialog& dialog) {
    payloads.on_first_find = [&] {
      disabled_first = !dialog.Control(1000)->isEnabled() && !dialog.Control(1003)->isEnabled();
      status_first = qobject_cast<QLabel*>(dialog.Control(1004))->text();
      EXPECT_TRUE(Empty()) << "nothing is written before the buttons are disabled";
    };
    Press(dialog, 1000);
  });
  EXPECT_TRUE(disabled_first);
  EXPECT_EQ(status_first, "Copying files, please wait.");
  EXPECT_EQ(ReadFile(Root() / "dlgsp2.bin"), std::string(loader_.begin(), loader_.end()));
  EXPECT_EQ(ReadFile(Root() / "Larkspan.exe"), std::string(updater_.begin(), updater_.end()));
  EXPECT_EQ(ReadFile(Root() / "Orvel_GPS_Firmware_R10.s"), std::string(firmware_.begin(), firmware_.end()));
  for (const char* temporary : {"1.bin", "2.exe", "3.s"}) EXPECT_FALSE(fs::exists(Root() / temporary)) << temporary;
  EXPECT_EQ(fs::status(Root() / "Larkspan.exe").permissions() & fs::perms::owner_exec, fs::perms::owner_exec);
  EXPECT_EQ(fs::status(Root() / "dlgsp2.bin").permissions() & fs::perms::owner_exec, fs::perms::none);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !Ran().empty(); }, 5000));
  EXPECT_EQ(Ran(), fs::canonical(Root()).string() + " 0\n") << "started in the device root, without arguments";
}

TEST_F(InstallerTest, ExitCaptionOkAndCancelWriteNothing) {
  EmbeddedPayloads payloads(Table());
  Run(payloads, [](InstallerDialog& dialog) { Press(dialog, 1003); });
  Run(payloads, [](InstallerDialog& dialog) { dialog.accept(); });
  Run(payloads, [](InstallerDialog& dialog) { QTest::keyClick(&dialog, Qt::Key_Escape); });
  Run(payloads, [](InstallerDialog& dialog) { dialog.close(); });
  EXPECT_TRUE(Empty());
}

TEST_F(InstallerTest, ASecondRunReplacesAllThreeAndAMissingPayloadKeepsItsOldFile) {
  EmbeddedPayloads first(Table());
  Run(first, [](InstallerDialog& dialog) { Press(dialog, 1000); });
  const std::string old_firmware = ReadFile(Root() / "Orvel_GPS_Firmware_R10.s");

  const std::vector<uint8_t> new_loader(500, 0x11);
  const std::vector<uint8_t> new_firmware = Bytes("S70500000000FA\r\n");
  EmbeddedPayloads second({{u"bin", 141, new_loader}, {u"Exe", 142, updater_}, {u"firmware", 143, new_firmware}});
  Run(second, [](InstallerDialog& dialog) { Press(dialog, 1000); });
  EXPECT_EQ(ReadFile(Root() / "dlgsp2.bin"), std::string(500, '\x11'));
  EXPECT_EQ(ReadFile(Root() / "Orvel_GPS_Firmware_R10.s"), "S70500000000FA\r\n");

  EmbeddedPayloads without_firmware(Table(/*with_firmware=*/false));
  Run(without_firmware, [](InstallerDialog& dialog) { Press(dialog, 1000); });
  EXPECT_EQ(ReadFile(Root() / "Orvel_GPS_Firmware_R10.s"), "S70500000000FA\r\n") << "left as it was";
  EXPECT_EQ(ReadFile(Root() / "dlgsp2.bin"), std::string(loader_.begin(), loader_.end())) << "the rest went ahead";
  ASSERT_TRUE(QTest::qWaitFor([&] { return !Ran().empty(); }, 5000));
}

TEST_F(InstallerTest, ATemporaryFileThatCannotBeWrittenNeverReplacesAGoodFile) {
  EmbeddedPayloads payloads(Table());
  Run(payloads, [](InstallerDialog& dialog) { Press(dialog, 1000); });
  fs::create_directory(Root() / "1.bin");  // the loader's temporary file cannot be created
  const std::vector<uint8_t> other(100, 0x22);
  EmbeddedPayloads second({{u"BIN", 141, other}, {u"EXE", 142, updater_}, {u"FIRMWARE", 143, firmware_}});
  Run(second, [](InstallerDialog& dialog) { Press(dialog, 1000); });
  EXPECT_EQ(ReadFile(Root() / "dlgsp2.bin"), std::string(loader_.begin(), loader_.end()));
}

TEST_F(InstallerTest, ATemporaryFileThatCannotBeDeletedStaysAndTheRestGoesAhead) {
  std::ofstream(Root() / "Orvel_GPS_Firmware_R10.s") << "old firmware";
  fs::create_directories(Root() / "3.s" / "inside");  // neither written nor removable
  EmbeddedPayloads payloads(Table());
  Run(payloads, [](InstallerDialog& dialog) { Press(dialog, 1000); });
  EXPECT_TRUE(fs::exists(Root() / "3.s"));
  EXPECT_FALSE(fs::exists(Root() / "1.bin"));
  EXPECT_FALSE(fs::exists(Root() / "2.exe"));
  EXPECT_EQ(ReadFile(Root() / "dlgsp2.bin"), std::string(loader_.begin(), loader_.end()));
  EXPECT_TRUE(fs::exists(Root() / "Larkspan.exe"));
  EXPECT_EQ(ReadFile(Root() / "Orvel_GPS_Firmware_R10.s"), "old firmware");
  ASSERT_TRUE(QTest::qWaitFor([&] { return !Ran().empty(); }, 5000));
}

TEST_F(InstallerTest, AnUnwritableRootWritesNothingAndTheDialogStillCloses) {
  const fs::path not_a_folder = Root() / "root-is-a-file";
  std::ofstream(not_a_folder) << "x";
  EmbeddedPayloads payloads(Table());
  Run(payloads, [](InstallerDialog& dialog) { Press(dialog, 1000); }, not_a_folder);
  EXPECT_EQ(std::distance(fs::directory_iterator(Root()), fs::directory_iterator()), 1);
}

}  // namespace
}  // namespace larkspan

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
