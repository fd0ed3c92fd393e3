#include "tag_index.h"

#include <algorithm>
#include <cstring>

#include "model/cp1251.h"

namespace duz::mqtt {

namespace {

const char* const kCommandNames[3] = {"Reset", "Cancellation of the signal system", "Mode of blocking"};

template <typename Handle>
std::string nameOf(const Handle& h, const char* kind, int index) {
  if (!h.name) return std::string(kind) + " " + std::to_string(index);
  return cp1251ToUtf8(h.name);
}

}  // namespace

TagIndex::TagIndex(const DeviceStatusRecord* table, const std::string& prefix) {
  for (int slot = 0; slot < kSlots; ++slot) {
    const DeviceStatusRecord& r = table[slot];
    const int analog = std::min<int>(r.analogCount, kTagsPerKind);
    const int bit = std::min<int>(r.bitCount, kTagsPerKind);
    const int integer = std::min<int>(r.intCount, kTagsPerKind);
    if (analog + bit + integer == 0) continue;
    DeviceInfo device;
    device.slot = slot;
    device.name = cp1251ToUtf8({r.deviceName, strnlen(r.deviceName, sizeof r.deviceName)});
    device.topic = prefix + "/" + topicLevel(device.name);
    device.online = &r.online;
    device.firstTag = tags_.size();

    auto add = [&](const void* handle, TagKind kind, int index, const std::string& name, bool command) {
      TagInfo t;
      t.slot = slot;
      t.kind = kind;
      t.index = index;
      t.topic = device.topic + "/" + topicLevel(name);
      t.name = name;
      t.command = command;
      if (t.topic == device.topic + "/online" || !byTopic_.try_emplace(t.topic, tags_.size()).second) {
        clashes_.push_back(t.topic);
        return;
      }
      byHandle_.emplace(handle, tags_.size());
      tags_.push_back(std::move(t));
    };
    for (int i = 0; i < analog; ++i)
      add(&r.analogTags[i], TagKind::Analog, i, nameOf(r.analogTags[i], "Analog", i), false);
    for (int i = 0; i < bit; ++i) {
      const std::string name = nameOf(r.bitTags[i], "Bit", i);
      // The module writes only the last three bit tags, and only an alarm instrument's, which are
      // named so.
      const int fromEnd = bit - i;
      const bool command = fromEnd <= 3 && name == kCommandNames[3 - fromEnd];
      add(&r.bitTags[i], TagKind::Bit, i, name, command);
    }
    for (int i = 0; i < integer; ++i)
      add(&r.intTags[i], TagKind::Integer, i, nameOf(r.intTags[i], "Integer", i), false);
    device.tagEnd = tags_.size();
    devices_.push_back(std::move(device));
  }
}

const TagInfo* TagIndex::byHandle(const void* handle) const {
  const auto it = byHandle_.find(handle);
  return it == byHandle_.end() ? nullptr : &tags_[it->second];
}

const TagInfo* TagIndex::byTopic(const std::string& topic) const {
  const auto it = byTopic_.find(topic);
  return it == byTopic_.end() ? nullptr : &tags_[it->second];
}

}  // namespace duz::mqtt
