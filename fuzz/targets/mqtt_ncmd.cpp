// An NCMD's payload as the broker hands it to the gateway: only a Boolean true for the rebirth control
// asks for a rebirth; anything else is refused with a reason, and nothing crashes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "harness/mqtt_table.h"
#include "harness/replies.h"
#include "sparkplug.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const duz::fuzz::MqttTable table;
  static const duz::mqtt::TagIndex index(table.records(), "t");
  duz::mqtt::SparkplugNode node("G", "E", index);
  std::string why;
  const bool rebirth = node.rebirthCommand({reinterpret_cast<const char*>(data), size}, why);
  DUZ_FUZZ_CHECK(rebirth == why.empty());
  return 0;
}
