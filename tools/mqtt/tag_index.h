// The module's devices and tags as topics, read once from its status table after the load (counts and
// names are final by then and do not change until the unload).
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "model/tables.h"
#include "payload.h"

namespace duz::mqtt {

struct TagInfo {
  int slot = 0;
  TagKind kind = TagKind::Analog;
  int index = 0;      // within the slot's row of its kind
  std::string topic;  // <prefix>/<device>/<tag>
  std::string name;   // as the module names it (UTF-8), '/' and all
  // One of an alarm instrument's three command bits, which SetBitTagValue writes.
  bool command = false;
  std::uint32_t identifier() const {
    return (static_cast<std::uint32_t>(slot) << 16) | static_cast<std::uint32_t>(index);
  }
};

struct DeviceInfo {
  int slot = 0;
  std::string topic;                     // <prefix>/<device>
  std::string name;                      // as the module names it (UTF-8)
  std::size_t firstTag = 0, tagEnd = 0;  // its tags in tags()
  const std::uint8_t* online = nullptr;  // the status record's byte, written by the polling thread
};

class TagIndex {
 public:
  TagIndex(const DeviceStatusRecord* table, const std::string& prefix);

  // Devices with at least one tag, in slot order.
  const std::vector<DeviceInfo>& devices() const { return devices_; }
  std::size_t tagCount() const { return tags_.size(); }
  // Every published tag, device by device in the order of devices().
  const std::vector<TagInfo>& tags() const { return tags_; }
  const TagInfo* byHandle(const void* handle) const;
  // By its topic without "/set".
  const TagInfo* byTopic(const std::string& topic) const;
  // Topics that two tags would share (after '/', '+', '#' became '_'); the later tag is not published.
  const std::vector<std::string>& clashes() const { return clashes_; }

 private:
  std::vector<DeviceInfo> devices_;
  std::vector<TagInfo> tags_;
  std::unordered_map<const void*, std::size_t> byHandle_;
  std::unordered_map<std::string, std::size_t> byTopic_;
  std::vector<std::string> clashes_;
};

}  // namespace duz::mqtt
