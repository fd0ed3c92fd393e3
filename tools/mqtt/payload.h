// What the gateway puts on the broker: topic levels, tag payloads, command answers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct DuzLinkDeviceStatistics;

namespace duz::mqtt {

// A device or tag name as one topic level: '/', '+' and '#' become '_' (the name stays UTF-8).
std::string topicLevel(std::string_view name);

// The OPC Data Access quality code (the low byte of the quality word) in words.
std::string qualityText(std::uint8_t code);

// A FILETIME (100 ns since 1601-01-01 UTC) as "2026-12-08T10:05:01.204Z".
std::string utcText(std::uint64_t fileTime);

// A float's shortest text that reads back as the same float ("23.4").
std::string floatText(float f);

enum class TagKind { Analog = 0, Bit = 1, Integer = 2 };

// {"value":…,"quality":…,"quality_text":…,"timestamp":…}: analog values as the float was published
// (its shortest text, 23.4 not 23.399999618530273), bits as 0 or 1, integers as they are.
std::string tagPayload(TagKind kind, double value, std::uint32_t quality, std::uint64_t fileTime);

// A device's link statistics for <prefix>/<device>/link: {"exchanges":5210,…,"medianExchangeMs":31.2}.
std::string linkPayload(const DuzLinkDeviceStatistics& statistics);

// A command's payload: 0, 1, true or false (blanks around allowed); nothing for anything else.
std::optional<std::uint32_t> commandValue(std::string_view payload);

// {"value":1,"result":"done"}; `value` null when the payload had none; `reason` only when given.
std::string resultPayload(std::optional<std::uint32_t> value, std::string_view result,
                          std::string_view reason = {});

}  // namespace duz::mqtt
