// larkspan: the updater with its dialog. Options: --port PATH maps COM1: for one run,
// --root DIR takes the payload files from DIR, --full-screen (or LARKSPAN_FULL_SCREEN=1)
// fills the screen as on a handheld.
#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "frontend/qt_user_sink.h"
#include "frontend/updater_app.h"
#include "platform/clock.h"
#include "platform/device_root.h"
#include "platform/idle_timer.h"
#include "platform/open_failure.h"
#include "platform/port_names.h"
#include "platform/power_status.h"
#include "platform/registry.h"
#include "platform/termios_serial_port.h"
#include "receiver/program_state.h"

int main(int argc, char** argv) {
  using namespace larkspan;
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Larkspan"));

  PortNames names = PortNames::FromEnvironment();
  std::filesystem::path root = DeviceRoot();
  UpdaterApp::Options options;
  const char* full_screen = std::getenv("LARKSPAN_FULL_SCREEN");
  options.full_screen = full_screen && std::strcmp(full_screen, "1") == 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--port" && i + 1 < argc) {
      names.com1_path = argv[++i];
    } else if (arg == "--root" && i + 1 < argc) {
      root = argv[++i];
    } else if (arg == "--full-screen") {
      options.full_screen = true;
    } else if (arg == "--help") {
      std::puts("Usage: larkspan [--port PATH] [--root DIR] [--full-screen]\n"
                "The GPS receiver's firmware updater. COM1: is $LARKSPAN_COM1 (else /dev/ttyS0);\n"
                "the payload files come from $LARKSPAN_ROOT (else ~/.local/share/larkspan).");
      return 0;
    } else {
      std::fprintf(stderr, "larkspan: unknown argument '%s' (see --help)\n", arg.c_str());
      return 2;
    }
  }

  TermiosSerialPorts ports(names);
  ports.on_open_failure = [](const std::string& path, int error) { TellOpenFailure("larkspan", path, error); };
  SystemClock clock;
  QtUserSink sink;
  FileRegistry registry(RegistryRoot());
  SysfsPowerStatus power;
  NoIdleTimer idle_timer;
  ProgramState state(ports, clock, sink, registry);
  return UpdaterApp::Run({state, sink, power, idle_timer, root}, options);
}
