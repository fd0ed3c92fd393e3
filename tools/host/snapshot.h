// One look at the module's status table and the values published into its handle records.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "model/tables.h"

namespace duz::host {

struct TagSnapshot {
  std::optional<std::string> name;  // UTF-8; none while the record has no name
  double value = 0;                 // as published: float, 0/1 or integer
  std::uint32_t quality = 0;
  std::uint64_t timestamp = 0;  // FILETIME
};

struct DeviceSnapshot {
  int slot = 0;
  std::string name;  // UTF-8
  unsigned online = 0;
  std::vector<TagSnapshot> analog, bit, integer;
};

struct Snapshot {
  std::uint64_t t = 0;  // ms since the load returned
  std::vector<DeviceSnapshot> devices;
};

// Reads all 31 records and the tags below their counts; values under the host library's lock.
Snapshot takeSnapshot(const DeviceStatusRecord* table, std::uint64_t t);

std::string snapshotJson(const Snapshot& s);
std::string writeJson(std::uint64_t t, std::uint32_t slot, std::uint32_t bit, std::uint32_t value,
                      unsigned result);
std::string writeText(std::uint64_t t, std::uint32_t slot, std::uint32_t bit, std::uint32_t value,
                      unsigned result);

}  // namespace duz::host
