// The payload files as they lie in the device root: the names the installer writes and the
// updater opens. The updater opens the two it uploads by their bare names, resolved against
// the device root, for reading only and for exclusive use. Dialog thread or larkspan-cli.
#pragma once

#include <filesystem>
#include <string>

#include "receiver/program_state.h"

namespace larkspan {

inline constexpr char kLoaderFileName[] = "dlgsp2.bin";
inline constexpr char kUpdaterFileName[] = "Larkspan.exe";
inline constexpr char kFirmwareFileName[] = "Orvel_GPS_Firmware_R10.s";

// Opens the flash loader image and the firmware S-record file from `root` into the program
// state. The results are not checked here: a file that did not open stays closed, and the
// worker's start guard ends the run before anything is sent to the receiver.
void OpenPayloadFiles(ProgramState& state, const std::filesystem::path& root);

// What the worker's start guard does not say: each payload file that did not open, with where
// it was looked for and why, one line each ("cannot open PATH: reason\n").
std::string UnopenedPayloadFiles(const ProgramState& state, const std::filesystem::path& root);
std::string UnopenedPayloadFiles(const ReadOnlyFile& loader, const ReadOnlyFile& firmware,
                                 const std::filesystem::path& root);

}  // namespace larkspan
