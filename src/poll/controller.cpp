// The multi-module controller: one measurement read per block of up to four module slots, six channels
// a module, each channel a decimal text and a status byte.
#include <cstdint>

#include "host/module.h"
#include "poll/controller_modules.h"
#include "poll/read_procedures.h"

namespace duz {

namespace {

constexpr int kModuleBytes = 54;  // 6 channel texts of 8 bytes, then 6 status bytes
constexpr int kChannelTextBytes = 8;
constexpr int kStatusOffset = 48;
constexpr int kSlotsPerRequest = 4;

// One channel: its value to analog tag a, its limit state to bit tags b and b + 1.
void decodeChannel(Module& module, const std::uint8_t* moduleData, int channel, int a, int b) {
  const std::uint8_t* text = moduleData + kChannelTextBytes * channel;
  std::uint8_t status = moduleData[kStatusOffset + channel];
  module.currentQuality = QualityGood;

  // Spaces are leading zeros; a NUL marks a channel the controller has no value for. The point is
  // the decimal separator of the conversion. The last position is not part of the number.
  char digits[kChannelTextBytes - 1];
  for (int p = 0; p < kChannelTextBytes; ++p) {
    char c = static_cast<char>(text[p]);
    if (c == ' ') {
      c = '0';
    } else if (c == '\0') {
      c = '0';
      status = 0;
      module.currentQuality = QualityConfigError;
    }
    if (p < kChannelTextBytes - 1) digits[p] = c;
  }
  StartFreshGroup(module);

  if (status & 0x20) module.currentQuality = QualitySensorNotAccurate;
  if (status & 0x40) module.currentQuality = QualitySensorFailure;
  if (status & 0x80) module.currentQuality = QualityDeviceFailure;
  // A text that is no number (a sign after leading blanks, say) has no value to show. A fault the
  // status byte already names tells the operator more than a configuration error would.
  const auto value = ParseDecimal(std::string_view(digits, sizeof digits));
  if (!value && module.currentQuality == QualityGood) module.currentQuality = QualityConfigError;
  PublishAnalog(module, a, value.value_or(0.0f));

  const int limitState = status & 0x07;
  module.currentQuality = QualityGood;
  PublishBit(module, b, limitState == 1 || limitState == 3 || limitState == 5);
  PublishBit(module, b + 1, limitState == 2 || limitState == 4 || limitState == 6);
}

}  // namespace

void PollController(Module& module) {
  const std::uint8_t served = servedModules(module.deviceConfig[module.currentDevice]);
  int a = 0;
  int b = 0;
  int m = 0;
  while (m < kControllerModuleSlots) {
    if (!(served & (1u << m))) {
      ++m;
      continue;
    }
    const int n =
        m <= kControllerModuleSlots - kSlotsPerRequest ? kSlotsPerRequest : kControllerModuleSlots - m;
    const RequestFrame request =
        measurementReadRequest(CurrentAddress(module), static_cast<std::uint8_t>(kChannelsPerModule * m),
                               static_cast<std::uint8_t>(kChannelsPerModule * n));
    const Exchange exchange = PollExchange(module, request, kModuleBytes * n);
    if (exchange == Exchange::Lost || exchange == Exchange::Stopped) return;
    for (int j = 0; j < n; ++j) {
      if (!(served & (1u << (m + j)))) continue;
      // A failed block publishes nothing, but its modules keep their tag indexes.
      if (exchange == Exchange::Answered) {
        const std::uint8_t* moduleData = module.link.responseBuffer + 3 + kModuleBytes * j;
        for (int k = 0; k < kChannelsPerModule; ++k) decodeChannel(module, moduleData, k, a + k, b + 2 * k);
      }
      a += kChannelsPerModule;
      b += 2 * kChannelsPerModule;
    }
    m += kSlotsPerRequest;
  }
}

}  // namespace duz
