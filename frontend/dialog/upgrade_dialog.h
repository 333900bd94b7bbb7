// The updater's dialog: the current and the new firmware version, a status line, a progress
// bar and the Upgrade button, laid out from the handheld's dialog template. It reads the
// version at start, warns the user, and on Upgrade hands the whole upload to the worker
// thread, then only watches: its timer shows the status the worker sets and re-enables
// Upgrade when the worker raises the finished flag. Lives on the GUI thread.
#pragma once

#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "frontend/dialog/qt_user_sink.h"
#include "frontend/session/upgrade_session.h"
#include "platform/sleep_inhibitor.h"
#include "platform/power_status.h"
#include "receiver/program_state.h"

namespace larkspan {

// Control ids of the dialog template.
namespace control {
inline constexpr int kTargetPath = 1001;
inline constexpr int kLoaderButton = 1002;
inline constexpr int kLoaderPath = 1003;
inline constexpr int kTargetButton = 1007;
inline constexpr int kUpgrade = 1008;
inline constexpr int kStatusLabel = 1009;
inline constexpr int kStatus = 1010;
inline constexpr int kProgress = 1013;
inline constexpr int kFirmwareVersion = 1015;
inline constexpr int kPortBox = 1017;
inline constexpr int kRepair = 1021;
inline constexpr int kCurrentVersion = 1022;
inline constexpr int kNewVersion = 1023;
}  // namespace control

class UpgradeDialog final : public QDialog {
  Q_OBJECT

 public:
  struct Seams {
    ProgramState& state;
    QtUserSink& sink;
    PowerStatus& power;
    SleepInhibitor& sleep_inhibitor;  // held while the worker runs
    std::filesystem::path device_root;
    // Starts the worker's thread; the default makes a std::thread. It may throw
    // std::system_error, as a thread that cannot be created does.
    std::function<std::thread(std::function<void()>)> start_thread = {};
    // The files make-payloads writes, which Upgrade refuses to send to a real receiver.
    PayloadDigests generated_payloads = GeneratedPayloadDigests();
    // Where each upgrade's history line goes, and the port it names; none: not recorded.
    struct History {
      std::filesystem::path file;
      std::string port;
    };
    std::optional<History> history = std::nullopt;
    // What the state's sink passed on, for the history's reason of a failed run; none: no reason.
    const BoxWitness* boxes = nullptr;
    // Where the lines beside the boxes go: standard error, through an output queue, so that
    // a stopped terminal never holds up the worker.
    std::FILE* err = stderr;
  };

  explicit UpgradeDialog(Seams seams, QWidget* parent = nullptr);
  ~UpgradeDialog() override;

  // Runs the initialisation: "Ready", the timer, the start-up version read, the warning.
  // Called once the dialog is shown, as the toolkit's initialisation would be.
  void Initialise();

  // The control with a template id, or null.
  QWidget* Control(int id) const;
  QTimer& timer() { return timer_; }
  // The program's exit status: 0, or the session's when it ended the updater (a silent loader).
  int exit_status() const { return exit_status_; }

  // The dialog template's size in dialog units, and their size in pixels for a font.
  static constexpr int kWidthUnits = 141, kHeightUnits = 150;
  static QRect UnitsToPixels(const QFont& font, int left, int top, int width, int height);

 protected:
  void accept() override;  // the OK command
  void reject() override;  // the Cancel command (also the Escape key)
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void BuildControls();
  void ExchangeData(bool store);  // store: controls into members; else members into controls
  void OnUpgrade();
  void OnTimer();
  void OnRepair();
  void OnFirmwareVersion();
  void OnBrowse(QLineEdit* field, const QString& filter);
  bool UpgradeRunning() const { return seams_.state.upgrade_running.load() != 0; }
  void JoinFinishedWorker();

  Seams seams_;
  // Runs Initialise once the window is on screen, looking again `polls_left` times at most.
  void InitialiseOnceOnScreen(int polls_left);
  bool initialised_ = false;
  QTimer timer_;
  std::optional<UpgradeSession> session_;  // the last Upgrade's; its worker's while one runs
  std::thread worker_;
  int exit_status_ = 0;

  // Members exchanged with the controls.
  QString loader_path_;
  QString port_name_ = QStringLiteral("COM1");
  QString current_version_field_;
  QString new_version_field_;

  QComboBox* port_box_ = nullptr;
  QLineEdit* loader_edit_ = nullptr;
  QLineEdit* target_edit_ = nullptr;
  QLabel* status_ = nullptr;
  QLabel* current_version_ = nullptr;
  QLabel* new_version_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QPushButton* upgrade_ = nullptr;
  QPushButton* repair_ = nullptr;
};

}  // namespace larkspan
