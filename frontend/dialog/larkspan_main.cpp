// larkspan: the updater with its dialog. Options: --port PATH maps COM1: for one run,
// --root DIR takes the payload files from DIR, --full-screen (or LARKSPAN_FULL_SCREEN=1)
// fills the screen as on a handheld.
#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "frontend/qt/display.h"
#include "platform/command_line.h"
#include "frontend/dialog/qt_user_sink.h"
#include "frontend/session/output_queue.h"
#include "frontend/dialog/updater_app.h"
#include "platform/clock.h"
#include "platform/device_root.h"
#include "platform/sleep_inhibitor.h"
#include "platform/open_failure.h"
#include "platform/port_names.h"
#include "platform/power_status.h"
#include "platform/registry.h"
#include "platform/termios_serial_port.h"
#include "receiver/program_state.h"

int main(int argc, char** argv) {
  using namespace larkspan;
  // The options first: --help works without a display, and the application object is made
  // only where it can show a window.
  PortNames names = PortNames::FromEnvironment();
  std::filesystem::path root = DeviceRoot();
  UpdaterApp::Options options;
  const char* full_screen = std::getenv("LARKSPAN_FULL_SCREEN");
  options.full_screen = full_screen && std::strcmp(full_screen, "1") == 0;
  std::optional<std::string> port, root_option;
  CLI::App command_line("The GPS receiver's firmware updater. COM1: is $LARKSPAN_COM1 (else /dev/ttyS0); the payload "
                        "files come from $LARKSPAN_ROOT (else ~/.local/share/larkspan). It needs a display; "
                        "larkspan-cli does the same job without one.",
                        "larkspan");
  command_line.set_version_flag("--version", "larkspan " LARKSPAN_VERSION);
  command_line.add_option("--port", port, "use the serial device PATH as COM1: for this run")->type_name("PATH");
  command_line.add_option("--root", root_option, "take the payload files from DIR")->type_name("DIR");
  command_line.add_flag("--full-screen", options.full_screen,
                        "fill the screen, as on a handheld (also LARKSPAN_FULL_SCREEN=1)");
  if (const auto ended = ParseCommandLine(command_line, argc, argv)) return *ended;
  if (port) names.com1_path = AbsolutePath(*port).string();
  if (root_option) root = AbsolutePath(*root_option);
  if (!HasDisplay()) {
    std::fputs("larkspan: needs a display, and none is set (DISPLAY, WAYLAND_DISPLAY or QT_QPA_PLATFORM); "
               "larkspan-cli does the same job without one: larkspan-cli upgrade\n",
               stderr);
    return 2;
  }

  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Larkspan"));
  OutputQueue output;  // what is said on standard error never holds up the worker
  std::FILE* err = output.Stream(STDERR_FILENO);
  TermiosSerialPorts ports(names);
  ports.on_open_failure = [err](const std::string& path, int error) { TellOpenFailure("larkspan", path, error, err); };
  SystemClock clock;
  QtUserSink sink;
  BoxWitness witness(sink);
  FileRegistry registry(RegistryRoot());
  SysfsPowerStatus power;
  LogindInhibitor sleep_inhibitor;
  ProgramState state(ports, clock, witness, registry);
  state.probe_channel.on_cts_low = [path = names.com1_path, err] { TellCtsLow("larkspan", path, err); };
  UpgradeDialog::Seams seams{state, sink, power, sleep_inhibitor, root};
  seams.history = UpgradeDialog::Seams::History{HistoryFile(), names.com1_path};
  seams.err = err;
  seams.boxes = &witness;
  const int status = UpdaterApp::Run(std::move(seams), options);
  output.Drain();
  return status;
}
