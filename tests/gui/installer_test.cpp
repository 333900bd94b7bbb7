// The installer's dialog on Qt's offscreen platform, in a temporary device root, with a
// payload table of its own whose updater is a stand-in script that records where it ran.
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

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
  std::string File(const char* name) const { return ReadFile(Root() / name); }
  static std::string Text(const std::vector<uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }
  // Shows the dialog, lets `act` press something (OK by default), waits until it has closed.
  void Run(const EmbeddedPayloads& payloads, const std::function<void(InstallerDialog&)>& act = PressOk,
           fs::path root = {}) {
    InstallerDialog dialog(payloads, root.empty() ? Root() : root);
    dialog.pause_ms = 1;
    dialog.show();
    act(dialog);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog.isVisible(); }, 5000));
  }
  static void PressOk(InstallerDialog& dialog) { qobject_cast<QPushButton*>(dialog.Control(1000))->click(); }
  bool UpdaterRan() const { return QTest::qWaitFor([&] { return !File("ran.txt").empty(); }, 5000); }

  TempDir dir_;
};

TEST_F(InstallerTest, HasItsTemplatesControls) {
  EmbeddedPayloads payloads(Table());
  InstallerDialog dialog(payloads, Root());
  EXPECT_EQ(dialog.windowTitle(), "Installer");
  EXPECT_FALSE(dialog.windowIcon().isNull());
  EXPECT_EQ(dialog.size(), DialogUnitsToPixels(dialog.font(), 0, 0, 139, 103).size());
  struct Expected { int id; const char* text; int left, top, width, height; };
  for (const Expected& c : {Expected{1000, "OK", 15, 72, 50, 14}, Expected{1001, "Going to update GPS FW...", 7, 13, 108, 17},
                            Expected{1003, "Exit", 69, 72, 50, 14}, Expected{1004, "", 7, 44, 111, 8}}) {
    SCOPED_TRACE(c.id);
    QWidget* widget = dialog.Control(c.id);
    ASSERT_NE(widget, nullptr);
    EXPECT_EQ(widget->geometry(), DialogUnitsToPixels(dialog.font(), c.left, c.top, c.width, c.height));
    EXPECT_EQ(widget->property("text").toString(), c.text);
    EXPECT_FALSE(widget->property("default").toBool() || widget->property("autoDefault").toBool());
  }
}

TEST_F(InstallerTest, OkWritesThePayloadsStartsTheUpdaterAndCloses) {
  WatchedPayloads payloads(Table());
  bool disabled_first = false;
  QString status_first;
  Run(payloads, [&](InstallerDialog& dialog) {
    payloads.on_first_find = [&] {
      disabled_first = !dialog.Control(1000)->isEnabled() && !dialog.Control(1003)->isEnabled();
      status_first = qobject_cast<QLabel*>(dialog.Control(1004))->text();
      EXPECT_TRUE(fs::is_empty(Root())) << "nothing is written before the buttons are disabled";
    };
    PressOk(dialog);
  });
  EXPECT_TRUE(disabled_first);
  EXPECT_EQ(status_first, "Copying files, please wait.");
  EXPECT_EQ(File("dlgsp2.bin"), Text(loader_));
  EXPECT_EQ(File("Larkspan.exe"), Text(updater_));
  EXPECT_EQ(File("Orvel_GPS_Firmware_R10.s"), Text(firmware_));
  for (const char* temporary : {"1.bin", "2.exe", "3.s"}) EXPECT_FALSE(fs::exists(Root() / temporary)) << temporary;
  ASSERT_TRUE(UpdaterRan());
  EXPECT_EQ(File("ran.txt"), fs::canonical(Root()).string() + " 0\n") << "started in the device root, without arguments";
}

TEST_F(InstallerTest, ExitCaptionOkAndCancelWriteNothing) {
  EmbeddedPayloads payloads(Table());
  for (const auto& act : std::vector<std::function<void(InstallerDialog&)>>{
           [](InstallerDialog& dialog) { qobject_cast<QPushButton*>(dialog.Control(1003))->click(); },
           [](InstallerDialog& dialog) { dialog.accept(); },
           [](InstallerDialog& dialog) { QTest::keyClick(&dialog, Qt::Key_Escape); },
           [](InstallerDialog& dialog) { dialog.close(); }}) {
    Run(payloads, act);
  }
  EXPECT_TRUE(fs::is_empty(Root()));
}

TEST_F(InstallerTest, ASecondRunReplacesAllThreeAndAMissingPayloadKeepsItsOldFile) {
  Run(EmbeddedPayloads(Table()));
  const std::vector<uint8_t> new_loader(500, 0x11);
  const std::vector<uint8_t> new_updater = Bytes("#!/bin/sh\necho \"second\" > ran.txt\n");
  const std::vector<uint8_t> new_firmware = Bytes("S70500000000FA\r\n");
  Run(EmbeddedPayloads({{u"bin", 141, new_loader}, {u"Exe", 142, new_updater}, {u"firmware", 143, new_firmware}}));
  EXPECT_EQ(File("dlgsp2.bin"), Text(new_loader));
  EXPECT_EQ(File("Larkspan.exe"), Text(new_updater));
  EXPECT_EQ(File("Orvel_GPS_Firmware_R10.s"), Text(new_firmware));

  fs::remove(Root() / "ran.txt");
  Run(EmbeddedPayloads(Table(/*with_firmware=*/false)));
  EXPECT_EQ(File("Orvel_GPS_Firmware_R10.s"), Text(new_firmware)) << "left as it was";
  EXPECT_EQ(File("dlgsp2.bin"), Text(loader_)) << "the rest went ahead";
  EXPECT_TRUE(UpdaterRan());
}

// A folder in the way of a temporary file: it can be neither written nor (with something
// inside) deleted. Its final file keeps its content; the rest goes ahead.
TEST_F(InstallerTest, ATemporaryFileInTheWayNeverReplacesAGoodFileAndTheRestGoesAhead) {
  for (const auto& [temporary, final_name] : {std::pair{"1.bin", "dlgsp2.bin"}, std::pair{"3.s", "Orvel_GPS_Firmware_R10.s"}}) {
    SCOPED_TRACE(temporary);
    fs::remove_all(Root());
    fs::create_directories(Root() / temporary / "inside");
    std::ofstream(Root() / final_name) << "old";
    Run(EmbeddedPayloads(Table()));
    EXPECT_TRUE(fs::exists(Root() / temporary));
    EXPECT_EQ(File(final_name), "old");
    EXPECT_EQ(File("Larkspan.exe"), Text(updater_));
    for (const char* other : {"1.bin", "2.exe", "3.s"}) EXPECT_TRUE(other == std::string(temporary) || !fs::exists(Root() / other));
    EXPECT_TRUE(UpdaterRan());
  }
}

TEST_F(InstallerTest, AnUnwritableRootWritesNothingAndTheDialogStillCloses) {
  const fs::path not_a_folder = Root() / "root-is-a-file";
  std::ofstream(not_a_folder) << "x";
  Run(EmbeddedPayloads(Table()), PressOk, not_a_folder);
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
