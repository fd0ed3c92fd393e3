// The readable live view of duzevod-host: per device its slot, bus address, model and state, per tag
// its name, value with unit, quality in words and age. The host sees only the status table, so the
// model is told by the tag names.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "snapshot.h"

namespace duz::host {

// "LUMA-12", "DEK-04", "VEKS-1", "VEKS-2", "ORTA", or "" when the tags do not tell.
std::string modelOf(const DeviceSnapshot& device);

// "good", "device failure", "sensor failure", "not accurate", "configuration error", or the word in hex.
std::string qualityWords(std::uint32_t quality);

// The three command bits of an alarm instrument (indexes into its bit tags), when it has them.
struct CommandBits {
  int reset = -1;
  int cancellation = -1;
  int blocking = -1;
};
std::optional<CommandBits> commandBits(const DeviceSnapshot& device);

// The table as lines (UTF-8, no line ends). `now` (FILETIME) gives the ages; the device in slot
// `selected` is marked.
std::vector<std::string> liveTable(const Snapshot& snapshot, std::uint64_t now, int selected = -1);

}  // namespace duz::host
