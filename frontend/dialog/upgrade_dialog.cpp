#include "frontend/dialog/upgrade_dialog.h"

#include <QCloseEvent>
#include <QFileDialog>
#include <QGuiApplication>
#include <QScreen>
#include <QWindow>

#include <system_error>

#include "frontend/qt/app_icon.h"
#include "frontend/qt/dialog_units.h"
#include "transfer/installed_version.h"
#include "receiver/recovery.h"
#include "receiver/version_reader.h"

namespace larkspan {

namespace {

constexpr int kIdleIntervalMs = 2000;
constexpr int kUpgradeIntervalMs = 500;
// How long the initialisation waits for the window to be on screen, and how often it looks.
constexpr int kExposeWaitMs = 2000;
constexpr int kExposePollMs = 5;

QString ToQString(const WideText& text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}
WideText ToWide(const QString& text) { return text.toStdU16String(); }

// "description|pattern|description|pattern||" as the file dialog's filter list.
QString FilterList(const QString& pairs) {
  const QStringList parts = pairs.split('|', Qt::SkipEmptyParts);
  QStringList filters;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) filters << parts[i];
  return filters.join(QStringLiteral(";;"));
}

}  // namespace

QRect UpgradeDialog::UnitsToPixels(const QFont& font, int left, int top, int width, int height) {
  return DialogUnitsToPixels(font, left, top, width, height);
}

UpgradeDialog::UpgradeDialog(Seams seams, QWidget* parent) : QDialog(parent), seams_(std::move(seams)) {
  setWindowTitle(QStringLiteral("GPS upgrade tool"));
  setWindowIcon(AppIcon());
  QFont dialog_font = font();
  dialog_font.setPointSize(8);
  setFont(dialog_font);
  new_version_field_ = QString::fromLatin1(kNewVersionText.data(), static_cast<qsizetype>(kNewVersionText.size()));
  BuildControls();
  connect(&timer_, &QTimer::timeout, this, &UpgradeDialog::OnTimer);
}

UpgradeDialog::~UpgradeDialog() { JoinFinishedWorker(); }

QWidget* UpgradeDialog::Control(int id) const { return findChild<QWidget*>(QString::number(id)); }

void UpgradeDialog::BuildControls() {
  const QFont& f = font();
  resize(UnitsToPixels(f, 0, 0, kWidthUnits, kHeightUnits).size());
  auto place = [&](QWidget* widget, int id, int left, int top, int width, int height, bool shown = true) {
    if (id != 0) {
      widget->setObjectName(QString::number(id));
      widget->setProperty("controlId", id);
    }
    widget->setGeometry(UnitsToPixels(f, left, top, width, height));
    widget->setVisible(shown);
    widget->setEnabled(shown);
    return widget;
  };
  auto label = [&](const QString& text, int id, int left, int top, int width, int height, bool shown = true) {
    auto* widget = new QLabel(text, this);
    widget->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    widget->setTextFormat(Qt::PlainText);  // the receiver's bytes are never markup
    place(widget, id, left, top, width, height, shown);
    return widget;
  };
  auto button = [&](const QString& text, int id, int left, int top, int width, int height, bool shown = true) {
    auto* widget = new QPushButton(text, this);
    widget->setAutoDefault(false);
    place(widget, id, left, top, width, height, shown);
    return widget;
  };

  label(QStringLiteral("Current Firmware version:"), 0, 2, 3, 125, 10);
  current_version_ = label(QStringLiteral("Current"), control::kCurrentVersion, 1, 20, 125, 20);
  label(QStringLiteral("The new version after upgrade:"), 0, 2, 45, 125, 11);
  new_version_ = label(QStringLiteral("After"), control::kNewVersion, 2, 60, 125, 20);
  label(QStringLiteral("Status:"), control::kStatusLabel, 2, 90, 24, 9);
  status_ = label(QString(), control::kStatus, 30, 90, 104, 9);
  progress_ = new QProgressBar(this);
  progress_->setTextVisible(false);
  progress_->setRange(0, 100);
  progress_->setValue(0);
  place(progress_, control::kProgress, 1, 105, 136, 11);
  upgrade_ = button(QStringLiteral("Upgrade"), control::kUpgrade, 83, 123, 53, 13);
  upgrade_->setDefault(true);
  label(QStringLiteral("Version1.0"), 0, 0, 141, 78, 9);

  // The rest is in the template but hidden and disabled: the port box, the file fields and
  // the service buttons. None of it decides which port or files are used.
  port_box_ = new QComboBox(this);
  port_box_->setEditable(true);  // a drop-down combo box: its text can differ from its list
  port_box_->addItems({QStringLiteral("COM1"), QStringLiteral("COM2")});
  port_box_->model()->sort(0);
  place(port_box_, control::kPortBox, 1, 120, 46, 32, false);
  auto* loader_button = button(QStringLiteral("LoaderFile"), control::kLoaderButton, 1, 134, 46, 12, false);
  loader_edit_ = new QLineEdit(this);
  place(loader_edit_, control::kLoaderPath, 1, 134, 88, 12, false);
  auto* target_button = button(QStringLiteral("Target File"), control::kTargetButton, 1, 134, 46, 12, false);
  target_edit_ = new QLineEdit(this);
  place(target_edit_, control::kTargetPath, 1, 134, 88, 12, false);
  auto* version_button = button(QStringLiteral("F/W Version"), control::kFirmwareVersion, 1, 133, 54, 13, false);
  repair_ = button(QStringLiteral("Repair"), control::kRepair, 1, 133, 53, 13, false);
  label(QStringLiteral("Please select the file to update:"), 0, 1, 136, 128, 10, false);

  connect(upgrade_, &QPushButton::clicked, this, &UpgradeDialog::OnUpgrade);
  connect(repair_, &QPushButton::clicked, this, &UpgradeDialog::OnRepair);
  connect(version_button, &QPushButton::clicked, this, &UpgradeDialog::OnFirmwareVersion);
  connect(loader_button, &QPushButton::clicked, this, [this] {
    OnBrowse(loader_edit_, QStringLiteral("Binary Files (*.bin)|*.bin|All Files (*.*)|*.*||"));
  });
  connect(target_button, &QPushButton::clicked, this, [this] {
    OnBrowse(target_edit_,
             QStringLiteral("Hitachi Files (*.s)|*.s|Motorola Files (*.s3)|*.s3|All Files (*.*)|*.*||"));
  });
}

void UpgradeDialog::ExchangeData(bool store) {
  ProgramState& state = seams_.state;
  if (store) {
    loader_path_ = loader_edit_->text();
    // A text the worker set and the timer has not shown yet is newer than the control's:
    // storing over it would lose it.
    if (state.status_changed.load() != 1) state.SetStatusQuietly(ToWide(status_->text()));
    port_name_ = port_box_->currentText();
    current_version_field_ = current_version_->text();
    new_version_field_ = new_version_->text();
    return;
  }
  loader_edit_->setText(loader_path_);
  status_->setText(ToQString(state.Status()));
  if (const int entry = port_box_->findText(port_name_); entry >= 0) {
    port_box_->setCurrentIndex(entry);
  } else {
    port_box_->setEditText(port_name_);
  }
  current_version_->setText(current_version_field_);
  new_version_->setText(new_version_field_);
}

void UpgradeDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  // Run the initialisation once the dialog is on screen, so that its "Ready" is seen while
  // the version is read.
  if (!initialised_) {
    initialised_ = true;
    QTimer::singleShot(0, this, [this] { InitialiseOnceOnScreen(kExposeWaitMs / kExposePollMs); });
  }
}

void UpgradeDialog::InitialiseOnceOnScreen(int polls_left) {
  // The window system shows the window a moment after the toolkit was asked to; only then
  // can it be drawn before the start-up read keeps the GUI thread.
  const QWindow* window = windowHandle();
  if (window && !window->isExposed() && polls_left > 0) {
    QTimer::singleShot(kExposePollMs, this, [this, polls_left] { InitialiseOnceOnScreen(polls_left - 1); });
    return;
  }
  Initialise();
}

void UpgradeDialog::Initialise() {
  initialised_ = true;
  ExchangeData(false);
  if (const QScreen* screen = QGuiApplication::primaryScreen(); screen && !isFullScreen()) {
    move(screen->availableGeometry().center() - rect().center());
  }
  seams_.sink.SetDialog(this);
  status_->setText(QStringLiteral("Ready"));
  timer_.start(kIdleIntervalMs);
  // The read keeps the GUI thread for up to 24 seconds: draw the window now, as it stands,
  // or it stays blank on the screen until then.
  repaint();
  ReadStartupVersion(seams_.state);
  // Store first, so that the status member takes "Ready" before the load shows it again.
  ExchangeData(true);
  current_version_field_ = ToQString(seams_.state.current_version);
  ExchangeData(false);
  seams_.sink.ShowMessage({kWarningText, u"Warning", BoxOwner::kDialog});
}

void UpgradeDialog::OnUpgrade() {
  ProgramState& state = seams_.state;
  ExchangeData(true);
  JoinFinishedWorker();  // a session that ended may still be writing its history line
  const auto tell = [err = seams_.err](const std::string& lines) { PrintLines(err, "larkspan: ", lines); };
  session_.emplace(SessionSettings{state, seams_.sleep_inhibitor, seams_.device_root,
                                   seams_.history ? seams_.history->port : std::string(),
                                   seams_.history ? std::optional(seams_.history->file) : std::nullopt,
                                   seams_.generated_payloads, tell, seams_.boxes});
  // Only a version read at start is the version before; an Upgrade pressed before that read
  // ended has none.
  session_->NoteVersionBefore(TrimmedVersion(state.current_version));
  state.CloseChannelsAndFiles();
  state.finished.store(false);
  const auto refuse = [this](const Outcome& outcome) {
    timer_.stop();
    session_->Record(outcome);
  };
  if (const auto refused = CheckPower(seams_.power, seams_.sink, tell)) return session_->Record(*refused);
  timer_.start(kUpgradeIntervalMs);
  seams_.sink.SetProgressBar(progress_);
  if (const auto refused = CheckPayloadFiles(seams_.device_root, /*check=*/true, seams_.sink, tell)) {
    return refuse(*refused);
  }
  if (const auto refused = session_->Prepare()) return refuse(*refused);

  // Running from the moment it is decided: a close request queued right behind this click
  // must find the flag raised, not race the worker's own first line on the channels.
  state.upgrade_running.store(1);
  try {
    std::function<void()> work = [this] {
      const Outcome outcome = session_->Run();
      // The loader fell silent: the updater ends, as the handheld's did, once the session
      // has written its history line and the channels are closed.
      if (outcome.ending == Ending::kLoaderSilent) {
        QMetaObject::invokeMethod(this, [this, status = outcome.status] {
          exit_status_ = status;
          reject();
        }, Qt::QueuedConnection);
      }
    };
    worker_ = seams_.start_thread ? seams_.start_thread(std::move(work)) : std::thread(std::move(work));
    ExchangeData(true);
    ExchangeData(false);
  } catch (const std::system_error&) {
    state.upgrade_running.store(0);
    session_->Record(Failed(exit_status::kFailed, "start"));
    seams_.sink.ShowMessage({u"Create thread failed!", u"Update", BoxOwner::kDialog});
  }
  upgrade_->setEnabled(false);
}

void UpgradeDialog::OnTimer() {
  ProgramState& state = seams_.state;
  if (state.status_changed.load() == 1) {
    state.status_changed.store(0);
    ExchangeData(false);
  }
  if (state.finished.load()) {
    timer_.stop();
    upgrade_->setEnabled(true);
  }
  // The handheld reset its idle timer here; on Linux the worker holds logind's inhibitor
  // lock for as long as it runs instead.
}

void UpgradeDialog::OnRepair() {
  ExchangeData(true);
  repair_->setEnabled(false);
  const bool repaired = CheckAndRepair(seams_.state);
  seams_.state.SetStatus(repaired ? u"Check successfully." : u"Check&Repair fail.");
  repair_->setEnabled(true);
}

void UpgradeDialog::OnFirmwareVersion() { ReadStartupVersion(seams_.state); }

void UpgradeDialog::OnBrowse(QLineEdit* field, const QString& filter) {
  QFileDialog chooser(this, QStringLiteral("Specify a Boot Loader File"));
  chooser.setNameFilter(FilterList(filter));
  chooser.setFileMode(QFileDialog::ExistingFile);
  chooser.setDefaultSuffix(QString());
  chooser.selectFile(QStringLiteral("\\My Document"));
  if (chooser.exec() == QDialog::Accepted && !chooser.selectedFiles().isEmpty()) {
    field->setText(chooser.selectedFiles().first());
  }
}

void UpgradeDialog::JoinFinishedWorker() {
  // The worker's last step is to clear the running flag and return; joining here makes sure
  // it has returned before the dialog starts another or goes away.
  if (worker_.joinable()) worker_.join();
}

void UpgradeDialog::accept() {
  if (UpgradeRunning()) return;
  seams_.state.update_channel.Close();
  seams_.state.probe_channel.Close();
  ExchangeData(true);
  JoinFinishedWorker();
  QDialog::accept();
}

void UpgradeDialog::reject() {
  if (UpgradeRunning()) return;
  seams_.state.update_channel.Close();
  seams_.state.probe_channel.Close();
  JoinFinishedWorker();
  QDialog::reject();
}

void UpgradeDialog::closeEvent(QCloseEvent* event) {
  if (UpgradeRunning()) {
    event->ignore();
    return;
  }
  // The toolkit turns a close request into the Cancel command.
  event->ignore();
  reject();
}

}  // namespace larkspan
