#include "model/config_values.h"

#include <charconv>
#include <cstdint>
#include <optional>
#include <string_view>

namespace duz {

namespace {

std::string cellText(const DeviceConfig& device, int c) {
  return std::string(device.text(c), device.textLength(c));
}

// Fixed-point text of a value, independent of the process locale (the host may have set any).
std::string fixed(float value, int decimals) {
  char buffer[64];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, static_cast<double>(value),
                                       std::chars_format::fixed, decimals);
  return ec == std::errc() ? std::string(buffer, end) : std::string();
}

std::uint16_t setpointRaw(const DeviceConfig& device, int highCell, int lowCell) {
  return static_cast<std::uint16_t>(device.byte0(highCell) << 8 | device.byte0(lowCell));
}

}  // namespace

std::optional<long> leadingInteger(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  long value = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec != std::errc() || end == s.data()) return std::nullopt;
  return value;
}

std::string transducerSetpoint(const DeviceConfig& device, int highCell, int lowCell) {
  const long low = leadingInteger(cellText(device, cell::kRangeLow)).value_or(0);
  const long high = leadingInteger(cellText(device, cell::kRangeHigh)).value_or(0);
  const auto raw = static_cast<std::int16_t>(setpointRaw(device, highCell, lowCell));
  // 64-bit so that ranges wider than the catalogue's cannot overflow; for real ranges it is the same
  // exact product. The sum is kept in single precision.
  const std::int64_t product = (static_cast<std::int64_t>(high) - low) * raw;
  const auto value = static_cast<float>(static_cast<double>(low) + static_cast<double>(product) / 8192.0);
  return fixed(value, 0);
}

std::string currentLoopSetpoint(const DeviceConfig& device, int highCell, int lowCell) {
  const std::uint32_t raw = setpointRaw(device, highCell, lowCell);
  const long double scale = 1.0L / 16383.0L;
  return fixed(static_cast<float>(static_cast<long double>(raw * 100u) * scale), 2);
}

}  // namespace duz
