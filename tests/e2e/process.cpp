#include "tests/e2e/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace larkspan::e2e {

pid_t Spawn(const std::vector<std::string>& argv, const std::filesystem::path& out,
            const std::filesystem::path& err, const std::vector<std::string>& environment) {
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  std::vector<char*> env;
  for (const auto& entry : environment) env.push_back(const_cast<char*>(entry.c_str()));
  for (char** entry = environ; *entry; ++entry) env.push_back(*entry);
  env.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
  return pid;
}

int WaitFor(pid_t pid, int timeout_s) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

TempDir::TempDir() {
  std::random_device random;
  path_ = std::filesystem::temp_directory_path() /
          ("larkspan-e2e-" + std::to_string(getpid()) + "-" + std::to_string(random()));
  std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string ReadFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

size_t Count(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
  return count;
}

RunResult Run(const std::vector<std::string>& argv, int timeout_s, const std::vector<std::string>& environment) {
  TempDir dir;
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = Spawn(argv, dir.path() / "out", dir.path() / "err", environment);
  RunResult result;
  result.exit_status = WaitFor(pid, timeout_s);
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  result.out = ReadFile(dir.path() / "out");
  result.err = ReadFile(dir.path() / "err");
  return result;
}

SimProcess::SimProcess(const std::vector<std::string>& options) {
  std::vector<std::string> argv = {RECEIVER_SIM, "--path-file", (dir_.path() / "path").string(),
                                   "--log", (dir_.path() / "sim.log").string(), "--lifetime", "600"};
  argv.insert(argv.end(), options.begin(), options.end());
  pid_ = Spawn(argv, dir_.path() / "sim.out", dir_.path() / "sim.err");
  for (int i = 0; i < 250 && device_.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::string path = ReadFile(dir_.path() / "path");
    if (!path.empty() && path.back() == '\n') device_ = path.substr(0, path.size() - 1);
  }
  if (device_.empty()) throw std::runtime_error("receiver-sim did not start");
}

SimProcess::~SimProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    WaitFor(pid_, 5);
  }
}

}  // namespace larkspan::e2e
