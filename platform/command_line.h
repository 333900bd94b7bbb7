// Every program's command line is read with CLI11. This ends the parse the same way for all of
// them: --help and --version print and end the run with status 0, a usage error says what was
// wrong on standard error and ends it with status 2.
#pragma once

#include <CLI/CLI.hpp>

#include <optional>

namespace larkspan {

// The exit status when the run ends here, or nothing when it goes on.
inline std::optional<int> ParseCommandLine(CLI::App& app, int argc, char** argv) {
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : 2;
  }
  return std::nullopt;
}

}  // namespace larkspan
