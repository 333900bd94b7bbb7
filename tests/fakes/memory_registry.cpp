#include "tests/fakes/memory_registry.h"

namespace larkspan::testing {

namespace {
class MemoryKey final : public RegistryKey {
 public:
  MemoryKey(MemoryRegistry& registry, std::map<std::u16string, MemoryRegistry::Bytes>& values)
      : registry_(registry), values_(values) {
    ++registry_.open_keys;
  }
  ~MemoryKey() override { --registry_.open_keys; }
  bool SetStringValue(std::u16string_view name, std::span<const uint8_t> data) override {
    if (registry_.fail_writes) return false;
    values_[std::u16string(name)] = MemoryRegistry::Bytes(data.begin(), data.end());
    return true;
  }

 private:
  MemoryRegistry& registry_;
  std::map<std::u16string, MemoryRegistry::Bytes>& values_;
};
}  // namespace

std::unique_ptr<RegistryKey> MemoryRegistry::OpenKey(std::u16string_view root, std::u16string_view path) {
  const auto key = keys_.find(std::u16string(root) + u"\\" + std::u16string(path));
  if (key == keys_.end()) return nullptr;
  return std::make_unique<MemoryKey>(*this, key->second);
}

std::optional<MemoryRegistry::Bytes> MemoryRegistry::Value(const std::u16string& root, const std::u16string& path,
                                                           const std::u16string& name) const {
  const auto key = keys_.find(root + u"\\" + path);
  if (key == keys_.end()) return std::nullopt;
  const auto value = key->second.find(name);
  if (value == key->second.end()) return std::nullopt;
  return value->second;
}

}  // namespace larkspan::testing
