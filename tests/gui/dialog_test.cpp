// The updater's dialog on Qt's offscreen platform, a fake receiver on the fake port standing
// in for the receiver.
// Controls are found by their template ids, written out: the ids are what the dialog promises.
#include <QTest>
#include <QtWidgets>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <semaphore>
#include <sstream>
#include <system_error>

#include "frontend/dialog/updater_app.h"
#include "platform/file_digest.h"
#include "tests/golden.h"
#include "tests/gui/controls.h"
#include "tests/e2e/mock_logind.h"
#include "tests/e2e/process.h"
#include "tests/fakes/fake_receiver.h"
#include "tests/fakes/memory_registry.h"
#include "transfer/installed_version.h"

namespace larkspan::testing {
namespace {

namespace fs = std::filesystem;
using StartThread = std::function<std::thread(std::function<void()>)>;

// Boxes as "caption: text", or "caption (dialog): text" when the dialog owns them.
const QString kWarning = "Warning (dialog): In order to upgrade the GPS-Firmware correctly, please stop ALL "
                         "applications and apply external power to the device. It may take about 5 minutes for upgrading.";

QMessageBox* OpenBox() {
  for (QWidget* widget : QApplication::topLevelWidgets())
    if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible()) return box;
  return nullptr;
}

// The power status: an AC line status the test sets.
struct Platform final : PowerStatus {
  std::optional<uint8_t> ac_line = 1;
  std::optional<uint8_t> AcLineStatus() override { return ac_line; }
};

// The dialog on the fake port, clock and registry, a fake receiver behind the port. Every 5 ms
// the test notes the highest progress shown and answers an open box, unless told to hold it.
class DialogTest : public ::testing::Test {
 protected:
  DialogTest() {
    port.transcript = &calls;
    registry.CreateKey(kInstalledVersionRoot, kInstalledVersionKey);
    QObject::connect(&looker, &QTimer::timeout, [this] { Look(); });
    looker.start(5);
    WritePayloads();
  }
  void WritePayloads() {
    std::ofstream(root / "dlgsp2.bin") << std::string(100, '\x7F');
    std::ofstream(root / "Orvel_GPS_Firmware_R10.s") << "S00600004844521B\r\nS3150000000000112233445566778899AABBCCDDEEFFF2\r\n"
                                                        "S70500000000FA\r\n";
  }
  UpgradeDialog::Seams Seams(StartThread start = {}) {
    return {state, sink, platform, inhibitor ? *inhibitor : awake, root, std::move(start), generated, history};
  }
  // Shows a new dialog and waits until its initialisation has warned.
  bool Open(StartThread start = {}) {
    boxes.clear();
    highest = 0;
    dialog = std::make_unique<UpgradeDialog>(Seams(std::move(start)));
    dialog->show();
    return QTest::qWaitFor([this] { return boxes.contains(kWarning); }, 5000);
  }
  void Look() {
    auto* bar = dialog ? qobject_cast<QProgressBar*>(dialog->Control(1013)) : nullptr;
    highest = std::max(highest, bar ? bar->value() : 0);
    if (QMessageBox* box = OpenBox(); box && !hold) {
      boxes << box->windowTitle() + (qobject_cast<UpgradeDialog*>(box->parentWidget()) ? " (dialog): " : ": ") + box->text();
      box->button(QMessageBox::Ok)->click();
    }
    if (on_look) on_look();
  }
  QLabel* Label(int id) const { return qobject_cast<QLabel*>(dialog->Control(id)); }
  QPushButton* Button(int id) const { return qobject_cast<QPushButton*>(dialog->Control(id)); }
  QString Status() const { return Label(1010)->text(); }
  // What the dialog shows and holds, in one line, then its boxes so far, one a line.
  QString Seen() const {
    return QString("'%1' '%2' '%3' upgrade=%4 repair=%5 timer=%6 %7 update=%8 loader=%9")
               .arg(Status(), Label(1022)->text(), Label(1023)->text()).arg(Button(1008)->isEnabled())
               .arg(Button(1021)->isEnabled()).arg(dialog->timer().isActive()).arg(dialog->timer().interval())
               .arg(state.update_channel.IsOpen()).arg(state.loader_file.IsOpen()) +
           QString(" highest=%1 writes=%2\n").arg(highest).arg(port.writes.size()) +
           (boxes.isEmpty() ? "" : "  " + boxes.join("\n  ") + "\n");
  }
  static bool WaitUntil(const std::function<bool()>& condition) { return QTest::qWaitFor(condition, 20000); }

  TestClock clock;
  Transcript calls{clock};  // every call on the port
  FakeSerialPorts port{clock};
  FakeReceiver receiver{port};
  e2e::TempDir folder;
  QtUserSink sink;
  MemoryRegistry registry;
  Platform platform;
  NoSleepInhibitor awake;
  SleepInhibitor* inhibitor = nullptr;  // `awake`, unless a test sets another
  std::optional<UpgradeDialog::Seams::History> history;
  ProgramState state{port, clock, sink, registry};
  fs::path root = folder.path();
  PayloadDigests generated = GeneratedPayloadDigests();
  std::unique_ptr<UpgradeDialog> dialog;
  QStringList boxes;
  int highest = 0;
  bool hold = false;
  std::function<void()> on_look;
  QTimer looker;
};

TEST_F(DialogTest, HasEveryControlOfTheTemplate) {
  dialog = std::make_unique<UpgradeDialog>(Seams());
  const QFont& font = dialog->font();
  // A dialog unit is a quarter of the font's average letter width, an eighth of its height.
  const double letter = QFontMetricsF(font).horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") / 52;
  EXPECT_NEAR(dialog->width(), 141 * letter / 4, 141 * 0.75 / 4);
  EXPECT_NEAR(dialog->height(), 150 * QFontMetrics(font).height() / 8.0, 1);
  ExpectGolden("dialogs/upgrade_dialog.txt", Controls(*dialog));
}

// "Ready" shows while the version is read, drawn on the screen before the read blocks, then the
// version (or "Read Failed!"), then the warning.
TEST_F(DialogTest, InitialisationShowsReadyThenTheVersionOrReadFailedThenWarns) {
  const auto talk = port.talk;
  QString seen;
  for (const bool silent : {true, false}) {
    bool asked = false, drawn = false;
    port.talk = [&, silent](uint32_t baud) {
      // The screen's pixels, not a fresh rendering: what a user sees while the read blocks.
      if (!std::exchange(asked, true)) {
        QLabel* status = Label(1010);
        const QImage screen = QGuiApplication::primaryScreen()->grabWindow(dialog->winId()).toImage();
        drawn = status->text() == "Ready" && screen.copy(status->geometry()).convertToFormat(QImage::Format_RGB32) ==
                                                 status->grab().toImage().convertToFormat(QImage::Format_RGB32);
      }
      return silent ? std::string() : talk(baud);
    };
    ASSERT_TRUE(Open());
    const QPoint off = dialog->frameGeometry().center() - QGuiApplication::primaryScreen()->availableGeometry().center();
    seen += QString("silent=%1 drawn=%2 centred=%3 ").arg(silent).arg(drawn).arg(off.manhattanLength() <= 4) + Seen();
  }
  ExpectGolden("dialogs/initialisation.txt", seen.toStdString());
}

// Refused for an offline AC line (a failed power query shows no box), a firmware file that
// larkspan-cli refuses too (LF line ends: nothing is sent) and test data; otherwise a worker
// that finishes or cannot be started. What each case leaves, right after the click and once
// its worker ended, and each run's history line, against a reviewed file.
// Each worker that runs holds off sleep through logind (python3-dbusmock's, on a private bus)
// while it runs, and lets go when it ends.
TEST_F(DialogTest, UpgradeRefusesOnlyAnOfflineAcLineAndEndsAsItsWorkerEnds) {
  const e2e::MockLogind logind;
  setenv("DBUS_SYSTEM_BUS_ADDRESS", logind.address().c_str(), 1);
  LogindInhibitor logind_lock;
  inhibitor = &logind_lock;
  std::string held;  // logind's inhibitors once a worker writes
  port.hear = [&, hear = port.hear](const std::vector<uint8_t>& bytes, uint32_t baud) {
    if (held.empty()) held = logind.Inhibitors();
    hear(bytes, baud);
  };
  enum End { kRefused, kFinished, kBadFile, kNoThread, kTestData };
  const char* ends[] = {"refused", "finished", "LF-only firmware", "no thread", "test data"};
  const std::pair<std::optional<uint8_t>, End> cases[] = {{0, kRefused}, {std::nullopt, kRefused}, {1, kFinished},
                                                          {2, kFinished}, {255, kFinished}, {1, kBadFile},
                                                          {1, kNoThread}, {1, kTestData}};
  const StartThread no_thread = [](std::function<void()>) -> std::thread {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  };
  history = UpgradeDialog::Seams::History{folder.path() / "history.jsonl", "/dev/ttyUSB0"};
  QString all;
  for (const auto& [ac_line, end] : cases) {
    WritePayloads();
    if (end == kBadFile) std::ofstream(root / "Orvel_GPS_Firmware_R10.s") << "S00600004844521B\nS70500000000FA\n";
    // This test's own files stand in for the generated ones, on a port that is no pty.
    port.pseudo_terminal = end != kTestData;
    generated = {Sha256OfFile(root / "dlgsp2.bin").value_or(""), ""};
    ASSERT_TRUE(Open(end == kNoThread ? no_thread : nullptr));
    platform.ac_line = ac_line;
    port.writes.clear();
    ASSERT_TRUE(state.loader_file.Open((root / "dlgsp2.bin").string()));  // as an earlier run left it
    ::testing::internal::CaptureStderr();
    Button(1008)->click();
    std::istringstream err(::testing::internal::GetCapturedStderr());
    all += QString("AC line %1, %2: clicked: upgrade=%3 timer=%4 %5\n").arg(ac_line ? int{*ac_line} : -1).arg(ends[end])
               .arg(Button(1008)->isEnabled()).arg(dialog->timer().isActive()).arg(dialog->timer().interval());
    for (std::string line; std::getline(err, line);) {  // Qt's own warnings aside
      if (line.starts_with("larkspan: ")) all += QString::fromStdString(line).replace(root.c_str(), "<root>") + "\n";
    }
    ASSERT_TRUE(WaitUntil([&] {
      return state.upgrade_running == 0 && (end != kFinished || Status() == "Finished!") &&
             (end != kBadFile || Button(1008)->isEnabled());
    }));
    QTest::qWait(600);  // past a tick of the timer
    all += "  ended: " + Seen();
    if (end != kBadFile) continue;
    WritePayloads();  // a second press after the failed run starts the stopped timer again
    Button(1008)->click();
    EXPECT_TRUE(dialog->timer().isActive() && dialog->timer().interval() == 500);
    EXPECT_TRUE(WaitUntil([&] { return Status() == "Finished!"; }));
  }
  std::istringstream lines(e2e::ReadFile(history->file));  // a history line for each worker that ran
  for (std::string line; std::getline(lines, line);)
    all += "history: " + QString::fromStdString(nlohmann::json::parse(line).value("result", "")) + "\n";
  ExpectGolden("dialogs/upgrade_cases.txt", all.toStdString());
  sink.Progress(ProgressOp::kSetPos, 42, 0);  // from the dialog's own thread as well
  EXPECT_EQ(qobject_cast<QProgressBar*>(dialog->Control(1013))->value(), 42);
  EXPECT_EQ(e2e::Count(logind.Calls(), "Inhibit \"sleep:idle\" \"Larkspan\" \"Updating the GPS receiver's firmware\" "
                                       "\"block\""), 4u) << "a lock for each worker that ran: " << logind.Calls();
  EXPECT_NE(held.find("Larkspan"), std::string::npos) << held;
  dialog.reset();  // joins the worker, which lets go of the lock after its running flag
  EXPECT_TRUE(WaitUntil([&] { return logind.Inhibitors().find("Larkspan") == std::string::npos; }));
  unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  inhibitor = nullptr;
}

// A loader that falls silent in the stream ends the updater, as on the handheld, but only once
// the session wrote the run's history line: nothing more was sent after its box. A start-up
// read that heard no version leaves no version before, not the label's placeholder.
TEST_F(DialogTest, ASilentLoaderEndsTheUpdaterAfterItsHistoryLine) {
  history = UpgradeDialog::Seams::History{folder.path() / "history.jsonl", "/dev/ttyUSB0"};
  const std::string version = std::exchange(receiver.version_line, "");
  ASSERT_TRUE(Open());
  receiver.version_line = version;
  receiver.answered_records = 1;  // the header's answer, then silence
  Button(1008)->click();
  ASSERT_TRUE(WaitUntil([&] { return !dialog->isVisible(); }));
  const auto line = nlohmann::json::parse(e2e::ReadFile(history->file));
  EXPECT_EQ(std::to_string(dialog->exit_status()) + " " + line.value("result", "") + " " + line.value("failed_stage", "") +
                " " + line["version_before"].dump() + " " + boxes.last().toStdString(),
            "1 failed firmware null Time Out: Cannot receive data from GPS module. Please restart application again!");
}

// While the worker waits at a box of its own, OK, Cancel, Escape and a close request leave
// the dialog open and the channels untouched. Without a worker each closes the channels and the
// dialog, which the application runs modally: full screen, as on the handheld, when asked.
TEST_F(DialogTest, OkCancelAndCloseDoNothingWhileTheUpgradeRuns) {
  const std::function<void(QDialog&)> closes[] = {[](QDialog& d) { QMetaObject::invokeMethod(&d, "accept"); },
                                                  [](QDialog& d) { QMetaObject::invokeMethod(&d, "reject"); },
                                                  [](QDialog& d) { QTest::keyClick(&d, Qt::Key_Escape); },
                                                  [](QDialog& d) { d.close(); }};
  ASSERT_TRUE(Open());
  hold = port.fail_writes = true;
  Button(1008)->click();
  ASSERT_TRUE(WaitUntil([] { return OpenBox() != nullptr; }));
  const std::string calls_before = calls.Text();
  for (const auto& close : closes) close(*dialog);
  QTest::qWait(20);
  EXPECT_TRUE(dialog->isVisible());
  EXPECT_EQ(calls.Text(), calls_before) << "the channels are untouched";
  hold = port.fail_writes = false;
  ASSERT_TRUE(WaitUntil([&] { return state.upgrade_running == 0; }));
  EXPECT_TRUE(boxes.contains("Error: writefile fail!")) << "the worker's box, owned by none";

  // Upgrade and a close request queued in the same turn of the event loop, the worker's
  // thread not yet begun: the close finds the worker counted as running.
  std::binary_semaphore go(0);
  ASSERT_TRUE(Open([&go](std::function<void()> work) {
    return std::thread([&go, work = std::move(work)] {
      go.acquire();
      work();
    });
  }));
  QMetaObject::invokeMethod(Button(1008), &QPushButton::click, Qt::QueuedConnection);
  QCoreApplication::postEvent(dialog.get(), new QCloseEvent);
  QTest::qWait(50);
  EXPECT_TRUE(dialog->isVisible());
  EXPECT_EQ(state.upgrade_running, 1);
  go.release();
  ASSERT_TRUE(WaitUntil([&] { return Status() == "Finished!" && state.upgrade_running == 0; }));
  for (int way = 0; way < 4; ++way) {
    bool full_screen = way % 2 == 0;
    on_look = [&] {
      auto* shown = qobject_cast<UpgradeDialog*>(QApplication::activeModalWidget());
      if (!shown || !boxes.contains(kWarning)) return;
      full_screen = shown->isFullScreen();
      closes[way](*shown);
    };
    boxes.clear();
    UpdaterApp::Run(Seams(), way % 2 ? UpdaterApp::Options{true} : UpdaterApp::Options{});
    EXPECT_EQ(full_screen, way % 2 == 1) << way;
    EXPECT_FALSE(state.update_channel.IsOpen()) << way;
  }
}

// Hidden and disabled in the template; a service build shows them. Repair shows its result at
// the next tick, F/W Version reads the version without showing it, the file buttons browse.
TEST_F(DialogTest, TheServiceButtonsRepairReadTheVersionAndBrowse) {
  ASSERT_TRUE(Open());
  for (int id : {1021, 1015, 1002, 1007}) Button(id)->setEnabled(true);
  bool repair_disabled_meanwhile = true;  // a receiver in NMEA already: the check sees its version
  port.hear = [&](const std::vector<uint8_t>&, uint32_t) { repair_disabled_meanwhile &= !Button(1021)->isEnabled(); };
  QString seen;
  for (const QString result : {"Check successfully.", "Check&Repair fail."}) {
    if (result.endsWith("fail.")) port.talk = nullptr;  // silent: four attempts, then the failure
    dialog->timer().start(2000);
    qobject_cast<QLineEdit*>(dialog->Control(1003))->setText(result);  // typed before the click
    Button(1021)->click();
    seen += "clicked: " + Seen();  // the result comes at the next tick
    ASSERT_TRUE(WaitUntil([&] { return Status() == result; }));
    seen += QString("ticked: typed '%1' repair disabled meanwhile=%2 ")
                .arg(qobject_cast<QLineEdit*>(dialog->Control(1003))->text()).arg(repair_disabled_meanwhile) + Seen();
  }
  port.talk = [](uint32_t) { return std::string("$PSRFTXT,Version: 2.9.9.99.99-GSW2\r\n"); };
  Button(1015)->click();
  seen += "F/W Version read '" + QString::fromStdU16String(state.current_version) + "': " + Seen();
  const QString chosen = QString::fromStdString((root / "dlgsp2.bin").string());
  QStringList choosers;
  on_look = [&] {
    if (auto* chooser = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
      choosers << chooser->windowTitle() + ": " + chooser->nameFilters().join(", ");
      if (choosers.size() < 3) chooser->selectFile(chosen);
      QMetaObject::invokeMethod(chooser, choosers.size() < 3 ? "accept" : "reject");  // the third is cancelled
    }
  };
  for (int id : {1002, 1007, 1002}) Button(id)->click();
  seen += choosers.join("\n") + "\nchosen: '" + qobject_cast<QLineEdit*>(dialog->Control(1003))->text() + "' '" +
          qobject_cast<QLineEdit*>(dialog->Control(1001))->text() + "' " + Seen();
  ExpectGolden("dialogs/service_buttons.txt", seen.replace(QString::fromStdString(root.string()), "<root>").toStdString());
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
