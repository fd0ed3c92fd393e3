#include "payload.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "sparkplug.h"

namespace duz::mqtt {

std::string topicLevel(std::string_view name) {
  std::string level(name);
  for (char& c : level)
    if (c == '/' || c == '+' || c == '#') c = '_';
  return level;
}

std::string qualityText(std::uint8_t code) {
  switch (code) {
    case 0xC0:
      return "good";
    case 0x0C:
      return "device failure";
    case 0x10:
      return "sensor failure";
    case 0x50:
      return "not accurate";
    case 0x04:
      return "configuration error";
  }
  // Any other code by its OPC quality class (bits 7 and 6).
  switch (code >> 6) {
    case 3:
      return "good";
    case 1:
      return "uncertain";
    default:
      return "bad";
  }
}

std::string utcText(std::uint64_t fileTime) {
  using namespace std::chrono;
  // Days from 1601-01-01 to 1970-01-01.
  constexpr std::int64_t kEpochDays = 134774;
  const std::int64_t ms = static_cast<std::int64_t>(fileTime / 10000);
  const std::int64_t days = ms / 86'400'000 - kEpochDays;
  const std::int64_t msOfDay = ms % 86'400'000;
  const year_month_day date{sys_days{std::chrono::days{days}}};
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02lld:%02lld:%02lld.%03lldZ",
                static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                static_cast<unsigned>(date.day()), static_cast<long long>(msOfDay / 3'600'000),
                static_cast<long long>(msOfDay / 60'000 % 60), static_cast<long long>(msOfDay / 1000 % 60),
                static_cast<long long>(msOfDay % 1000));
  return text;
}

std::string floatText(float f) {
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, f).ptr;
  return std::string(text, end);
}

std::string tagPayload(TagKind kind, double value, std::uint32_t quality, std::uint64_t fileTime) {
  nlohmann::ordered_json j;
  switch (kind) {
    case TagKind::Analog: {
      const auto f = static_cast<float>(value);
      if (!std::isfinite(f)) {
        j["value"] = nullptr;  // JSON has no NaN or infinity
        break;
      }
      // The float's shortest text read back as a double prints as that text.
      j["value"] = std::strtod(floatText(f).c_str(), nullptr);
      break;
    }
    case TagKind::Bit:
      j["value"] = value != 0 ? 1 : 0;
      break;
    case TagKind::Integer:
      j["value"] = static_cast<std::int64_t>(value);
      break;
  }
  const auto code = static_cast<std::uint8_t>(quality & 0xFF);
  j["quality"] = code;
  j["quality_text"] = qualityText(code);
  j["timestamp"] = utcText(fileTime);
  return j.dump();
}

std::string linkPayload(const DuzLinkDeviceStatistics& s) {
  nlohmann::ordered_json j;
  j["exchanges"] = s.exchanges;
  j["noAnswer"] = s.noAnswer;
  j["badCrc"] = s.badCrc;
  j["exceptions"] = s.exceptions;
  j["wrongAddress"] = s.wrongAddress;
  j["wrongFunction"] = s.wrongFunction;
  j["lastFailure"] = failureText(s.lastFailure);
  j["lastFailureTime"] = s.lastFailureTime ? nlohmann::ordered_json(utcText(s.lastFailureTime)) : nullptr;
  j["medianExchangeMs"] = s.medianExchangeUs / 1000.0;
  return j.dump();
}

std::optional<std::uint32_t> commandValue(std::string_view payload) {
  const auto first = payload.find_first_not_of(" \t\r\n");
  if (first == payload.npos) return std::nullopt;
  payload = payload.substr(first, payload.find_last_not_of(" \t\r\n") - first + 1);
  if (payload == "1" || payload == "true") return 1;
  if (payload == "0" || payload == "false") return 0;
  return std::nullopt;
}

std::string resultPayload(std::optional<std::uint32_t> value, std::string_view result,
                          std::string_view reason) {
  nlohmann::ordered_json j;
  j["value"] = value ? nlohmann::ordered_json(*value) : nlohmann::ordered_json(nullptr);
  j["result"] = result;
  if (!reason.empty()) j["reason"] = reason;
  return j.dump();
}

}  // namespace duz::mqtt
