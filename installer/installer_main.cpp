// installer: carries the flash loader image, the updater and the firmware S-record file;
// OK writes them into the device root ($LARKSPAN_ROOT, else ~/.local/share/larkspan),
// starts the updater there and closes. With --unattended it presses OK by itself, for
// scripted installations.
#include <QApplication>
#include <QPushButton>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "installer/installer_dialog.h"
#include "platform/device_root.h"

int main(int argc, char** argv) {
  using namespace larkspan;
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Installer"));
  const std::filesystem::path root = DeviceRoot();
  std::error_code ignored;
  std::filesystem::create_directories(root, ignored);
  const EmbeddedPayloads payloads = LinkedPayloads();
  InstallerDialog dialog(payloads, root);
  if (argc > 1 && std::strcmp(argv[1], "--unattended") == 0) {
    QTimer::singleShot(0, &dialog, [&dialog] {
      qobject_cast<QPushButton*>(dialog.Control(installer_control::kOk))->click();
    });
  } else if (argc > 1) {
    std::fputs("Usage: installer [--unattended]\n", stderr);
    return 2;
  }
  dialog.exec();
  return 0;
}
