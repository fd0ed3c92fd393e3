// The JSON lines duzevod-host prints, read with nlohmann-json. Members keep the order the host wrote
// them in, so that a test can check the exact shape of a line.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace duz::test {

using Json = nlohmann::ordered_json;

// The whole text must be one value (surrounding white space allowed); nothing for anything else.
inline std::optional<Json> parseJson(std::string_view text) {
  Json value = Json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (value.is_discarded()) return std::nullopt;
  return value;
}

// A number written as an integer; throws for anything else (a float where an integer belongs is a fault).
inline std::int64_t integerOf(const Json& value) {
  if (!value.is_number_integer()) throw std::invalid_argument("not an integer: " + value.dump());
  return value.get<std::int64_t>();
}

inline std::vector<std::string> keysOf(const Json& object) {
  std::vector<std::string> out;
  for (const auto& member : object.items()) out.push_back(member.key());
  return out;
}

}  // namespace duz::test
