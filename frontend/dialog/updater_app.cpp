#include "frontend/dialog/updater_app.h"

namespace larkspan {

int UpdaterApp::Run(UpgradeDialog::Seams seams, Options options) {
  UpgradeDialog dialog(std::move(seams));
  if (options.full_screen) dialog.setWindowState(Qt::WindowFullScreen);
  dialog.exec();
  return dialog.exit_status();
}

}  // namespace larkspan
