// The updater's dialog on Qt's offscreen platform, a fake receiver on the fake port standing
// in for the receiver; one test runs a whole upgrade against receiver-sim in real time.
#include <QApplication>
#include <QComboBox>
#include <QLabel>
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

struct FixedPower final : PowerStatus {
  std::optional<uint8_t> value = 1;
  std::optional<uint8_t> AcLineStatus() override { return value; }
};

struct CountingIdleTimer final : IdleTimer {
  int resets = 0;
  void Reset() override { ++resets; }
};

// Answers every message box that appears, noting "caption: text", whether the dialog owned
// it and what the dialog's current-version field showed meanwhile.
class BoxAnswerer : public QObject {
 public:
  struct Box { QString text; bool owned_by_dialog; QString current_version; };
  explicit BoxAnswerer(UpgradeDialog* dialog) : dialog_(dialog) {
    connect(&timer_, &QTimer::timeout, this, [this] { Answer(); });
    timer_.start(5);
  }
  std::vector<Box> boxes;
  bool hold = false;  // leave boxes open until released

  std::vector<QString> Texts() const {
    std::vector<QString> texts(boxes.size());
    std::transform(boxes.begin(), boxes.end(), texts.begin(), [](const Box& box) { return box.text; });
    return texts;
  }

 private:
  void Answer() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      auto* box = qobject_cast<QMessageBox*>(widget);
      if (hold || !box || !box->isVisible() || box->property("answered").toBool()) continue;
      box->setProperty("answered", true);
      const auto* version = qobject_cast<QLabel*>(dialog_->Control(control::kCurrentVersion));
      boxes.push_back({box->windowTitle() + ": " + box->text(), box->parentWidget() == dialog_, version->text()});
      box->button(QMessageBox::Ok)->click();
    }
  }
  UpgradeDialog* dialog_;
  QTimer timer_;
};

using StartThread = std::function<std::thread(std::function<void()>)>;

// The dialog's seams around a port and a clock, and the dialog with its box answerer. It
// notes every status text shown and the highest progress reached.
struct Rig {
  Rig(SerialPorts& ports, Clock& clock, fs::path folder) : state(ports, clock, sink, registry), root(std::move(folder)) {
    registry.CreateKey(kInstalledVersionRoot, kInstalledVersionKey);
    QObject::connect(&watcher, &QTimer::timeout, [this] {
      if (!dialog) return;
      if (statuses.empty() || statuses.back() != Status()) statuses.push_back(Status());
      if (on_look) on_look();
    });
    watcher.start(10);
  }
  // Every worker has ended: the dialog joins it before it goes.
  ~Rig() { if (dialog) QTRY_VERIFY_WITH_TIMEOUT(state.upgrade_running == 0, 10000); }
  UpgradeDialog::Seams Seams(StartThread start_thread = {}) { return {state, sink, power, idle, root, std::move(start_thread)}; }
  // Shows a new dialog and waits until its initialisation ends with the warning.
  bool Open(StartThread start_thread = {}, int ms = 5000) {
    answerer.reset();
    dialog.reset();
    statuses.clear();
    highest = 0;
    dialog = std::make_unique<UpgradeDialog>(Seams(std::move(start_thread)));
    QObject::connect(qobject_cast<QProgressBar*>(dialog->Control(control::kProgress)), &QProgressBar::valueChanged,
                     [this](int value) { highest = std::max(highest, value); });
    answerer = std::make_unique<BoxAnswerer>(dialog.get());
    dialog->show();
    return QTest::qWaitFor([&] { return !answerer->boxes.empty(); }, ms);
  }
  QLabel* Label(int id) const { return qobject_cast<QLabel*>(dialog->Control(id)); }
  QPushButton* Button(int id) const { return qobject_cast<QPushButton*>(dialog->Control(id)); }
  QString Status() const { return Label(control::kStatus)->text(); }
  bool Saw(const QString& text) const { return std::find(statuses.begin(), statuses.end(), text) != statuses.end(); }

  QtUserSink sink;
  MemoryRegistry registry;
  FixedPower power;
  CountingIdleTimer idle;
  ProgramState state;
  fs::path root;
  std::unique_ptr<UpgradeDialog> dialog;
  std::unique_ptr<BoxAnswerer> answerer;
  std::vector<QString> statuses;
  int highest = 0;
  std::function<void()> on_look;
  QTimer watcher;
};

struct Fakes {
  TestClock clock;
  FakeSerialPorts port{clock};
  FakeReceiver receiver{port};
  TempFile folder{""};
};

class DialogTest : public ::testing::Test, protected Fakes, protected Rig {
 protected:
  DialogTest() : Rig(port, clock, folder.folder()) { WritePayloads(); }
  void WritePayloads() {
    std::ofstream(root / "dlgsp2.bin", std::ios::binary) << std::string(100, '\x7F');
    std::ofstream(root / "Orvel_GPS_Firmware_R10.s", std::ios::binary) << "S00600004844521B\r\n"
        "S3150000000000112233445566778899AABBCCDDEEFF6A\r\nS70500000000FA\r\n";
  }
  static bool WaitUntil(const std::function<bool()>& condition, int ms = 10000) { return QTest::qWaitFor(condition, ms); }
};

const QString kWarning = "Warning: In order to upgrade the GPS-Firmware correctly, please stop ALL applications "
                         "and apply external power to the device. It may take about 5 minutes for upgrading.";

TEST_F(DialogTest, HasEveryControlOfTheTemplate) {
  dialog = std::make_unique<UpgradeDialog>(Seams());
  EXPECT_EQ(dialog->windowTitle(), "GPS upgrade tool");
  EXPECT_EQ(dialog->windowIcon().availableSizes().size(), 2);
  EXPECT_EQ(dialog->size(), UpgradeDialog::UnitsToPixels(dialog->font(), 0, 0, 141, 150).size());
  struct Expected { int id; const char* kind; QString text; int left, top, width, height; bool shown; };
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
      {control::kRepair, "QPushButton", "Repair", 1, 133, 53, 13, false}};
  for (const Expected& c : controls) {
    SCOPED_TRACE(c.id);
    QWidget* widget = dialog->Control(c.id);
    ASSERT_NE(widget, nullptr);
    EXPECT_TRUE(widget->inherits(c.kind));
    EXPECT_EQ(widget->property("controlId").toInt(), c.id);
    EXPECT_EQ(widget->geometry(), UpgradeDialog::UnitsToPixels(dialog->font(), c.left, c.top, c.width, c.height));
    EXPECT_EQ(widget->isVisibleTo(dialog.get()), c.shown);
    EXPECT_EQ(widget->isEnabled(), c.shown);
    const bool has_text = widget->inherits("QLabel") || widget->inherits("QPushButton");
    EXPECT_EQ(has_text ? widget->property("text").toString() : QString(), c.text);
  }
  EXPECT_TRUE(Button(control::kUpgrade)->isDefault());
  auto* ports = qobject_cast<QComboBox*>(dialog->Control(control::kPortBox));
  EXPECT_EQ(ports->count() == 2 ? ports->itemText(0) + ports->itemText(1) : QString(), "COM1COM2");
  QStringList texts;
  for (const QLabel* label : dialog->findChildren<QLabel*>()) texts << label->text();
  for (const char* text : {"Current Firmware version:", "The new version after upgrade:", "Version1.0",
                           "Please select the file to update:"}) EXPECT_TRUE(texts.contains(text)) << text;
}

// "Ready" while the version is read, then the version (or "Read Failed!"), then the warning.
TEST_F(DialogTest, InitialisationShowsReadyThenTheVersionOrReadFailedThenWarns) {
  for (const bool silent : {true, false}) {
    SCOPED_TRACE(silent);
    QString status_while_reading;
    port.talk = [&](uint32_t baud) {
      if (status_while_reading.isEmpty()) status_while_reading = Status();
      return baud == 4800 ? std::string("$PSRFTXT,Version: 2.3.2.03.07-GSW2\r\n") : std::string();
    };
    if (silent) port.talk = nullptr;
    const QString version = silent ? "" : " 2.3.2.03.07";
    const auto boxes = silent ? std::vector<QString>{"Larkspan: Read Failed!", kWarning} : std::vector<QString>{kWarning};
    ASSERT_TRUE(Open());
    ASSERT_TRUE(WaitUntil([&] { return answerer->boxes.size() == boxes.size(); }));
    EXPECT_EQ(status_while_reading, silent ? "" : "Ready");
    EXPECT_EQ(Status(), "Ready");
    EXPECT_EQ(Label(control::kCurrentVersion)->text(), version);
    EXPECT_EQ(Label(control::kNewVersion)->text(), " 2.4.13.03.10");
    EXPECT_EQ(answerer->Texts(), boxes);
    EXPECT_TRUE(answerer->boxes.back().owned_by_dialog);
    EXPECT_EQ(answerer->boxes.back().current_version, version) << "the version is shown before the warning";
    EXPECT_EQ(dialog->timer().interval(), 2000);
    EXPECT_TRUE(state.update_channel.IsOpen());
  }
}

// Refused only for an offline AC line (a failed power query shows nothing); otherwise a
// worker that finishes, ends at its guard for a missing payload, or cannot be started.
TEST_F(DialogTest, UpgradeRefusesOnlyAnOfflineAcLineAndEndsAsItsWorkerEnds) {
  enum End { kRefused, kFinished, kGuard, kNoThread };
  struct Case { std::optional<uint8_t> ac_line; End end; std::vector<QString> boxes; };
  const Case cases[] = {{0, kRefused, {kWarning, "Warning: Please plug in AC adapter or other external power source!"}},
                        {std::nullopt, kRefused, {kWarning}},
                        {1, kFinished, {kWarning}},
                        {2, kFinished, {kWarning}},
                        {255, kFinished, {kWarning}},
                        {1, kGuard, {kWarning}},
                        {1, kNoThread, {kWarning, "Update: Create thread failed!"}}};
  const StartThread no_thread = [](std::function<void()>) -> std::thread {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "end " << c.end << ", AC line " << (c.ac_line ? int{*c.ac_line} : -1));
    WritePayloads();
    if (c.end == kGuard) fs::remove(root / "Orvel_GPS_Firmware_R10.s");
    ASSERT_TRUE(Open(c.end == kNoThread ? no_thread : nullptr));
    power.value = c.ac_line;
    ASSERT_TRUE(state.loader_file.Open((root / "dlgsp2.bin").string()));  // as an earlier run left it
    Button(control::kUpgrade)->click();
    EXPECT_EQ(Button(control::kUpgrade)->isEnabled(), c.end == kRefused);
    EXPECT_EQ(dialog->timer().interval(), c.end == kRefused ? 2000 : 500);
    ASSERT_TRUE(WaitUntil([&] {
      return answerer->boxes.size() == c.boxes.size() && state.upgrade_running == 0 &&
             (c.end != kFinished || Status() == "Finished!") && (c.end != kGuard || Button(control::kUpgrade)->isEnabled());
    }, 20000));
    QTest::qWait(700);  // past a tick of the timer
    EXPECT_EQ(answerer->Texts(), c.boxes);
    EXPECT_TRUE(answerer->boxes.back().owned_by_dialog);
    EXPECT_EQ(Button(control::kUpgrade)->isEnabled(), c.end == kRefused || c.end == kGuard);
    EXPECT_EQ(dialog->timer().isActive(), c.end != kGuard) << "only the worker's guard exit raises the finished flag";
    EXPECT_EQ(highest, c.end == kFinished ? 100 : 0);
    if (c.end == kRefused) {
      EXPECT_FALSE(state.update_channel.IsOpen()) << "the channels were closed all the same";
      EXPECT_FALSE(state.loader_file.IsOpen()) << "and the payload files of an earlier run";
    }
    EXPECT_TRUE(c.end != kGuard || port.writes.empty() || port.writes.back().baud == 4800) << "nothing reached it";
    EXPECT_EQ(state.srecord_file.IsOpen() && !state.finished, c.end == kNoThread) << "left as the thread failed";
  }
  EXPECT_GT(idle.resets, 0);
  EXPECT_TRUE(registry.Value(kInstalledVersionRoot, kInstalledVersionKey, kInstalledVersionValue));
}

TEST_F(DialogTest, OkCancelAndCloseDoNothingWhileTheUpgradeRuns) {
  ASSERT_TRUE(Open());
  answerer->hold = true;
  port.fail_writes = true;  // the worker stops at a box: "writefile fail!"
  Button(control::kUpgrade)->click();
  ASSERT_TRUE(WaitUntil([] {
    const auto widgets = QApplication::topLevelWidgets();
    return std::any_of(widgets.begin(), widgets.end(), [](QWidget* w) { return qobject_cast<QMessageBox*>(w) && w->isVisible(); });
  }));
  ASSERT_EQ(state.upgrade_running, 1);
  const auto closes_before = port.EventTexts("close").size();
  QMetaObject::invokeMethod(dialog.get(), "accept");
  QMetaObject::invokeMethod(dialog.get(), "reject");
  dialog->close();
  QTest::keyClick(dialog.get(), Qt::Key_Escape);
  QTest::qWait(20);
  EXPECT_TRUE(dialog->isVisible());
  EXPECT_EQ(port.EventTexts("close").size(), closes_before) << "the channels are untouched";
  port.fail_writes = false;
  answerer->hold = false;
  ASSERT_TRUE(WaitUntil([&] { return state.upgrade_running == 0; }, 20000));
  dialog->close();
  EXPECT_FALSE(dialog->isVisible()) << "once the worker ended, a close request closes";
}

TEST_F(DialogTest, RepairShowsItsResultAtTheNextTick) {
  ASSERT_TRUE(Open());
  auto* repair = Button(control::kRepair);
  repair->setEnabled(true);  // hidden and disabled in the template; a service build shows it
  port.hear = nullptr;       // a receiver in NMEA already: the check sees its version
  for (const QString result : {"Check successfully.", "Check&Repair fail."}) {
    SCOPED_TRACE(result.toStdString());
    if (result.endsWith("fail.")) port.talk = nullptr;  // silent: four attempts, then the failure
    dialog->timer().start(2000);
    repair->click();
    EXPECT_NE(Status(), result) << "not before the tick";
    ASSERT_TRUE(WaitUntil([&] { return Status() == result; }, 5000));
    EXPECT_TRUE(repair->isEnabled());
    EXPECT_TRUE(Button(control::kUpgrade)->isEnabled());
    EXPECT_FALSE(dialog->timer().isActive()) << "the routine raised the finished flag";
    EXPECT_EQ(answerer->boxes.size(), 1u) << "the routine shows nothing of its own";
  }
}

// The real thing: the termios back-end, the wall clock and receiver-sim moving bytes at the
// line's real rate, with the generated payloads; about two and a half minutes. With
// LARKSPAN_SCREENSHOT=FILE it also saves a picture of the dialog in the middle of the
// S-record stream (the README's screenshot).
TEST(DialogWithReceiver, AWholeUpgradeAgainstReceiverSim) {
  e2e::SimProcess sim({"--pace"});
  e2e::TempDir folder;
  for (const char* name : {"dlgsp2.bin", "Orvel_GPS_Firmware_R10.s"}) fs::copy(fs::path(PAYLOAD_DIR) / name, folder.path());
  TermiosSerialPorts ports(PortNames{sim.device()});
  SystemClock clock;
  Rig rig(ports, clock, folder.path());
  ASSERT_TRUE(rig.Open({}, 30000));
  EXPECT_EQ(rig.Label(control::kCurrentVersion)->text(), " 2.3.2.03.07");

  const char* picture = std::getenv("LARKSPAN_SCREENSHOT");
  bool pictured = false;
  rig.on_look = [&] {
    const QString status = rig.Status();
    if (picture && !pictured && rig.Saw("Transmitting target S-records file..") && status.endsWith('%') &&
        status.chopped(1).toInt() >= 37)
      pictured = rig.dialog->grab().save(QString::fromLocal8Bit(picture));
  };
  rig.Button(control::kUpgrade)->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return rig.Status() == "Finished!"; }, 280000));
  const auto& seen = rig.statuses;
  EXPECT_GT(std::count_if(seen.begin(), seen.end(), [](const QString& text) { return text.endsWith('%'); }), 50)
      << "the stream's percentages are seen as they grow";
  EXPECT_EQ(rig.answerer->boxes.size(), 1u);
  EXPECT_EQ(rig.highest, 100);
  // The timer shows the newest text every 500 ms, so short-lived ones may be skipped; these
  // last seconds each.
  for (const char* text : {"Transmitting target S-records file..", "Switch to NMEA mode.wait...", "Reset GPS module..."})
    EXPECT_TRUE(rig.Saw(text)) << text;
  EXPECT_FALSE(rig.Button(control::kUpgrade)->isEnabled());
  EXPECT_TRUE(rig.registry.Value(kInstalledVersionRoot, kInstalledVersionKey, kInstalledVersionValue));
  EXPECT_TRUE(pictured || !picture);
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
