// The module's whole state in one owned object: device tables, settings, working values, the serial
// link and the polling thread. The exported C functions and the library's static initialisation are
// thin shells around one instance; tests build fresh instances with fake platform parts.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "host/host_library.h"
#include "link/link.h"
#include "model/tables.h"
#include "model/tag_handles.h"
#include "platform/platform.h"
#include "poll/polling_thread.h"
#include "ui/operator.h"

namespace duz {

// The platform parts a module works with; they must outlive it.
struct Platform {
  Clock& clock;
  SerialPorts& ports;
  Operator& op;
  Locale& locale;
  HostDirectory& directory;
  Files& files;
  HostLibrary& host;
};

class Module {
 public:
  explicit Module(const Platform& platform);
  // Stops the polling thread before the handle records lose their names.
  ~Module();
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  // Exports (the shell passes the host's calls through).
  DeviceStatusRecord* GetDataForDUZEvoder() { return deviceStatusTable.data(); }
  std::uint8_t SetBitTagValue(std::uint32_t tagIdentifier, std::uint32_t value);
  void GiveString(const char* settings, const char* port, const char* searchLimit, const char* action);

  // The start-up sequence: restore or search, open the port, name the tags, save, start polling.
  void runStartup();

  // What the line has done, for hosts that watch its health: any thread, any moment, each device's
  // figures consistent in themselves.
  struct LinkFigures {
    Link::PortState portState = Link::PortState::None;
    std::uint32_t reopenedCount = 0;
    std::uint32_t cyclePeriodMs = 0;
    std::string portName;
    // By slot: the figures of the slot's bus address, the start-up's search included; none for a slot
    // that holds no device.
    std::array<AddressStatistics, kSlots> devices{};
  };
  LinkFigures linkStatistics() const;

  const Platform platform;

  // Handle arrays first, in this order: constructed analog, bit, integer; destroyed in reverse.
  TagHandleArray<AnalogTagHandle> analogHandles;
  TagHandleArray<BitTagHandle> bitHandles;
  TagHandleArray<IntTagHandle> intHandles;
  std::string configDescription;  // CP1251; when the configuration was made

  std::array<DeviceConfig, kSlots> deviceConfig{};
  std::array<DeviceStatusRecord, kSlots> deviceStatusTable{};
  Settings settings{};

  // Working values.
  std::int32_t currentDevice = 0;
  std::int32_t configuredCount = 0;
  std::uint8_t failedExchanges[kSlots] = {};
  std::uint8_t failedCycles[kSlots] = {};
  std::uint32_t currentQuality = 0;
  std::uint64_t lastTimestamp = 0;

  Link link;
  // Last member: destroyed (joined) first, while everything it touches still exists.
  PollingThread pollingThread;
};

// The online byte is written by the polling thread and read by the host without a lock.
void setOnline(DeviceStatusRecord& record, std::uint8_t value);
std::uint8_t readOnline(const DeviceStatusRecord& record);

}  // namespace duz
