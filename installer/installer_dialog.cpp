#include "installer/installer_dialog.h"

#include <QGuiApplication>
#include <QMetaObject>
#include <QScreen>
#include <QThread>

#include "frontend/qt/app_icon.h"
#include "frontend/qt/dialog_units.h"
#include "installer/payload_extraction.h"
#include "transfer/payload_files.h"

namespace larkspan {

namespace {
struct PayloadRow {
  const char* temporary_name;
  const char* final_name;
  const char16_t* type;
  uint16_t id;
  mode_t mode;
};
// In the order they are written: the flash loader image, the updater (a program, so
// executable), the firmware S-record file.
constexpr PayloadRow kPayloadRows[] = {
    {"1.bin", kLoaderFileName, u"Bin", 141, 0644},
    {"2.exe", kUpdaterFileName, u"Exe", 142, 0755},
    {"3.s", kFirmwareFileName, u"Firmware", 143, 0644},
};
}  // namespace

InstallerDialog::InstallerDialog(const EmbeddedPayloads& payloads, std::filesystem::path device_root, QWidget* parent)
    : QDialog(parent), payloads_(payloads), root_(std::move(device_root)) {
  setWindowTitle(QStringLiteral("Installer"));
  setWindowIcon(AppIcon());
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);  // no system menu
  QFont dialog_font = font();
  dialog_font.setPointSize(8);
  setFont(dialog_font);
  const QFont& f = font();
  resize(DialogUnitsToPixels(f, 0, 0, kWidthUnits, kHeightUnits).size());

  auto place = [&](QWidget* widget, int id, int left, int top, int width, int height) {
    widget->setObjectName(QString::number(id));
    widget->setProperty("controlId", id);
    widget->setGeometry(DialogUnitsToPixels(f, left, top, width, height));
  };
  ok_ = new QPushButton(QStringLiteral("OK"), this);
  place(ok_, installer_control::kOk, 15, 72, 50, 14);
  auto* prompt = new QLabel(QStringLiteral("Going to update GPS FW..."), this);
  prompt->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  place(prompt, installer_control::kPrompt, 7, 13, 108, 17);
  exit_ = new QPushButton(QStringLiteral("Exit"), this);
  place(exit_, installer_control::kExit, 69, 72, 50, 14);
  status_ = new QLabel(this);
  status_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  place(status_, installer_control::kStatus, 7, 44, 111, 8);
  // Neither button is the default button.
  for (QPushButton* button : {ok_, exit_}) {
    button->setAutoDefault(false);
    button->setDefault(false);
  }
  connect(ok_, &QPushButton::clicked, this, &InstallerDialog::OnOkButton);
  connect(exit_, &QPushButton::clicked, this, &InstallerDialog::OnExitButton);
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - rect().center());
  }
}

QWidget* InstallerDialog::Control(int id) const { return findChild<QWidget*>(QString::number(id)); }

void InstallerDialog::OnOkButton() {
  const std::filesystem::path updater = root_ / kUpdaterFileName;
  ok_->setEnabled(false);
  exit_->setEnabled(false);
  // The handler keeps the GUI thread to its end: paint the status line now or never.
  status_->setText(QStringLiteral("Copying files, please wait."));
  status_->repaint();

  all_written = true;
  for (const PayloadRow& row : kPayloadRows) {
    const bool written = ExtractPayload(payloads_, root_, row.temporary_name, row.final_name, row.type, row.id, row.mode);
    all_written = all_written && written;
    QThread::msleep(static_cast<unsigned long>(pause_ms));
  }
  std::error_code ignored;
  for (const PayloadRow& row : kPayloadRows) std::filesystem::remove(root_ / row.temporary_name, ignored);
  QThread::msleep(static_cast<unsigned long>(pause_ms));

  if (start_updater) updater_started = StartUpdater(updater, root_);
  // A close request, taken when the handler has returned: the dialog ends as on Cancel.
  QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
}

void InstallerDialog::OnExitButton() { done(QDialog::Rejected); }

}  // namespace larkspan
