// A DCMD as the broker hands it to the gateway: the first byte picks the device ID in the topic, the
// rest is the payload. Only a Boolean for one of that device's three command bits becomes a write;
// every other metric is refused, and nothing crashes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "harness/mqtt_table.h"
#include "harness/replies.h"
#include "sparkplug.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const duz::fuzz::MqttTable table;
  static const duz::mqtt::TagIndex index(table.records(), "t");
  static const duz::mqtt::SparkplugNode node("G", "E", index);
  if (size < 1) return 0;
  static const char* const ids[] = {"Device1", "Device_2", "Device/2", "", "Nobody"};
  const std::string_view device = ids[data[0] % 5];
  std::vector<std::string> refusals;
  const auto writes =
      node.deviceCommand(device, {reinterpret_cast<const char*>(data + 1), size - 1}, refusals);
  for (const auto& w : writes) {
    DUZ_FUZZ_CHECK(w.tag && w.tag->command && w.tag->slot == 0 && w.value <= 1);
    DUZ_FUZZ_CHECK(device == "Device1");
  }
  for (const auto& r : refusals) DUZ_FUZZ_CHECK(!r.empty() && r.size() < 200);
  // At most one answer per metric looked at (64), and one line for those beyond them.
  DUZ_FUZZ_CHECK(writes.size() + refusals.size() <= 65);
  return 0;
}
