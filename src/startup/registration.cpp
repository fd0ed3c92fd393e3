#include "startup/registration.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "host/module.h"
#include "model/catalogue.h"
#include "poll/controller_modules.h"

namespace duz {

namespace {

// Names are formatted into a buffer of this size before they are copied into their handle record.
constexpr std::size_t kNameBuffer = 256;

// A cell's text, read no further than its 8 bytes (a cell restored from a file may lack its NUL).
std::string cellText(const DeviceConfig& config, int c) {
  return std::string(config.text(c), config.textLength(c));
}

// Formats a name into the working buffer (names longer than the buffer are cut, never overrun).
[[gnu::format(printf, 1, 2)]] std::string format(const char* pattern, ...) {
  char buffer[kNameBuffer];
  std::va_list args;
  va_start(args, pattern);
  std::vsnprintf(buffer, sizeof buffer, pattern, args);
  va_end(args);
  return buffer;
}

// Names the next free handle record of one kind and only then counts it, so the host never sees a
// counted tag without its name. A full row takes no more tags.
template <typename Handle>
std::uint16_t addTag(Handle* row, std::uint16_t count, const std::string& name) {
  if (count >= kTagsPerKind) return count;
  tagName(row[count], name.c_str());
  return static_cast<std::uint16_t>(count + 1);
}

class DeviceTags {
 public:
  explicit DeviceTags(DeviceStatusRecord& record) : record_(record) {}
  void analog(const std::string& name) {
    record_.analogCount = addTag(record_.analogTags, record_.analogCount, name);
  }
  void bit(const std::string& name) { record_.bitCount = addTag(record_.bitTags, record_.bitCount, name); }
  void integer(const std::string& name) {
    record_.intCount = addTag(record_.intTags, record_.intCount, name);
  }

 private:
  DeviceStatusRecord& record_;
};

void registerController(const DeviceConfig& config, DeviceTags& tags) {
  const std::string variant = cellText(config, cell::kControllerVariant);
  const std::uint8_t served = servedModules(config);
  for (int s = 0; s < kControllerModuleSlots; ++s) {
    if (!(served & (1u << s))) continue;
    const int code = slotModuleCode(config, s);
    // A code the catalogue does not know is shown as its number.
    std::string type(moduleTypeLatin(code));
    if (type.empty()) type = std::to_string(code);
    for (int input = 1; input <= kChannelsPerModule; ++input) {
      tags.analog(format("LUMA-12 %s: Module %d (%s).Input %d", variant.c_str(), s + 1, type.c_str(), input));
      tags.bit(format("LUMA-12 %s: Module %d (%s).Input %d: Limit 1", variant.c_str(), s + 1, type.c_str(),
                      input));
      tags.bit(format("LUMA-12 %s: Module %d (%s).Input %d: Limit 2", variant.c_str(), s + 1, type.c_str(),
                      input));
    }
  }
}

void registerAlarmInstrument(const DeviceConfig& config, DeviceTags& tags) {
  const std::string variantCode = cellText(config, cell::kAlarmVariant);
  if (const AlarmVariant* variant = findAlarmVariant(config.text(cell::kAlarmVariant))) {
    for (int i = 1; i <= variant->inputCount(); ++i)
      tags.bit(format("DEK-04 %s: Discrete inputs.Input %d", variantCode.c_str(), i));
    for (int o = 1; o <= variant->outputCount(); ++o)
      tags.bit(format("DEK-04 %s: Discrete outputs.Output %d", variantCode.c_str(), o));
  }
  tags.bit("Reset");
  tags.bit("Cancellation of the signal system");
  tags.bit("Mode of blocking");
}

void registerTransducer(const DeviceConfig& config, DeviceTags& tags, const char* latin) {
  const std::string low = cellText(config, cell::kRangeLow);
  const std::string high = cellText(config, cell::kRangeHigh);
  tags.analog(format("%s: (%s -- %s).Value", latin, low.c_str(), high.c_str()));
  tags.bit(format("%s: (%s -- %s).Limit 1", latin, low.c_str(), high.c_str()));
  tags.bit(format("%s: (%s -- %s).Limit 2", latin, low.c_str(), high.c_str()));
}

void registerCurrentLoop(DeviceTags& tags) {
  tags.analog("ORTA (4 -- 20 mA).Value");
  tags.bit("ORTA (4 -- 20 mA).Limit 1");
  tags.bit("ORTA (4 -- 20 mA).Limit 2");
}

}  // namespace

void RegisterTags(Module& module) {
  const int count = module.configuredCount < kSlots ? module.configuredCount : kSlots;
  for (module.currentDevice = 0; module.currentDevice < count; ++module.currentDevice) {
    const DeviceConfig& config = module.deviceConfig[module.currentDevice];
    DeviceTags tags(module.deviceStatusTable[module.currentDevice]);
    if (const auto kind = modelKindOfCell(config.modelName())) {
      switch (*kind) {
        case DeviceKind::Controller:
          registerController(config, tags);
          break;
        case DeviceKind::AlarmInstrument:
          registerAlarmInstrument(config, tags);
          break;
        case DeviceKind::Thermocouple:
        case DeviceKind::ResistanceThermometer:
          registerTransducer(config, tags, std::string(modelLatin(*kind)).c_str());
          break;
        case DeviceKind::CurrentLoop:
          registerCurrentLoop(tags);
          break;
      }
    }
    tags.integer("Device number");
  }
}

}  // namespace duz
