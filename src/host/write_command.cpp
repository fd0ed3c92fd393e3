// Write commands of the host: the three command bits of the alarm instrument, each one write-coil
// request on the shared line.
#include <atomic>

#include "host/module.h"
#include "model/catalogue.h"

namespace duz {

namespace {

struct CoilCommand {
  std::uint8_t coil;
  bool on;
  std::uint8_t stored;  // the bit's value once the instrument has confirmed
};

// d = bitCount - bit: 1 mode of blocking, 2 cancellation of the signal system, 3 reset.
CoilCommand commandFor(int d, bool set) {
  switch (d) {
    case 1:
      return {0xF0, !set, static_cast<std::uint8_t>(set ? 1 : 0)};  // blocking is on while the coil is off
    case 2:
      return {0x00, set, 0};  // momentary: reads back as 0
    default:
      return {0x01, set, 0};
  }
}

}  // namespace

std::uint8_t Module::SetBitTagValue(std::uint32_t tagIdentifier, std::uint32_t value) {
  const std::uint32_t slot = tagIdentifier >> 16;
  const std::uint32_t bit = tagIdentifier & 0xFFFF;
  if (slot >= static_cast<std::uint32_t>(kSlots)) return 0;
  const DeviceConfig& config = deviceConfig[slot];
  if (modelKindOfCell(config.modelName()) != DeviceKind::AlarmInstrument) return 0;
  const std::uint32_t bitCount = deviceStatusTable[slot].bitCount;
  if (bit >= bitCount || bitCount - bit > 3) return 0;  // only the three command bits are writable

  // Only the low byte of the value counts; any non-zero byte sets the command.
  const CoilCommand command = commandFor(static_cast<int>(bitCount - bit), (value & 0xFF) != 0);
  const RequestFrame request = writeCoilRequest(config.busAddress(), command.coil, command.on);
  std::uint8_t response[8] = {};

  // With the port away nothing can be sent; the host hears so at once.
  if (link.portLost()) return 0;

  // Let the polling thread finish the exchange it is in; the transaction itself holds the port.
  Clock& clock = platform.clock;
  clock.sleepMs(10);
  while (link.busBusy.load()) clock.sleepMs(10);
  if (link.Transaction(request.length, request.data(), response, sizeof response) != 0) return 0;

  // The host library and the host read this byte while we write it.
  std::atomic_ref<std::uint8_t>(bitHandles.at(static_cast<int>(slot), static_cast<int>(bit)).value)
      .store(command.stored);
  return 1;
}

}  // namespace duz
