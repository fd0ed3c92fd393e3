// Which modules of a controller get tags and are read. Registration and polling must agree on this,
// or values would land on the tags of other inputs.
#pragma once

#include <cstdint>

#include "model/tables.h"

namespace duz {

constexpr int kControllerModuleSlots = 8;
constexpr int kChannelsPerModule = 6;
// Twelve bit tags a module: five modules fill the 60 handle records of a slot.
constexpr int kServedControllerModules = 5;

// Module type code of controller slot 0..7 (0 = empty; any other value counts as fitted).
inline int slotModuleCode(const DeviceConfig& config, int moduleSlot) {
  return config.byte0(cell::kSlotModule0 + moduleSlot);
}

// Bit s set when the module in slot s is served: the first five fitted modules in slot order; any
// further modules get no tags and are not read.
inline std::uint8_t servedModules(const DeviceConfig& config) {
  std::uint8_t mask = 0;
  int served = 0;
  for (int s = 0; s < kControllerModuleSlots && served < kServedControllerModules; ++s) {
    if (slotModuleCode(config, s) == 0) continue;
    mask = static_cast<std::uint8_t>(mask | (1u << s));
    ++served;
  }
  return mask;
}

}  // namespace duz
