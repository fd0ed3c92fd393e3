#include "host/module.h"

#include <atomic>
#include <cstdio>

namespace duz {

Module::Module(const Platform& p) : platform(p), link(p.clock), pollingThread(*this) {
  for (int s = 0; s < kSlots; ++s) {
    DeviceStatusRecord& r = deviceStatusTable[s];
    r.online = 1;
    r.analogTags = analogHandles.row(s);
    r.bitTags = bitHandles.row(s);
    r.intTags = intHandles.row(s);
    r.fixedWord = 3;
    std::snprintf(r.deviceName, sizeof r.deviceName, "Device%d", s + 1);
  }
}

Module::~Module() {
  pollingThread.stop();
}

void Module::GiveString(const char* settingsText, const char* port, const char* searchLimit,
                        const char* action) {
  copyField(settings.portSettings, settingsText);
  copyField(settings.portName, port);
  copyField(settings.searchLimitText, searchLimit);
  copyField(settings.dialogAction, action);
}

Module::LinkFigures Module::linkStatistics() const {
  LinkFigures f;
  f.portState = link.portState();
  f.reopenedCount = link.reopenedCount();
  f.cyclePeriodMs = pollingThread.cyclePeriodMs();
  // The configuration and the port's name are the start-up's, fixed before any host thread calls.
  f.portName = link.setup.name;
  const int count = configuredCount < kSlots ? configuredCount : kSlots;
  for (int s = 0; s < count; ++s) f.devices[s] = link.statistics.read(deviceConfig[s].busAddress());
  return f;
}

void setOnline(DeviceStatusRecord& record, std::uint8_t value) {
  std::atomic_ref<std::uint8_t>(record.online).store(value, std::memory_order_relaxed);
}

std::uint8_t readOnline(const DeviceStatusRecord& record) {
  return std::atomic_ref<std::uint8_t>(const_cast<std::uint8_t&>(record.online))
      .load(std::memory_order_relaxed);
}

}  // namespace duz
