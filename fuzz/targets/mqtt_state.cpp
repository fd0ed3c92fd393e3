// A primary host application's STATE as the broker hands it to the gateway: accepted only as
// {"online": bool, "timestamp": ms}, and then exactly as it said.
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string_view>

#include "harness/replies.h"
#include "sparkplug.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto state = duz::mqtt::parseHostState(text);
  if (!state) return 0;
  const auto j = nlohmann::json::parse(text);
  DUZ_FUZZ_CHECK(j.at("online").get<bool>() == state->online);
  DUZ_FUZZ_CHECK(!j.contains("timestamp") || j["timestamp"].get<std::uint64_t>() == state->timestamp);
  return 0;
}
