// A JSON-mode command as the broker hands it to the gateway: the first byte's low bit says whether it
// was retained, then the topic up to a NUL, then the payload. Only a non-retained 0, 1, true or false
// on one of an alarm instrument's three command bits is carried out.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "commands.h"
#include "harness/mqtt_table.h"
#include "harness/replies.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const duz::fuzz::MqttTable table;
  static const duz::mqtt::TagIndex index(table.records(), "t");
  if (size < 1) return 0;
  const bool retained = data[0] & 1;
  const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  const auto nul = rest.find('\0');
  const std::string_view topic = rest.substr(0, nul);
  const std::string_view payload = nul == rest.npos ? std::string_view{} : rest.substr(nul + 1);
  const auto d = duz::mqtt::decideSet(index, topic, payload, retained);
  if (!d) {
    DUZ_FUZZ_CHECK(!topic.ends_with("/set"));
    return 0;
  }
  DUZ_FUZZ_CHECK(d->base + "/set" == topic);
  DUZ_FUZZ_CHECK(d->tag ? d->reason.empty() : !d->reason.empty());
  if (d->tag)
    DUZ_FUZZ_CHECK(d->tag->command && !retained && d->value && *d->value <= 1 && d->tag->topic == d->base);
  return 0;
}
