// A status table as the module fills it after a search, for the gateway's command targets: an alarm
// instrument (slot 0, "Device1") with its three command bits, and a transducer (slot 1, "Device/2",
// whose ID in topics is "Device_2").
#pragma once

#include <array>
#include <string>
#include <vector>

#include "model/tables.h"

namespace duz::fuzz {

class MqttTable {
 public:
  MqttTable();
  MqttTable(const MqttTable&) = delete;
  MqttTable& operator=(const MqttTable&) = delete;
  const DeviceStatusRecord* records() const { return records_.data(); }

 private:
  std::array<DeviceStatusRecord, kSlots> records_{};
  std::vector<std::string> names_;
  std::array<AnalogTagHandle, 4> analog_{};
  std::array<BitTagHandle, 5> bits_{};
  std::array<IntTagHandle, 1> ints_{};
};

}  // namespace duz::fuzz
