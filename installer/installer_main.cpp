// installer: carries the flash loader image, the updater and the firmware S-record file;
// OK writes them into the device root ($LARKSPAN_ROOT, else ~/.local/share/larkspan),
// starts the updater there and closes. With --unattended it presses OK by itself, for
// scripted installations; without a display it then runs unseen, writes the files and leaves
// the upgrade to larkspan-cli.
#include <QApplication>
#include <QPushButton>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "frontend/qt/display.h"
#include "installer/installer_dialog.h"
#include "platform/command_line.h"
#include "platform/device_root.h"

int main(int argc, char** argv) {
  using namespace larkspan;
  bool unattended = false;
  CLI::App command_line("Writes the flash loader image, the updater and the firmware S-record file into the device "
                        "root ($LARKSPAN_ROOT, else ~/.local/share/larkspan) and starts the updater there.",
                        "installer");
  command_line.set_version_flag("--version", "installer " LARKSPAN_VERSION);
  command_line.add_flag("--unattended", unattended,
                        "press OK without waiting for a user; without a display, install offscreen and start no "
                        "updater");
  if (const auto ended = ParseCommandLine(command_line, argc, argv)) return *ended;
  const bool display = HasDisplay();
  if (!display && !unattended) {
    std::fputs("installer: needs a display; installer --unattended installs without one\n", stderr);
    return 2;
  }
  // A dialog no one can see would wait for ever: without a display the unattended run draws
  // offscreen and starts no updater.
  if (!display) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Installer"));

  const std::filesystem::path root = DeviceRoot();
  std::error_code ignored;
  std::filesystem::create_directories(root, ignored);
  const EmbeddedPayloads payloads = LinkedPayloads();
  InstallerDialog dialog(payloads, root);
  dialog.start_updater = display;
  if (unattended) {
    QTimer::singleShot(0, &dialog, [&dialog] {
      qobject_cast<QPushButton*>(dialog.Control(installer_control::kOk))->click();
    });
  }
  dialog.exec();
  if (!unattended) return 0;
  if (!dialog.all_written) {
    std::fprintf(stderr, "installer: not every file could be written into %s\n", root.c_str());
    return 1;
  }
  if (!display) {
    std::fprintf(stderr, "installer: the files are in %s; with no display the updater was not started: run "
                 "larkspan-cli upgrade\n", root.c_str());
  } else if (!dialog.updater_started) {
    std::fprintf(stderr, "installer: %s/Larkspan.exe could not be started\n", root.c_str());
    return 1;
  }
  return 0;
}
