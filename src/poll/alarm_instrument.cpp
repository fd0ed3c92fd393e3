// The alarm-signalling and interlock instrument: discrete inputs, outputs and the blocking coil, read
// with three standard requests and published as bit tags in the layout of the device's variant.
#include <cstdint>

#include "host/module.h"
#include "model/catalogue.h"
#include "poll/read_procedures.h"

namespace duz {

namespace {

constexpr std::uint16_t kInputQuantity = 32;
constexpr std::uint16_t kCoilQuantity = 16;
constexpr std::uint16_t kBlockingCoil = 240;

// Reads with one request; true when the reply is there to decode. Counted by the link-state rule.
bool read(Module& module, std::uint8_t function, std::uint16_t start, std::uint16_t quantity) {
  const int dataBytes = (quantity + 7) / 8;
  if (PollExchange(module, bitReadRequest(CurrentAddress(module), function, start, quantity), dataBytes) !=
      Exchange::Answered)
    return false;
  StartFreshGroup(module);
  module.currentQuality = QualityGood;
  return true;
}

}  // namespace

void PollAlarmInstrument(Module& module) {
  const AlarmVariant* variant =
      findAlarmVariant(module.deviceConfig[module.currentDevice].text(cell::kAlarmVariant));
  if (!variant) return;
  int b = 0;

  // Inputs, packed as Modbus packs them: input i is bit i, the first data byte the lowest.
  if (!read(module, kReadDiscreteInputs, 0, kInputQuantity)) return;
  std::uint32_t inputs = 0;
  for (int d = 0; d < 4; ++d) inputs |= std::uint32_t{ReplyData(module, d)} << (8 * d);
  for (int i = 0; i < variant->inputCount() && i < kInputQuantity; ++i)
    PublishBit(module, b++, (inputs >> i) & 1u);

  // Outputs: the instrument's output word has its first coil byte high; the variant says which bit
  // each output is.
  if (!read(module, kReadCoils, 0, kCoilQuantity)) return;
  const unsigned word = ReplyData(module, 0) * 256u + ReplyData(module, 1);
  for (int k = 0; k < variant->outputCount(); ++k)
    PublishBit(module, b++, (word >> variant->outputBit(k)) & 1u);

  // Blocking mode is on while coil 240 is off. The two momentary commands always read back as 0.
  if (!read(module, kReadCoils, kBlockingCoil, 1)) return;
  const int bitCount = module.deviceStatusTable[module.currentDevice].bitCount;
  const std::uint8_t coil = ReplyData(module, 0);
  if (coil == 1) PublishBit(module, bitCount - 1, false);
  if (coil == 0) PublishBit(module, bitCount - 1, true);
  PublishBit(module, bitCount - 2, false);
  PublishBit(module, bitCount - 3, false);
}

}  // namespace duz
