#include "harness/mqtt_table.h"

#include <cstring>

namespace duz::fuzz {

MqttTable::MqttTable() {
  names_ = {"Input 1",
            "Input 2",
            "Reset",
            "Cancellation of the signal system",
            "Mode of blocking",
            "VEKS-1: (-50 -- 200).Value",
            "VEKS-1: (-50 -- 200).Limit 1",
            "A/B+C#D",
            "",
            "Device number"};
  for (int i = 0; i < 5; ++i) bits_[i].name = names_[i].data();
  for (int i = 0; i < 4; ++i) analog_[i].name = names_[5 + i].data();
  analog_[3].name = nullptr;  // a tag the module has not named
  ints_[0].name = names_[9].data();

  DeviceStatusRecord& alarm = records_[0];
  alarm.online = 1;
  alarm.bitCount = 5;
  alarm.bitTags = bits_.data();
  alarm.intCount = 1;
  alarm.intTags = ints_.data();
  std::strcpy(alarm.deviceName, "Device1");
  DeviceStatusRecord& transducer = records_[1];
  transducer.analogCount = 4;
  transducer.analogTags = analog_.data();
  std::strcpy(transducer.deviceName, "Device/2");
}

}  // namespace duz::fuzz
