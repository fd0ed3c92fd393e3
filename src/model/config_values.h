// Values of configuration records as the operator sees them: the decimal texts they hold, and the
// alarm setpoints of the transducers and the current loop scaled from their raw 16-bit values.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "model/tables.h"

namespace duz {

// Decimal integer at the start of a text, after leading blanks; nullopt when there is none.
std::optional<long> leadingInteger(std::string_view text);

// Transducer setpoint in whole degrees Celsius: rangeLow + (rangeHigh - rangeLow) x raw / 8192, raw
// signed, from the setpoint's high and low byte cells.
std::string transducerSetpoint(const DeviceConfig& device, int highCell, int lowCell);

// Current-loop setpoint in percent with two decimals: raw x 100 / 16383, raw unsigned.
std::string currentLoopSetpoint(const DeviceConfig& device, int highCell, int lowCell);

}  // namespace duz
