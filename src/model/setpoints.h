// The alarm setpoints of the transducers and the current loop as the operator sees them: the raw
// 16-bit values of a configuration record scaled to degrees or percent.
#pragma once

#include <string>

#include "model/tables.h"

namespace duz {

// Transducer setpoint in whole degrees Celsius: rangeLow + (rangeHigh - rangeLow) x raw / 8192, raw
// signed, from the setpoint's high and low byte cells.
std::string transducerSetpoint(const DeviceConfig& device, int highCell, int lowCell);

// Current-loop setpoint in percent with two decimals: raw x 100 / 16383, raw unsigned.
std::string currentLoopSetpoint(const DeviceConfig& device, int highCell, int lowCell);

}  // namespace duz
