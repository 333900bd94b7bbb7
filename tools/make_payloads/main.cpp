// make-payloads: writes the flash loader image and the firmware S-record file, with the
// release's sizes and record layout and contents from a fixed seed, into one directory. The
// build runs it into build/payloads for the tests, the installer and the demo.
#include <cstdio>
#include <string>
#include <string_view>

#include "tools/make_payloads/payload_maker.h"

namespace {

constexpr char kUsage[] =
    "Usage: make-payloads --out DIR\n"
    "Writes DIR/dlgsp2.bin (flash loader image, 14316 bytes) and\n"
    "DIR/Orvel_GPS_Firmware_R10.s (firmware S-records, 918698 bytes), the same bytes on\n"
    "every machine. DIR is created if missing; existing files are replaced atomically.\n"
    "  --out DIR   directory to write into (required)\n"
    "  --help      show this text\n";

int UsageError(const std::string& what) {
  std::fprintf(stderr, "make-payloads: %s\n%s", what.c_str(), kUsage);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string out;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--out") {
      if (i + 1 >= argc) return UsageError("--out needs a directory");
      out = argv[++i];
    } else if (arg.starts_with("--out=")) {
      out = std::string(arg.substr(6));
    } else {
      return UsageError("unknown argument '" + std::string(arg) + "'");
    }
    if (out.empty()) return UsageError("--out needs a directory");
  }
  if (out.empty()) return UsageError("--out DIR is required");

  std::string error;
  if (!larkspan::payloads::WritePayloads(out, &error)) {
    std::fprintf(stderr, "make-payloads: %s\n", error.c_str());
    return 1;
  }
  return 0;
}
