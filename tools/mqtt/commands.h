// What a command from the broker asks for, decided before anything reaches the module: a JSON /set
// message. (Sparkplug commands are the SparkplugNode's.)
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "tag_index.h"

namespace duz::mqtt {

struct SetDecision {
  std::string base;                    // the tag's topic: the topic without "/set"
  const TagInfo* tag = nullptr;        // set when the command may be carried out
  std::optional<std::uint32_t> value;  // the payload's bit value, when it has one
  std::string reason;                  // why not, when `tag` is null
};

// A message on `topic`; nothing when the topic does not end in "/set".
std::optional<SetDecision> decideSet(const TagIndex& index, std::string_view topic, std::string_view payload,
                                     bool retained);

}  // namespace duz::mqtt
