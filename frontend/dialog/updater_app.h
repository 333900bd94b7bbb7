// The updater application: it runs the upgrade dialog modally and ends with it. `main` makes
// the program state and the seams and hands them over. GUI thread.
#pragma once

#include "frontend/dialog/upgrade_dialog.h"

namespace larkspan {

class UpdaterApp {
 public:
  struct Options {
    bool full_screen = false;  // as on a handheld, where every dialog fills the screen
  };

  // Builds the dialog, runs it modally, ignores its result. Returns the program's exit status.
  static int Run(UpgradeDialog::Seams seams, Options options);
};

}  // namespace larkspan
