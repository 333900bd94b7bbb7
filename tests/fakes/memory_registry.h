// A registry in memory: keys exist only when a test creates them; values keep their bytes.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace larkspan::testing {

class MemoryRegistry final : public Registry {
 public:
  using Bytes = std::vector<uint8_t>;

  void CreateKey(const std::u16string& root, const std::u16string& path) { keys_[root + u"\\" + path]; }
  bool fail_writes = false;

  std::unique_ptr<RegistryKey> OpenKey(std::u16string_view root, std::u16string_view path) override;

  // The value's bytes, or nothing when key or value is absent.
  std::optional<Bytes> Value(const std::u16string& root, const std::u16string& path,
                             const std::u16string& name) const;
  size_t KeyCount() const { return keys_.size(); }
  int open_keys = 0;

 private:
  std::map<std::u16string, std::map<std::u16string, Bytes>> keys_;
};

}  // namespace larkspan::testing
