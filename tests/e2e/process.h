// Starting the real programs for end-to-end tests: run larkspan-cli to its end with its
// output captured, and keep a receiver-sim running on its pseudo-terminal for one test.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace larkspan::e2e {

struct RunResult {
  int exit_status = -1;  // -1: killed or did not end in time
  std::string out, err;
};

// A fresh directory under the system's temporary directory, removed when destroyed.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Starts `argv` (argv[0] a path) with standard input from `in` and its output into the files
// `out` and `err`; `environment` entries ("NAME=value") are added to this process's
// environment. Throws when the program cannot be started.
pid_t Spawn(const std::vector<std::string>& argv, const std::filesystem::path& out,
            const std::filesystem::path& err, const std::vector<std::string>& environment = {},
            const std::filesystem::path& in = "/dev/null");

// Waits for the child; returns its exit status, or -1 once `timeout_s` passed (it is killed).
int WaitFor(pid_t pid, int timeout_s);
// Asks a child started by Spawn to end (SIGTERM) and reaps it; nothing when `pid` is not positive.
void Stop(pid_t pid);

// Runs `argv` (argv[0] a path) with standard input closed, waiting at most `timeout_s`.
// `environment` entries ("NAME=value") are added to this process's environment.
RunResult Run(const std::vector<std::string>& argv, int timeout_s,
              const std::vector<std::string>& environment = {});

std::string ReadFile(const std::filesystem::path& file);
// What is wrong with JSON lines against docs/events.schema.json (python3-jsonschema), one
// finding a line; "" when every line parses and validates.
std::string SchemaErrors(const std::string& json_lines);
// How many times `needle` occurs in `text`.
size_t Count(const std::string& text, const std::string& needle);

// A receiver-sim for one test: started with the given options, stopped when destroyed.
class SimProcess {
 public:
  explicit SimProcess(const std::vector<std::string>& options);
  ~SimProcess();
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  const std::string& device() const { return device_; }  // the pty's slave path
  pid_t pid() const { return pid_; }
  std::string Log() const { return ReadFile(dir_.path() / "sim.log"); }

 private:
  TempDir dir_;
  pid_t pid_ = -1;
  std::string device_;
};

}  // namespace larkspan::e2e
