// The single-channel instruments: the two temperature transducers and the current-loop module. One
// measurement read gives a raw value and two limit flags.
#include <charconv>
#include <cstdint>

#include "host/module.h"
#include "model/catalogue.h"
#include "poll/read_procedures.h"

namespace duz {

namespace {

// A range end as the configuration holds it (decimal text, at most the cell's 8 bytes).
std::int32_t rangeEnd(const DeviceConfig& config, int c) {
  std::int32_t value = 0;
  const char* text = config.text(c);
  std::from_chars(text, text + config.textLength(c), value);
  return value;
}

// The value as published: percent of the 14-bit full scale to two decimals for the current loop,
// degrees over the configured range to one decimal for the transducers.
float scaledValue(const DeviceConfig& config, DeviceKind kind, std::int16_t raw) {
  if (kind == DeviceKind::CurrentLoop) {
    const long double percent = static_cast<long double>(raw * 100) * (1.0L / 16383.0L);
    return RoundThroughText(static_cast<float>(percent), 2);
  }
  const std::int32_t low = rangeEnd(config, cell::kRangeLow);
  const std::int32_t high = rangeEnd(config, cell::kRangeHigh);
  // 64 bits: the same as the 32-bit product for every range the catalogue has, and no overflow on a
  // range text that was tampered with.
  const std::int64_t product = (std::int64_t{high} - low) * raw;
  const long double degrees = static_cast<long double>(product) * 0x1p-13L + low;
  return RoundThroughText(static_cast<float>(degrees), 1);
}

}  // namespace

void PollTransducer(Module& module) {
  const DeviceConfig& config = module.deviceConfig[module.currentDevice];
  const auto kind = modelKindOfCell(config.modelName());
  if (!kind) return;
  if (PollExchange(module, measurementReadRequest(CurrentAddress(module), 0, 1), 3) != Exchange::Answered)
    return;

  const auto raw = static_cast<std::int16_t>(ReplyData(module, 0) << 8 | ReplyData(module, 1));
  const std::uint8_t status = ReplyData(module, 2);
  const float value = scaledValue(config, *kind, raw);
  StartFreshGroup(module);
  module.currentQuality = QualityGood;
  PublishAnalog(module, 0, value);
  PublishBit(module, 1, status & 0x01);  // limit 2
  PublishBit(module, 0, status & 0x02);  // limit 1
}

}  // namespace duz
