#include "installer/payload_extraction.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "platform/atomic_file.h"

extern char** environ;

namespace larkspan {

namespace {

// Writes the whole payload into a new, empty temporary file in one write (repeated only
// where the system moves fewer bytes). True when every byte reached it.
bool WriteTemporary(const std::filesystem::path& file, std::span<const uint8_t> bytes) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return ::close(fd) == 0 && done == bytes.size();
}

// The temporary file's content, when it holds exactly `size` bytes.
std::optional<std::vector<uint8_t>> ReadBack(const std::filesystem::path& file, size_t size) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::vector<uint8_t> bytes(size + 1);
  size_t done = 0;
  for (ssize_t n; done < bytes.size() && (n = ::read(fd, bytes.data() + done, bytes.size() - done)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    done += static_cast<size_t>(n);
  }
  ::close(fd);
  if (done != size) return std::nullopt;
  bytes.resize(size);
  return bytes;
}

}  // namespace

bool ExtractPayload(const EmbeddedPayloads& payloads, const std::filesystem::path& root,
                    std::string_view temporary_name, std::string_view final_name, std::u16string_view type,
                    uint16_t id, mode_t mode) {
  const auto payload = payloads.Find(type, id);
  if (!payload) return false;
  const std::filesystem::path temporary = root / temporary_name;
  if (!WriteTemporary(temporary, *payload)) return false;
  // The copy takes the temporary file's bytes, as they reached the disk.
  const auto copied = ReadBack(temporary, payload->size());
  return copied && ReplaceFileAtomically(root / final_name, *copied, mode);
}

bool StartUpdater(const std::filesystem::path& program, const std::filesystem::path& working_folder) {
  // Only standard input, output and error go to the updater; it finds the device root in its
  // environment as well as in its working folder.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, working_folder.c_str());
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  std::vector<std::string> environment{"LARKSPAN_ROOT=" + working_folder.string()};
  for (char** entry = environ; *entry; ++entry) {
    if (!std::string_view(*entry).starts_with("LARKSPAN_ROOT=")) environment.emplace_back(*entry);
  }
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string name = program.string();
  char* argv[] = {name.data(), nullptr};
  pid_t pid = -1;
  const int result = posix_spawn(&pid, name.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (result != 0) return false;
  // Nothing waits for the updater; this only collects its exit status when it ends first.
  std::thread([pid] { ::waitpid(pid, nullptr, 0); }).detach();
  return true;
}

}  // namespace larkspan
