// The registry seam: open an existing key, set a string value, close the key. Real back-end:
// files under a root folder, a key being a folder ("HKEY_LOCAL_MACHINE/SOFTWARE/Apps/Tessan
// SW") and a value a file named after it holding the value's bytes (REG_SZ: UTF-16LE text and
// its 2-byte terminator). Opening never creates a key; a value is replaced atomically.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
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

}  // namespace larkspan
