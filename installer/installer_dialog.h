// The installer's one dialog: a prompt, a status line, OK and Exit. OK writes the three
// payloads into the device root, starts the updater from there and closes; Exit, the
// caption's OK and Cancel close without installing. GUI thread.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QPushButton>

#include <filesystem>

#include "installer/embedded_payloads.h"

namespace larkspan {

namespace installer_control {
inline constexpr int kOk = 1000;
inline constexpr int kPrompt = 1001;
inline constexpr int kExit = 1003;
inline constexpr int kStatus = 1004;
}  // namespace installer_control

class InstallerDialog final : public QDialog {
  Q_OBJECT

 public:
  InstallerDialog(const EmbeddedPayloads& payloads, std::filesystem::path device_root, QWidget* parent = nullptr);

  QWidget* Control(int id) const;
  // The template's size in dialog units.
  static constexpr int kWidthUnits = 139, kHeightUnits = 103;

  // Milliseconds the installation pauses after each payload and after the deletions.
  int pause_ms = 100;
  // Whether OK starts the updater (not where no one could see it).
  bool start_updater = true;
  // What OK did: every file written; the updater started.
  bool all_written = false;
  bool updater_started = false;

 private:
  void OnOkButton();
  void OnExitButton();

  const EmbeddedPayloads& payloads_;
  std::filesystem::path root_;
  QPushButton* ok_ = nullptr;
  QPushButton* exit_ = nullptr;
  QLabel* status_ = nullptr;
};

}  // namespace larkspan
