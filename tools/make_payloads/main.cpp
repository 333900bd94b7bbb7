// make-payloads: writes the flash loader image and the firmware S-record file, with the
// release's sizes and record layout and contents from a fixed seed, into one directory. The
// build runs it into build/payloads for the tests, the installer and the demo.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>

#include "platform/command_line.h"
#include "tools/make_payloads/payload_maker.h"

int main(int argc, char** argv) {
  std::string out;
  CLI::App app(
      "Writes DIR/dlgsp2.bin (flash loader image, 14316 bytes) and DIR/Orvel_GPS_Firmware_R10.s (firmware "
      "S-records, 918698 bytes), the same bytes on every machine: random bytes in a release's layout, test data "
      "that must never be flashed into a real receiver. DIR is created if missing; existing files are replaced "
      "atomically.",
      "make-payloads");
  app.set_version_flag("--version", "make-payloads " LARKSPAN_VERSION);
  app.add_option("--out", out, "directory to write into")->required()->type_name("DIR");
  if (const auto ended = larkspan::ParseCommandLine(app, argc, argv)) return *ended;

  std::string error;
  if (!larkspan::payloads::WritePayloads(out, &error)) {
    std::fprintf(stderr, "make-payloads: %s\n", error.c_str());
    return 1;
  }
  return 0;
}
