// The registry seam: open an existing key, set a string value, close the key. Real back-end:
// files under a root folder, a key being a folder ("HKEY_LOCAL_MACHINE/SOFTWARE/Apps/Tessan
// SW") and a value a file named after it holding the value's bytes (REG_SZ: UTF-16LE text and
// its 2-byte terminator). Opening never creates a key; a value is replaced atomically.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>
#include <span>
#include <string_view>

namespace larkspan {

class RegistryKey {
 public:
  virtual ~RegistryKey() = default;  // closes the key
  // Sets (or replaces) a REG_SZ value with exactly these bytes. True on success.
  virtual bool SetStringValue(std::u16string_view name, std::span<const uint8_t> data) = 0;
};

class Registry {
 public:
  virtual ~Registry() = default;
  // Opens an existing key under a root key ("HKEY_LOCAL_MACHINE"); `path` separates its
  // parts with single backslashes. Null when the key does not exist or cannot be opened.
  virtual std::unique_ptr<RegistryKey> OpenKey(std::u16string_view root, std::u16string_view path) = 0;
};

class FileRegistry final : public Registry {
 public:
  explicit FileRegistry(std::filesystem::path root) : root_(std::move(root)) {}
  std::unique_ptr<RegistryKey> OpenKey(std::u16string_view root, std::u16string_view path) override;

 private:
  std::filesystem::path root_;
};

// Holds back the values set through it, for receivers upgraded side by side: the installed-
// version record belongs to the device, not to one receiver, so it is written only once every
// receiver succeeded. A key opens only where it exists in `target`; Commit() sets there the
// last data held of each value. Any thread.
class HeldRegistry final : public Registry {
 public:
  explicit HeldRegistry(Registry& target) : target_(target) {}
  std::unique_ptr<RegistryKey> OpenKey(std::u16string_view root, std::u16string_view path) override;
  // Sets every value held; true when each was set.
  bool Commit();

 private:
  friend class HeldKey;
  using ValueName = std::tuple<std::u16string, std::u16string, std::u16string>;  // root, path, value
  Registry& target_;
  std::mutex mutex_;
  std::map<ValueName, std::vector<uint8_t>> held_;
};

}  // namespace larkspan
