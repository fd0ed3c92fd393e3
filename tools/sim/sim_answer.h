// The device side of an exchange: what the addressed instrument sends back for a request frame.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim_bus.h"

namespace duz::sim {

using Bytes = std::vector<std::uint8_t>;

struct Answer {
  Bytes reply;       // empty: nothing is sent
  int delayMs = 0;   // extra wait before sending (a slow device)
  std::string note;  // what happened, for the trace
};

// Handles one received frame: checks its CRC and address, carries out the function on the device
// (a coil write changes what later reads see) and applies the device's fault to the reply.
Answer answer(Bus& bus, const Bytes& request);

}  // namespace duz::sim
