// The power seam: whether the device runs on external power. The AC line status keeps the
// handheld's values: 0 offline, 1 online, 2 backup power, 255 unknown; no value when the
// query itself failed. Real back-end: /sys/class/power_supply. Any thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

namespace larkspan {

class PowerStatus {
 public:
  virtual ~PowerStatus() = default;
  virtual std::optional<uint8_t> AcLineStatus() = 0;
};

// Reads the supplies of type "Mains" and "USB": online when any reports online; offline when
// none does and one reports offline or a battery is listed; 255 when the system lists no
// supply at all (a desktop, a container).
class SysfsPowerStatus final : public PowerStatus {
 public:
  explicit SysfsPowerStatus(std::filesystem::path supplies = "/sys/class/power_supply")
      : supplies_(std::move(supplies)) {}
  std::optional<uint8_t> AcLineStatus() override;

 private:
  std::filesystem::path supplies_;
};

}  // namespace larkspan
