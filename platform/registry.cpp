#include "platform/registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>
#include <system_error>

#include "platform/atomic_file.h"
#include "platform/text.h"

namespace larkspan {

namespace {

// A key or value name as one path component: no separators, nothing that climbs out.
bool SafeComponent(const std::string& part) {
  return !part.empty() && part != "." && part != ".." && part.find('/') == std::string::npos &&
         part.find('\0') == std::string::npos;
}

class FileRegistryKey final : public RegistryKey {
 public:
  explicit FileRegistryKey(std::filesystem::path folder) : folder_(std::move(folder)) {}
  bool SetStringValue(std::u16string_view name, std::span<const uint8_t> data) override {
    const std::string file = ToUtf8(name);
    return SafeComponent(file) && ReplaceFileAtomically(folder_ / file, data);
  }

 private:
  std::filesystem::path folder_;
};

}  // namespace

std::unique_ptr<RegistryKey> FileRegistry::OpenKey(std::u16string_view root, std::u16string_view path) {
  const std::string root_name = ToUtf8(root);
  if (!SafeComponent(root_name)) return nullptr;
  std::filesystem::path folder = root_ / root_name;
  const std::string key = ToUtf8(path);
  size_t start = 0;
  while (start <= key.size()) {
    const size_t end = std::min(key.find('\\', start), key.size());
    const std::string part = key.substr(start, end - start);
    if (!SafeComponent(part)) return nullptr;
    folder /= part;
    start = end + 1;
  }
  std::error_code error;
  if (!std::filesystem::is_directory(folder, error)) return nullptr;
  return std::make_unique<FileRegistryKey>(folder);
}


class HeldKey final : public RegistryKey {
 public:
  HeldKey(HeldRegistry& registry, std::u16string_view root, std::u16string_view path)
      : registry_(registry), root_(root), path_(path) {}
  bool SetStringValue(std::u16string_view name, std::span<const uint8_t> data) override {
    std::lock_guard lock(registry_.mutex_);
    registry_.held_[{root_, path_, std::u16string(name)}].assign(data.begin(), data.end());
    return true;
  }

 private:
  HeldRegistry& registry_;
  std::u16string root_, path_;
};

std::unique_ptr<RegistryKey> HeldRegistry::OpenKey(std::u16string_view root, std::u16string_view path) {
  if (!target_.OpenKey(root, path)) return nullptr;
  return std::make_unique<HeldKey>(*this, root, path);
}

bool HeldRegistry::Commit() {
  std::lock_guard lock(mutex_);
  bool all_set = true;
  for (const auto& [name, data] : held_) {
    const auto key = target_.OpenKey(std::get<0>(name), std::get<1>(name));
    all_set = key && key->SetStringValue(std::get<2>(name), data) && all_set;
  }
  return all_set;
}

}  // namespace larkspan
