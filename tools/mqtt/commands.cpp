#include "commands.h"

#include "payload.h"

namespace duz::mqtt {

std::optional<SetDecision> decideSet(const TagIndex& index, std::string_view topic, std::string_view payload,
                                     bool retained) {
  const std::string_view suffix = "/set";
  if (!topic.ends_with(suffix)) return std::nullopt;
  SetDecision d;
  d.base = std::string(topic.substr(0, topic.size() - suffix.size()));
  d.value = commandValue(payload);
  const TagInfo* tag = index.byTopic(d.base);
  if (retained)
    d.reason = "a retained command is not carried out (publish /set without the retain flag)";
  else if (!tag)
    d.reason = "no such tag";
  else if (!tag->command)
    d.reason =
        "not a command bit of an alarm instrument; only Reset, Cancellation of the signal system and "
        "Mode of blocking can be written";
  else if (!d.value)
    d.reason = "the payload must be 0, 1, true or false";
  else
    d.tag = tag;
  return d;
}

}  // namespace duz::mqtt
