// The updater's dialog on Qt's offscreen platform: its controls, its initialisation, the
// Upgrade handler's power test and worker, the timer, Repair, and the dialog refusing to
// close while an upgrade runs. A fake receiver on the fake port stands in for the receiver;
// one test runs a whole upgrade against receiver-sim in real time. The tests answer every
// box themselves.
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <system_error>

#include "frontend/installed_version.h"
#include "frontend/upgrade_dialog.h"
#include "platform/clock.h"
#include "platform/port_names.h"
#include "platform/termios_serial_port.h"
#include "tests/e2e/process.h"
#include "tests/fakes/fake_receiver.h"
#include "tests/fakes/memory_registry.h"
#include "tests/unit/temp_file.h"

namespace larkspan::testing {
namespace {

namespace fs = std::filesystem;

constexpr char kRecords[] =
    "S00600004844521B\r\n"
    "S3150000000000112233445566778899AABBCCDDEEFF6A\r\n"
    "S70500000000FA\r\n";

class FixedPower final : public PowerStatus {
 public:
  std::optional<uint8_t> value = 1;
  std::optional<uint8_t> AcLineStatus() override { return value; }
};

class CountingIdleTimer final : public IdleTimer {
 public:
  int resets = 0;
  void Reset() override { ++resets; }
};

// Answers every message box that appears, noting what it said and who owned it.
class BoxAnswerer : public QObject {
 public:
  struct Box {
    QString caption, text;
    bool owned_by_dialog;
    QString current_version;  // what the dialog's current-version field showed meanwhile
  };
  explicit BoxAnswerer(UpgradeDialog* dialog) : dialog_(dialog) {
    connect(&timer_, &QTimer::timeout, this, [this] { Answer(); });
    timer_.start(5);
  }
  std::vector<Box> boxes;
  bool hold = false;  // leave boxes open until released

  std::vector<QString> Texts() const {
    std::vector<QString> texts;
    for (const auto& box : boxes) texts.push_back(box.caption + ": " + box.text);
    return texts;
  }

 private:
  void Answer() {
    if (hold) return;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      auto* box = qobject_cast<QMessageBox*>(widget);
      if (!box || !box->isVisible() || box->property("answered").toBool()) continue;
      box->setProperty("answered", true);
      const auto* version = dialog_ ? qobject_cast<QLabel*>(dialog_->Control(control::kCurrentVersion)) : nullptr;
      boxes.push_back({box->windowTitle(), box->text(), box->parentWidget() == dialog_,
                       version ? version->text() : QString()});
      box->button(QMessageBox::Ok)->click();
    }
  }
  UpgradeDialog* dialog_;
  QTimer timer_;
};

class DialogTest : public ::testing::Test {
 protected:
  DialogTest() {
    registry.CreateKey(kInstalledVersionRoot, kInstalledVersionKey);
    std::ofstream(root.folder() / "dlgsp2.bin", std::ios::binary) << std::string(100, '\x7F');
    std::ofstream(root.folder() / "Orvel_GPS_Firmware_R10.s", std::ios::binary) << kRecords;
  }
  ~DialogTest() override {
    // Every worker has ended: the dialog joins it before it goes.
    if (dialog) QTRY_VERIFY_WITH_TIMEOUT(state.upgrade_running == 0, 10000);
  }

  // Shows the dialog and waits for its initialisation to end with the warning.
  void Open() {
    dialog = std::make_unique<UpgradeDialog>(UpgradeDialog::Seams{state, sink, power, idle, root.folder()});
    answerer = std::make_unique<BoxAnswerer>(dialog.get());
    dialog->show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !answerer->boxes.empty(); }, 5000));
  }
  QLabel* Label(int id) { return qobject_cast<QLabel*>(dialog->Control(id)); }
  QPushButton* Button(int id) { return qobject_cast<QPushButton*>(dialog->Control(id)); }
  QString Status() { return Label(control::kStatus)->text(); }
  bool WaitUntil(const std::function<bool()>& condition, int ms = 10000) { return QTest::qWaitFor(condition, ms); }

  TestClock clock;
  FakeSerialPorts port{clock};
  FakeReceiver receiver{port};
  QtUserSink sink;
  MemoryRegistry registry;
  FixedPower power;
  CountingIdleTimer idle;
  ProgramState state{port, clock, sink, registry};
  TempFile root{""};
  std::unique_ptr<UpgradeDialog> dialog;
  std::unique_ptr<BoxAnswerer> answerer;
};

TEST_F(DialogTest, HasEveryControlOfTheTemplate) {
  dialog = std::make_unique<UpgradeDialog>(UpgradeDialog::Seams{state, sink, power, idle, root.folder()});
  EXPECT_EQ(dialog->windowTitle(), "GPS upgrade tool");
  EXPECT_FALSE(dialog->windowIcon().isNull());
  EXPECT_EQ(dialog->windowIcon().availableSizes().size(), 2);
  struct Expected {
    int id;
    const char* kind;
    QString text;
    int left, top, width, height;
    bool shown;
  };
  const Expected controls[] = {
      {control::kCurrentVersion, "QLabel", "Current", 1, 20, 125, 20, true},
      {control::kNewVersion, "QLabel", "After", 2, 60, 125, 20, true},
      {control::kStatusLabel, "QLabel", "Status:", 2, 90, 24, 9, true},
      {control::kStatus, "QLabel", "", 30, 90, 104, 9, true},
      {control::kProgress, "QProgressBar", "", 1, 105, 136, 11, true},
      {control::kUpgrade, "QPushButton", "Upgrade", 83, 123, 53, 13, true},
      {control::kPortBox, "QComboBox", "", 1, 120, 46, 32, false},
      {control::kLoaderButton, "QPushButton", "LoaderFile", 1, 134, 46, 12, false},
      {control::kLoaderPath, "QLineEdit", "", 1, 134, 88, 12, false},
      {control::kTargetButton, "QPushButton", "Target File", 1, 134, 46, 12, false},
      {control::kTargetPath, "QLineEdit", "", 1, 134, 88, 12, false},
      {control::kFirmwareVersion, "QPushButton", "F/W Version", 1, 133, 54, 13, false},
      {control::kRepair, "QPushButton", "Repair", 1, 133, 53, 13, false},
  };
  for (const Expected& c : controls) {
    SCOPED_TRACE(c.id);
    QWidget* widget = dialog->Control(c.id);
    ASSERT_NE(widget, nullptr);
    EXPECT_TRUE(widget->inherits(c.kind));
    EXPECT_EQ(widget->property("controlId").toInt(), c.id);
    EXPECT_EQ(widget->geometry(), UpgradeDialog::UnitsToPixels(dialog->font(), c.left, c.top, c.width, c.height));
    EXPECT_EQ(widget->isVisibleTo(dialog.get()), c.shown);
    EXPECT_EQ(widget->isEnabled(), c.shown);
    if (auto* label = qobject_cast<QLabel*>(widget)) {
      EXPECT_EQ(label->text(), c.text);
    }
    if (auto* button = qobject_cast<QPushButton*>(widget)) {
      EXPECT_EQ(button->text(), c.text);
    }
  }
  EXPECT_TRUE(Button(control::kUpgrade)->isDefault());
  auto* ports = qobject_cast<QComboBox*>(dialog->Control(control::kPortBox));
  ASSERT_EQ(ports->count(), 2);
  EXPECT_EQ(ports->itemText(0), "COM1");
  EXPECT_EQ(ports->itemText(1), "COM2");
  QStringList texts;
  for (const QLabel* label : dialog->findChildren<QLabel*>()) texts << label->text();
  for (const char* text : {"Current Firmware version:", "The new version after upgrade:", "Version1.0",
                           "Please select the file to update:"}) {
    EXPECT_TRUE(texts.contains(text)) << text;
  }
  EXPECT_EQ(dialog->size(), UpgradeDialog::UnitsToPixels(dialog->font(), 0, 0, 141, 150).size());
}

TEST_F(DialogTest, InitialisationShowsReadyThenTheVersionThenWarns) {
  QString status_while_reading;
  port.talk = [&](uint32_t baud) {
    if (status_while_reading.isEmpty()) status_while_reading = Status();
    return baud == 4800 ? std::string("$PSRFTXT,Version: 2.3.2.03.07-GSW2\r\n") : std::string();
  };
  Open();
  EXPECT_EQ(status_while_reading, "Ready");
  EXPECT_EQ(Status(), "Ready") << "the store before the load keeps it";
  EXPECT_EQ(Label(control::kCurrentVersion)->text(), " 2.3.2.03.07");
  EXPECT_EQ(Label(control::kNewVersion)->text(), " 2.4.13.03.10");
  ASSERT_EQ(answerer->boxes.size(), 1u);
  const auto& warning = answerer->boxes[0];
  EXPECT_EQ(warning.caption, "Warning");
  EXPECT_EQ(warning.text, "In order to upgrade the GPS-Firmware correctly, please stop ALL applications and apply "
                          "external power to the device. It may take about 5 minutes for upgrading.");
  EXPECT_TRUE(warning.owned_by_dialog);
  EXPECT_EQ(warning.current_version, " 2.3.2.03.07") << "the version is shown before the warning";
  EXPECT_EQ(dialog->timer().interval(), 2000);
  EXPECT_TRUE(state.update_channel.IsOpen());
}

TEST_F(DialogTest, ASilentReceiverGivesReadFailedWithTheApplicationsCaption) {
  port.talk = nullptr;
  Open();
  ASSERT_TRUE(WaitUntil([&] { return answerer->boxes.size() == 2; }));
  EXPECT_EQ(answerer->Texts(), (std::vector<QString>{"Larkspan: Read Failed!",
                                                     "Warning: " + answerer->boxes[1].text}));
  EXPECT_EQ(Label(control::kCurrentVersion)->text(), "");
}

TEST_F(DialogTest, OnlyAnOfflineAcLineRefusesTheUpgrade) {
  Open();
  power.value = 0;
  Button(control::kUpgrade)->click();
  ASSERT_TRUE(WaitUntil([&] { return answerer->boxes.size() == 2; }));
  EXPECT_EQ(answerer->boxes[1].caption, "Warning");
  EXPECT_EQ(answerer->boxes[1].text, "Please plug in AC adapter or other external power source!");
  EXPECT_TRUE(answerer->boxes[1].owned_by_dialog);
  EXPECT_TRUE(Button(control::kUpgrade)->isEnabled());
  EXPECT_EQ(dialog->timer().interval(), 2000);

  power.value = std::nullopt;  // a failed query: nothing visible happens
  ASSERT_TRUE(state.loader_file.Open((root.folder() / "dlgsp2.bin").string()));
  ASSERT_TRUE(state.srecord_file.Open((root.folder() / "Orvel_GPS_Firmware_R10.s").string()));
  Button(control::kUpgrade)->click();
  QTest::qWait(50);
  EXPECT_EQ(answerer->boxes.size(), 2u);
  EXPECT_TRUE(Button(control::kUpgrade)->isEnabled());
  EXPECT_EQ(dialog->timer().interval(), 2000);
  EXPECT_FALSE(state.update_channel.IsOpen()) << "the channels were closed all the same";
  EXPECT_FALSE(state.loader_file.IsOpen()) << "and the payload files of an earlier run";
  EXPECT_FALSE(state.srecord_file.IsOpen());

  for (uint8_t ac_line : {1, 2, 255}) {
    SCOPED_TRACE(int{ac_line});
    power.value = ac_line;
    state.finished = true;  // so that the timer enables Upgrade after each run
    ASSERT_TRUE(WaitUntil([&] { return Button(control::kUpgrade)->isEnabled(); }));
    // The receiver is back in NMEA after each run, ready for the next.
    const int opens_before = port.opens;
    Button(control::kUpgrade)->click();
    EXPECT_FALSE(Button(control::kUpgrade)->isEnabled());
    EXPECT_EQ(dialog->timer().interval(), 500);
    // The worker opens the port after it raised its running flag: wait for this run's end.
    ASSERT_TRUE(WaitUntil([&] { return port.opens > opens_before && state.upgrade_running == 0; }));
    ASSERT_TRUE(WaitUntil([&] { return Status() == "Finished!"; }));
  }
}

TEST_F(DialogTest, AWholeUpgradeReachesOneHundredAndKeepsUpgradeDisabled) {
  Open();
  std::vector<QString> shown;
  QTimer watcher;
  QObject::connect(&watcher, &QTimer::timeout, [&] {
    if (shown.empty() || shown.back() != Status()) shown.push_back(Status());
  });
  watcher.start(1);
  auto* bar = qobject_cast<QProgressBar*>(dialog->Control(control::kProgress));
  int highest = 0;
  QObject::connect(bar, &QProgressBar::valueChanged, [&](int value) { highest = std::max(highest, value); });
  Button(control::kUpgrade)->click();
  ASSERT_TRUE(WaitUntil([&] { return Status() == "Finished!"; }, 20000));
  EXPECT_EQ(highest, 100);
  EXPECT_EQ(answerer->boxes.size(), 1u) << "no box but the warning";
  EXPECT_FALSE(Button(control::kUpgrade)->isEnabled());
  QTest::qWait(700);
  EXPECT_TRUE(dialog->timer().isActive()) << "the finished flag stays clear after success";
  EXPECT_FALSE(Button(control::kUpgrade)->isEnabled());
  EXPECT_GT(idle.resets, 0);
  EXPECT_TRUE(registry.Value(kInstalledVersionRoot, kInstalledVersionKey, kInstalledVersionValue));
}

TEST_F(DialogTest, AMissingPayloadEndsAtTheGuardAndEnablesUpgradeAgain) {
  Open();
  fs::remove(root.folder() / "Orvel_GPS_Firmware_R10.s");
  Button(control::kUpgrade)->click();
  EXPECT_FALSE(Button(control::kUpgrade)->isEnabled());
  ASSERT_TRUE(WaitUntil([&] { return Button(control::kUpgrade)->isEnabled(); }));
  EXPECT_FALSE(dialog->timer().isActive());
  EXPECT_EQ(answerer->boxes.size(), 1u);
  EXPECT_TRUE(port.writes.empty() || port.writes.back().baud == 4800);
}

TEST_F(DialogTest, OkCancelAndCloseDoNothingWhileTheUpgradeRuns) {
  Open();
  answerer->hold = true;
  port.fail_writes = true;  // the worker stops at a box: "writefile fail!"
  Button(control::kUpgrade)->click();
  ASSERT_TRUE(WaitUntil([&] {
    for (QWidget* w : QApplication::topLevelWidgets()) {
      if (qobject_cast<QMessageBox*>(w) && w->isVisible()) return true;
    }
    return false;
  }));
  ASSERT_EQ(state.upgrade_running, 1);
  const int closes_before = static_cast<int>(port.EventTexts("close").size());
  QMetaObject::invokeMethod(dialog.get(), "accept");
  QMetaObject::invokeMethod(dialog.get(), "reject");
  dialog->close();
  QTest::keyClick(dialog.get(), Qt::Key_Escape);
  QTest::qWait(20);
  EXPECT_TRUE(dialog->isVisible());
  EXPECT_EQ(static_cast<int>(port.EventTexts("close").size()), closes_before) << "the channels are untouched";
  port.fail_writes = false;
  answerer->hold = false;
  ASSERT_TRUE(WaitUntil([&] { return state.upgrade_running == 0; }, 20000));
  dialog->close();
  EXPECT_FALSE(dialog->isVisible()) << "once the worker ended, a close request closes";
  EXPECT_FALSE(state.update_channel.IsOpen());
}

TEST_F(DialogTest, RepairShowsItsResultAtTheNextTick) {
  Open();
  auto* repair = Button(control::kRepair);
  repair->setEnabled(true);  // hidden and disabled in the template; a service build shows it
  port.hear = nullptr;  // a receiver in NMEA already: the check sees its version
  repair->click();
  EXPECT_TRUE(repair->isEnabled());
  EXPECT_EQ(state.status_changed, 1);
  ASSERT_TRUE(WaitUntil([&] { return Status() == "Check successfully."; }, 5000));
  EXPECT_TRUE(Button(control::kUpgrade)->isEnabled());
  EXPECT_FALSE(dialog->timer().isActive()) << "the routine raised the finished flag";

  port.talk = nullptr;  // silent: four attempts, then the failure
  dialog->timer().start(2000);
  repair->click();
  ASSERT_TRUE(WaitUntil([&] { return Status() == "Check&Repair fail."; }, 5000));
  EXPECT_TRUE(repair->isEnabled());
  EXPECT_EQ(answerer->boxes.size(), 1u) << "the routine shows nothing of its own";
}

TEST_F(DialogTest, AThreadThatCannotBeCreatedIsReportedAndUpgradeStaysDisabled) {
  Open();
  dialog.reset();  // a dialog whose thread start fails
  answerer.reset();
  dialog = std::make_unique<UpgradeDialog>(UpgradeDialog::Seams{
      state, sink, power, idle, root.folder(),
      [](std::function<void()>) -> std::thread { throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again)); }});
  answerer = std::make_unique<BoxAnswerer>(dialog.get());
  dialog->show();
  ASSERT_TRUE(WaitUntil([&] { return answerer->boxes.size() == 1; }));  // the warning
  Button(control::kUpgrade)->click();
  ASSERT_TRUE(WaitUntil([&] { return answerer->boxes.size() == 2; }));
  EXPECT_EQ(answerer->boxes[1].caption, "Update");
  EXPECT_EQ(answerer->boxes[1].text, "Create thread failed!");
  EXPECT_TRUE(answerer->boxes[1].owned_by_dialog);
  QTest::qWait(700);
  EXPECT_FALSE(Button(control::kUpgrade)->isEnabled());
  EXPECT_TRUE(dialog->timer().isActive());
  EXPECT_EQ(dialog->timer().interval(), 500);
  EXPECT_TRUE(state.loader_file.IsOpen());
  EXPECT_TRUE(state.srecord_file.IsOpen());
  EXPECT_FALSE(state.finished);
}

// The real thing: the termios back-end, the wall clock and receiver-sim moving bytes at the
// line's real rate, with the generated payloads; about two and a half minutes. With LARKSPAN_SCREENSHOT=FILE it also saves a picture of the
// dialog in the middle of the S-record stream (the README's screenshot).
TEST(DialogWithReceiver, AWholeUpgradeAgainstReceiverSim) {
  e2e::SimProcess sim({"--pace"});
  e2e::TempDir root;
  for (const char* name : {"dlgsp2.bin", "Orvel_GPS_Firmware_R10.s"}) fs::copy(fs::path(PAYLOAD_DIR) / name, root.path());
  TermiosSerialPorts ports(PortNames{sim.device()});
  SystemClock clock;
  QtUserSink sink;
  MemoryRegistry registry;
  registry.CreateKey(kInstalledVersionRoot, kInstalledVersionKey);
  FixedPower power;
  CountingIdleTimer idle;
  ProgramState state(ports, clock, sink, registry);
  UpgradeDialog dialog({state, sink, power, idle, root.path()});
  BoxAnswerer answerer(&dialog);
  dialog.show();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !answerer.boxes.empty(); }, 30000));
  auto* status = qobject_cast<QLabel*>(dialog.Control(control::kStatus));
  auto* bar = qobject_cast<QProgressBar*>(dialog.Control(control::kProgress));
  EXPECT_EQ(qobject_cast<QLabel*>(dialog.Control(control::kCurrentVersion))->text(), " 2.3.2.03.07");

  std::vector<QString> shown;
  int highest = 0;
  bool pictured = false;
  QTimer watcher;
  QObject::connect(&watcher, &QTimer::timeout, [&] {
    if (shown.empty() || shown.back() != status->text()) shown.push_back(status->text());
    highest = std::max(highest, bar->value());
    const char* picture = std::getenv("LARKSPAN_SCREENSHOT");
    const bool streaming = std::find(shown.begin(), shown.end(), "Transmitting target S-records file..") != shown.end();
    if (picture && !pictured && streaming && status->text().endsWith('%') && status->text().chopped(1).toInt() >= 37) {
      pictured = dialog.grab().save(QString::fromLocal8Bit(picture));
    }
  });
  watcher.start(20);
  qobject_cast<QPushButton*>(dialog.Control(control::kUpgrade))->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return status->text() == "Finished!"; }, 280000));
  const auto percentages = std::count_if(shown.begin(), shown.end(), [](const QString& text) { return text.endsWith('%'); });
  EXPECT_GT(percentages, 50) << "the stream's percentages are seen as they grow";
  EXPECT_EQ(answerer.boxes.size(), 1u);
  EXPECT_EQ(highest, 100);
  // The timer shows the newest text every 500 ms, so short-lived ones may be skipped; these
  // last seconds each.
  for (const char* text : {"Transmitting target S-records file..", "Switch to NMEA mode.wait...",
                           "Reset GPS module..."}) {
    EXPECT_NE(std::find(shown.begin(), shown.end(), QString(text)), shown.end()) << text;
  }
  EXPECT_FALSE(dialog.Control(control::kUpgrade)->isEnabled());
  EXPECT_TRUE(registry.Value(kInstalledVersionRoot, kInstalledVersionKey, kInstalledVersionValue));
  if (std::getenv("LARKSPAN_SCREENSHOT")) {
    EXPECT_TRUE(pictured);
  }
  QTRY_VERIFY_WITH_TIMEOUT(state.upgrade_running == 0, 5000);
}

}  // namespace
}  // namespace larkspan::testing

int main(int argc, char** argv) {
  // These tests run on Qt's offscreen platform, listing included, whatever the display.
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Larkspan"));
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
