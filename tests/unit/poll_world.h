// A module on fake parts with an open fake port, set up as the polling thread sees it once it runs.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <future>
#include <string_view>
#include <vector>

#include "fakes/fakes.h"
#include "model/catalogue.h"
#include "startup/registration.h"

namespace duz::test {

struct PollWorld {
  FakeWorld world;
  Module module{world.platform()};
  FakeSerialPort* port = nullptr;

  PollWorld() {
    module.link.port = world.ports.open("COM1");
    port = world.ports.last;
    module.link.pollingActive = 1;  // one attempt per transaction, as while polling
  }

  // Configures the next slot with a model and bus address; returns its record.
  DeviceConfig& add(std::string_view model, std::uint8_t address) {
    DeviceConfig& c = module.deviceConfig[module.configuredCount++];
    c.byte0(cell::kBusAddress) = address;
    std::memcpy(c.text(cell::kModelName), model.data(), model.size());
    return c;
  }
  DeviceConfig& addController(std::uint8_t address, std::vector<int> slotCodes, const char* variant) {
    DeviceConfig& c = add(kModelController.view(), address);
    for (std::size_t s = 0; s < slotCodes.size(); ++s)
      c.byte0(cell::kSlotModule0 + static_cast<int>(s)) = static_cast<std::uint8_t>(slotCodes[s]);
    std::strcpy(c.text(cell::kControllerVariant), variant);
    return c;
  }
  DeviceConfig& addAlarm(std::uint8_t address, const char* variant) {
    DeviceConfig& c = add(kModelAlarm.view(), address);
    std::strcpy(c.text(cell::kAlarmVariant), variant);
    return c;
  }
  DeviceConfig& addTransducer(std::string_view model, std::uint8_t address, const char* low,
                              const char* high) {
    DeviceConfig& c = add(model, address);
    std::strcpy(c.text(cell::kRangeLow), low);
    std::strcpy(c.text(cell::kRangeHigh), high);
    return c;
  }

  // One cycle of the polling thread (without its 1000 ms sleep); returns what it published.
  std::vector<Publication> cycle() {
    module.pollingThread.pollAllDevices();
    return world.host.take();
  }

  AnalogTagHandle* analog(int slot, int index) { return &module.analogHandles.at(slot, index); }
  BitTagHandle* bit(int slot, int index) { return &module.bitHandles.at(slot, index); }
  IntTagHandle* integer(int slot, int index) { return &module.intHandles.at(slot, index); }
};

// A reply with a byte count: address, function, count, data, CRC.
inline Bytes reply(std::uint8_t address, std::uint8_t function, const Bytes& data) {
  // Sized first: GCC 12 at -O2 takes an insert into a three-byte vector for an overflow.
  Bytes frame(3 + data.size());
  frame[0] = address;
  frame[1] = function;
  frame[2] = static_cast<std::uint8_t>(data.size());
  std::copy(data.begin(), data.end(), frame.begin() + 3);
  return withCrc(frame);
}

// The publications of one kind, in order.
inline std::vector<Publication> only(const std::vector<Publication>& log, char kind) {
  std::vector<Publication> out;
  for (const auto& p : log)
    if (p.kind == kind) out.push_back(p);
  return out;
}

// Runs the real polling thread until `done` (asked after every sleep, with the virtual time) says so.
inline void runUntil(PollWorld& w, std::function<bool(std::uint64_t nowMs)> done) {
  std::promise<void> ended;
  std::atomic<bool> asked{false};
  w.world.clock.onSleep = [&](std::uint64_t now) {
    if (!asked && done(now)) {
      asked = true;
      w.module.pollingThread.stopSignal().request();
      ended.set_value();
    }
  };
  w.module.pollingThread.start();
  ended.get_future().wait();
  w.module.pollingThread.stop();
  w.world.clock.onSleep = nullptr;
}

}  // namespace duz::test
