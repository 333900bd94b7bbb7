#include "tests/e2e/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

extern char** environ;

namespace larkspan::e2e {

pid_t Spawn(const std::vector<std::string>& argv, const std::filesystem::path& out,
            const std::filesystem::path& err, const std::vector<std::string>& environment,
            const std::filesystem::path& in) {
  std::vector<char*> args, env;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  for (const auto& entry : environment) env.push_back(const_cast<char*>(entry.c_str()));
  for (char** entry = environ; *entry; ++entry) env.push_back(*entry);
  args.push_back(nullptr);
  env.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDWR, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
  return pid;
}

int WaitFor(pid_t pid, int timeout_s) {
  int status = 0;
  for (int waited_ms = 0; waitpid(pid, &status, WNOHANG) != pid; waited_ms += 20) {
    if (waited_ms > timeout_s * 1000) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    usleep(20000);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TempDir::TempDir() {
  std::string name = (std::filesystem::temp_directory_path() / "larkspan-e2e-XXXXXX").string();
  if (mkdtemp(name.data()) == nullptr) throw std::runtime_error("cannot make " + name);
  path_ = name;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string ReadFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

size_t Count(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
  return count;
}

RunResult Run(const std::vector<std::string>& argv, int timeout_s, const std::vector<std::string>& environment) {
  const TempDir dir;
  const int status = WaitFor(Spawn(argv, dir.path() / "out", dir.path() / "err", environment), timeout_s);
  return {status, ReadFile(dir.path() / "out"), ReadFile(dir.path() / "err")};
}

SimProcess::SimProcess(const std::vector<std::string>& options) {
  std::vector<std::string> argv = {RECEIVER_SIM, "--path-file", dir_.path() / "path", "--log", dir_.path() / "sim.log",
                                   "--lifetime", "600"};
  argv.insert(argv.end(), options.begin(), options.end());
  pid_ = Spawn(argv, dir_.path() / "sim.out", dir_.path() / "sim.err");
  // The simulator writes its path file whole, line feed included, once the pty is ready.
  for (int i = 0; i < 250 && !ReadFile(dir_.path() / "path").ends_with('\n'); ++i) usleep(20000);
  device_ = ReadFile(dir_.path() / "path");
  if (!device_.ends_with('\n')) throw std::runtime_error("receiver-sim did not start");
  device_.pop_back();
}

void Stop(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  WaitFor(pid, 5);
}

SimProcess::~SimProcess() { Stop(pid_); }

std::string SchemaErrors(const std::string& json_lines) {
  const TempDir dir;
  std::ofstream(dir.path() / "events.jsonl") << json_lines;
  const RunResult run = Run({"/usr/bin/python3", "-c",
                             "import json, sys, jsonschema\n"
                             "validator = jsonschema.Draft202012Validator(json.load(open(sys.argv[1])))\n"
                             "for n, line in enumerate(open(sys.argv[2]), 1):\n"
                             "    for error in validator.iter_errors(json.loads(line)):\n"
                             "        print(f'line {n}: {error.message}')\n",
                             EVENTS_SCHEMA, (dir.path() / "events.jsonl").string()},
                            60);
  return run.exit_status == 0 ? run.out : "python3 failed: " + run.out + run.err;
}

}  // namespace larkspan::e2e
