// larkspan: the updater with its dialog. Options: --port PATH maps COM1: for one run,
// --root DIR takes the payload files from DIR, --full-screen (or LARKSPAN_FULL_SCREEN=1)
// fills the screen as on a handheld.
#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "frontend/display.h"
#include "frontend/qt_user_sink.h"
#include "frontend/updater_app.h"
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
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--port" && i + 1 < argc) {
      names.com1_path = AbsolutePath(argv[++i]).string();
    } else if (arg == "--root" && i + 1 < argc) {
      root = AbsolutePath(argv[++i]);
    } else if (arg == "--full-screen") {
      options.full_screen = true;
    } else if (arg == "--help") {
      std::puts("Usage: larkspan [--port PATH] [--root DIR] [--full-screen]\n"
                "The GPS receiver's firmware updater. COM1: is $LARKSPAN_COM1 (else /dev/ttyS0);\n"
                "the payload files come from $LARKSPAN_ROOT (else ~/.local/share/larkspan).\n"
                "It needs a display; larkspan-cli does the same job without one.");
      return 0;
    } else if (arg == "--version") {
      std::puts("larkspan " LARKSPAN_VERSION);
      return 0;
    } else {
      std::fprintf(stderr, "larkspan: unknown argument '%s' (see --help)\n", arg.c_str());
      return 2;
    }
  }
  if (!HasDisplay()) {
    std::fputs("larkspan: needs a display, and none is set (DISPLAY, WAYLAND_DISPLAY or QT_QPA_PLATFORM); "
               "larkspan-cli does the same job without one: larkspan-cli upgrade\n",
               stderr);
    return 2;
  }

  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Larkspan"));
  TermiosSerialPorts ports(names);
  ports.on_open_failure = [](const std::string& path, int error) { TellOpenFailure("larkspan", path, error); };
  SystemClock clock;
  QtUserSink sink;
  FileRegistry registry(RegistryRoot());
  SysfsPowerStatus power;
  LogindInhibitor sleep_inhibitor;
  ProgramState state(ports, clock, sink, registry);
  return UpdaterApp::Run({state, sink, power, sleep_inhibitor, root}, options);
}
